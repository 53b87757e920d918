// masked and cells on any bytes: masked text is valid UTF-8 with no control
// or bidirectional formatting character, the same when masked again, and
// text that holds none is kept whole; its cells are those of its
// characters, one by one, at most two each.
#include <cstdint>
#include <string>

#include "check.h"
#include "console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string shown = masked(text);
    FUZZ_CHECK(showable(shown));
    FUZZ_CHECK(masked(shown) == shown);
    FUZZ_CHECK(!showable(text) || shown == text);
    std::size_t sum = 0, characters = 0;
    for (std::size_t begin = 0, end = 0; begin < shown.size(); begin = end, ++characters) {
        for (end = begin + 1; end < shown.size() && (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80;) ++end;
        sum += cells(std::string_view(shown).substr(begin, end - begin));
    }
    FUZZ_CHECK(cells(shown) == sum && sum <= 2 * characters);
    FUZZ_CHECK(cells(text) <= 2 * size);
    return 0;
}
