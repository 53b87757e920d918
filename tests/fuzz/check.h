// What the fuzz targets share: a check that ends the run where it fails, so
// that libFuzzer keeps the input, and text a terminal may be shown.
#ifndef DRAVELON_TESTS_FUZZ_CHECK_H
#define DRAVELON_TESTS_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), std::abort()))

/// True when `text` is valid UTF-8 (no overlong form, surrogate or character
/// past U+10FFFF) and holds no control or bidirectional formatting character.
inline bool showable(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at++]);
        const int more = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                         : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
        if (more < 0 || text.size() - at < static_cast<std::size_t>(more)) return false;
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        for (int k = 0; k < more; ++k) {
            const auto byte = static_cast<unsigned char>(text[at++]);
            if ((byte & 0xC0) != 0x80) return false;
            c = (c << 6) | (byte & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x61C || c == 0x200E || c == 0x200F ||
            (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069))
            return false;
    }
    return true;
}

#endif
