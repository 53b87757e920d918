// What a terminal is shown, the same on every platform: printed paths with
// their dangerous characters masked, and the progress line.
#include "console.h"

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

}  // namespace

std::string progressText(std::uint64_t filesFound, std::uint64_t directoriesDiscovered, std::string_view folder,
                         std::size_t width) {
    std::string line = "Taraniyor... " + std::to_string(filesFound) + " dosya, " + std::to_string(directoriesDiscovered) +
                       " klasor: ";
    const std::size_t room = (width > 1 ? width : 80) - 1;
    if (line.size() >= room) return line.substr(0, room);
    std::string shown = masked(folder);
    if (line.size() + shown.size() > room) {
        const std::string_view elided = "...";
        std::size_t from = shown.size() - (room - line.size());
        from = from + elided.size() > shown.size() ? shown.size() : from + elided.size();
        while (from < shown.size() && (static_cast<unsigned char>(shown[from]) & 0xC0) == 0x80) ++from;
        shown = std::string(elided) + shown.substr(from);
        if (line.size() + shown.size() > room) shown.clear();
    }
    return line + shown;
}

std::string masked(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t hidden = hiddenLength(text.substr(i));
        if (hidden > 0) {
            shown += '?';
            i += hidden;
        } else {
            shown += text[i++];
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
