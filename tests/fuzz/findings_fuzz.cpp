// The report's finding list on any paths and reasons: each entry is a byte
// that picks its reason (none, one of the walk's, or another text), a 16-bit
// length and the path's bytes. The list gives back every path and reason in
// order; another reason text is refused and leaves the list as it was.
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "finding_list.h"
#include "scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kReasons = std::size(kSuspiciousExtensions);
    FindingList list;
    std::vector<std::pair<std::string, std::string_view>> added;
    for (std::size_t at = 0; at + 3 <= size;) {
        const std::size_t pick = data[at] % (kReasons + 2);
        const std::size_t length = std::min<std::size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        const std::string path(reinterpret_cast<const char*>(data + at + 3), length);
        at += 3 + length;
        if (pick == kReasons + 1) {
            try {
                list.add(path, path + "?");
                FUZZ_CHECK(!"another reason text was kept");
            } catch (const std::invalid_argument&) {
            }
            continue;
        }
        const std::string_view reason = pick == 0 ? std::string_view() : kSuspiciousExtensions[pick - 1].reason;
        list.add(path, reason);
        added.emplace_back(path, reason);
    }
    std::size_t given = 0;
    list.forEach([&](std::string_view path, std::string_view reason) {
        FUZZ_CHECK(given < added.size() && path == added[given].first && reason == added[given].second);
        ++given;
    });
    FUZZ_CHECK(given == added.size());
    return 0;
}
