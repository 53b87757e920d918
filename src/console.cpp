// What a terminal is shown, the same on every platform: printed paths with
// their dangerous characters masked, and the progress line.
#include "console.h"

#include <utility>

namespace {

// A character that a terminal must not be given: some lead bytes, then one
// byte in a range.
struct Hidden {
    std::string_view lead;
    unsigned char first;
    unsigned char last;
};

constexpr Hidden kHidden[] = {
    {"", 0x00, 0x1F},          // C0 controls: escape sequences, CR, LF
    {"", 0x7F, 0x7F},          // DEL
    {"\xC2", 0x80, 0x9F},      // C1 controls U+0080 to U+009F
    // Bidirectional formatting: a right-to-left override in a file's name
    // would show the rest of its report line reversed.
    {"\xD8", 0x9C, 0x9C},      // U+061C arabic letter mark
    {"\xE2\x80", 0x8E, 0x8F},  // U+200E, U+200F left-to-right and right-to-left marks
    {"\xE2\x80", 0xAA, 0xAE},  // U+202A to U+202E embeddings, pop, overrides
    {"\xE2\x81", 0xA6, 0xA9},  // U+2066 to U+2069 isolates
};

// The length in bytes of the hidden character that `text` begins with; 0
// when it begins with none.
std::size_t hiddenLength(std::string_view text) {
    for (const Hidden& hidden : kHidden) {
        const std::size_t lead = hidden.lead.size();
        if (text.size() <= lead || text.compare(0, lead, hidden.lead) != 0) continue;
        const auto byte = static_cast<unsigned char>(text[lead]);
        if (byte >= hidden.first && byte <= hidden.last) return lead + 1;
    }
    return 0;
}

// The length of the UTF-8 character that `text` begins with; 0 when it
// begins with none: a continuation byte, a character cut short, an overlong
// form, a surrogate or a number past U+10FFFF.
std::size_t characterLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) return 1;
    const std::size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || text.size() < length) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return 0;
    // The second byte's range rules out the overlong forms, the surrogates
    // and what lies past U+10FFFF.
    const auto second = static_cast<unsigned char>(text[1]);
    const bool outside = (lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
                         (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F);
    return outside ? 0 : length;
}

// Ranges of characters by the cells of a terminal they take. Zero: the
// combining marks of the common scripts, which a terminal draws over the
// character before them, the zero-width joiners and the variation
// selectors. Two: the East Asian wide and full-width characters and the
// emoji (Unicode's East Asian Width W and F; a few blocks of them are taken
// whole, which at worst leaves a cell of the line unused).
constexpr std::pair<char32_t, char32_t> kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2}, {0x05C4, 0x05C5},
    {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4},
    {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D}, {0x20D0, 0x20FF},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};
constexpr std::pair<char32_t, char32_t> kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1AFF0, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F265},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool inRanges(char32_t c, const std::pair<char32_t, char32_t> (&ranges)[N]) {
    for (const auto& [first, last] : ranges)
        if (c >= first && c <= last) return true;
    return false;
}

// The character that begins at `at` in the UTF-8 `text`, and where the next
// one begins.
char32_t decode(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    const int continuations = lead < 0xC0 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    char32_t c = continuations == 0 ? lead : lead & (0x7Fu >> (continuations + 1));
    for (int k = 0; k < continuations && at < text.size(); ++k) c = (c << 6) | (text[at++] & 0x3F);
    return c;
}

std::size_t cellsOf(char32_t c) { return inRanges(c, kZeroWidth) ? 0 : inRanges(c, kWide) ? 2 : 1; }

}  // namespace

std::size_t cells(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size();) count += cellsOf(decode(text, at));
    return count;
}

std::string progressText(std::uint64_t filesFound, std::uint64_t directoriesDiscovered, std::string_view folder,
                         std::size_t width) {
    std::string line = "Taraniyor... " + std::to_string(filesFound) + " dosya, " + std::to_string(directoriesDiscovered) +
                       " klasor: ";
    const std::size_t room = (width > 1 ? width : 80) - 1;
    if (line.size() >= room) return line.substr(0, room);
    const std::string shown = masked(folder);
    if (line.size() + cells(shown) <= room) return line + shown;
    // "..." and as much of the folder's end as fits, from a character that
    // takes a cell: a combining mark would join the dots.
    if (room - line.size() < 3) return line;
    const std::size_t left = room - line.size() - 3;
    std::size_t from = shown.size();
    for (std::size_t used = 0; from > 0;) {
        std::size_t begin = from - 1;
        while (begin > 0 && (static_cast<unsigned char>(shown[begin]) & 0xC0) == 0x80) --begin;
        std::size_t end = begin;
        used += cellsOf(decode(shown, end));
        if (used > left) break;
        from = begin;
    }
    for (std::size_t next = from; from < shown.size() && cellsOf(decode(shown, next)) == 0;) from = next;
    return line + "..." + shown.substr(from);
}

std::string masked(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t hidden = hiddenLength(text.substr(i));
        const std::size_t length = hidden > 0 ? 0 : characterLength(text.substr(i));
        if (length == 0) {
            // A byte that is no UTF-8 is shown as one "?" too: a terminal
            // would draw it in a cell of its own that the line's width
            // does not count, or take the bytes after it with it.
            shown += '?';
            i += hidden > 0 ? hidden : 1;
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

ProgressLine::ProgressLine(std::chrono::steady_clock::time_point start) : start_(start) {
    enabled_ = canRewriteLine(Stream::error);
    if (enabled_) eraseLineWhenInterrupted();
}

void ProgressLine::update(std::uint64_t filesFound, std::uint64_t directoriesDiscovered, std::string_view folder,
                          std::chrono::steady_clock::time_point now) {
    if (now - start_ < std::chrono::milliseconds(500) || (shown_ && now - last_ < std::chrono::milliseconds(200)))
        return;
    last_ = now;
    shown_ = true;
    rewriteLine(Stream::error, progressText(filesFound, directoriesDiscovered, folder, terminalWidth(Stream::error)));
}

void ProgressLine::erase() {
    if (shown_) rewriteLine(Stream::error, {});
    shown_ = false;
}
