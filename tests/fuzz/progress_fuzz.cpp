// progressText on any counts, width (the first 18 bytes) and folder text (the
// rest): the line fits the width in cells less one, is valid UTF-8 with no
// control or bidirectional formatting character, and holds the counts, then
// the masked folder whole, or "..." and its end from a character that takes
// a cell, or nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "check.h"
#include "console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 18) return 0;
    std::uint64_t files, folders;
    std::uint16_t width;
    std::memcpy(&files, data, 8);
    std::memcpy(&folders, data + 8, 8);
    std::memcpy(&width, data + 16, 2);
    const std::string_view folder(reinterpret_cast<const char*>(data + 18), size - 18);
    const std::string line = progressText(files, folders, folder, width);
    const std::size_t room = (width > 1 ? width : 80) - 1;
    FUZZ_CHECK(showable(line) && cells(line) <= room);
    const std::string counts =
        "Taraniyor... " + std::to_string(files) + " dosya, " + std::to_string(folders) + " klasor: ";
    if (counts.size() >= room) {
        FUZZ_CHECK(line == counts.substr(0, room));
        return 0;
    }
    FUZZ_CHECK(line.compare(0, counts.size(), counts) == 0);
    const std::string rest = line.substr(counts.size()), shown = masked(folder);
    const std::string end = rest.size() >= 3 ? rest.substr(3) : "";
    std::size_t first = 1;  // the length of end's first character
    while (first < end.size() && (static_cast<unsigned char>(end[first]) & 0xC0) == 0x80) ++first;
    const bool elided = rest.compare(0, 3, "...") == 0 && shown.size() >= end.size() &&
                        shown.compare(shown.size() - end.size(), end.size(), end) == 0 &&
                        (end.empty() || cells(end.substr(0, first)) > 0);
    FUZZ_CHECK(rest.empty() || rest == shown || elided);
    return 0;
}
