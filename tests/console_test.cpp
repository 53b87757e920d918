// The progress line's text, measured in the cells of a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "console.h"

namespace {

// The line's text fits the terminal and is valid UTF-8 at every width: the
// folder, named with characters of two, three and four bytes (the last two
// taking two cells), is cut only where a character begins; and it is exactly
// the line it must be.
TEST(ProgressLine, FitsTheWidthAsValidUtf8) {
    // "/tmp/çalışma/€€ğü📁€ş/öç€ı": 26 characters, one of them 📁, in 27 cells.
    const std::string folder = "/tmp/\xC3\xA7" "al\xC4\xB1\xC5\x9Fma/\xE2\x82\xAC\xE2\x82\xAC\xC4\x9F\xC3\xBC"
                               "\xF0\x9F\x93\x81\xE2\x82\xAC\xC5\x9F/\xC3\xB6\xC3\xA7\xE2\x82\xAC\xC4\xB1";
    const std::string counts = "Taraniyor... 12 dosya, 3 klasor: ";
    // Cells counted apart from the program: a cell for each character, two for 📁.
    const auto cellsHere = [](const std::string& text) {
        std::size_t count = 0;
        for (const char c : text) count += ((c & 0xC0) != 0x80) + ((c & 0xF8) == 0xF0);
        return count;
    };
    for (std::size_t width = 0; width <= counts.size() + 30; ++width) {
        SCOPED_TRACE("width " + std::to_string(width));
        const std::string text = progressText(12, 3, folder, width);
        EXPECT_LE(cellsHere(text), (width > 1 ? width : 80) - 1);
        EXPECT_EQ(cells(text), cellsHere(text));
        // After the counts (ASCII): the whole folder, or nothing, or "..." and
        // the folder's end from where a character begins, so valid UTF-8.
        const std::string rest = text.substr(std::min(text.size(), counts.size()));
        const std::size_t end = rest.size() - std::min<std::size_t>(rest.size(), 3);
        const bool elided = rest.compare(0, 3, "...") == 0 && end <= folder.size() &&
                            folder.compare(folder.size() - end, end, rest, 3) == 0 &&
                            (end == 0 || (static_cast<unsigned char>(rest[3]) & 0xC0) != 0x80);
        EXPECT_TRUE(rest.empty() || rest == folder || elided) << rest;
    }
    // Exact lines where the folder fits, is cut (before a character of one
    // cell, of two, inside a pair of two, after a combining mark or before
    // one, which is dropped, or where each range's last character counts) or leaves room for "..." alone or for nothing,
    // and where the counts themselves are cut.
    const std::string ascii = "/tmp/abcdefghij";
    const std::string wide = "/x/\xE2\x82\xAC\xC4\xB1\xF0\x9F\x93\x81";   // "/x/€ı📁": 7 cells
    const std::string cjk = "/xy/e\xCC\x81\xE6\xBC\xA2\xE5\xAD\x97";    // "/xy/é漢字", é with U+0301: 9 cells
    // "/✅🀄aֿ": the last characters of ranges of two cells and of none: 6 cells.
    const std::string edges = "/\xE2\x9C\x85\xF0\x9F\x80\x84" "a\xD6\xBF";
    const struct {
        const std::string& folder;
        std::size_t width;
        std::string line;
    } rows[] = {
        {ascii, 48, counts + ".../abcdefghij"},
        {ascii, 45, counts + "...cdefghij"},
        {ascii, 37, counts + "..."},
        {ascii, 36, counts},
        {ascii, 20, "Taraniyor... 12 dos"},
        {wide, 41, counts + wide},
        {wide, 40, counts + "...\xC4\xB1\xF0\x9F\x93\x81"},
        {wide, 39, counts + "...\xF0\x9F\x93\x81"},
        {wide, 38, counts + "..."},
        {cjk, 43, counts + cjk},
        {cjk, 42, counts + "...e\xCC\x81\xE6\xBC\xA2\xE5\xAD\x97"},
        {cjk, 41, counts + "...\xE6\xBC\xA2\xE5\xAD\x97"},
        {cjk, 40, counts + "...\xE5\xAD\x97"},
        {edges, 40, counts + edges},
        {edges, 39, counts + "...a\xD6\xBF"},
    };
    for (const auto& row : rows) EXPECT_EQ(progressText(12, 3, row.folder, row.width), row.line) << row.width;
}

}  // namespace
