// The long form of a Windows start path on any text (16-bit units after the
// first byte, which picks the current folders' form): a long-form path is
// kept, any other becomes one below \\?\ with backslashes only and no empty,
// "." or ".." name, a final separator kept, a rooted one on the current
// folder's drive or share; made again from its ordinary form, it is the same.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "check.h"
#include "long_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const char16_t* const forms[] = {u"C:\\work\\cwd", u"\\\\?\\C:\\work\\cwd", u"\\\\server\\share\\cwd",
                                     u"\\\\?\\UNC\\server\\share"};
    const std::u16string cwd = forms[data[0] % 4];
    const CurrentFolder current = [&cwd](std::u16string_view drive) {
        return drive.empty() ? cwd : (cwd[2] == u'?' ? u"\\\\?\\" : u"") + std::u16string(drive) + u"\\d";
    };
    std::u16string start((size - 1) / 2, u'\0');
    std::memcpy(&start[0], data + 1, 2 * start.size());
    const std::u16string path = longFormPath(start, current);
    const std::u16string_view longForm = u"\\\\?\\";
    if (start.empty() || start.compare(0, 4, longForm) == 0) {
        FUZZ_CHECK(path == start);
        return 0;
    }
    FUZZ_CHECK(path.compare(0, 4, longForm) == 0 && path.find(u'/') == path.npos);
    // A rooted path stays on the current folder's drive or share.
    const std::u16string_view root = data[0] % 4 < 2 ? u"\\\\?\\C:\\" : u"\\\\?\\UNC\\server\\share\\";
    const auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    if (separator(start[0]) && (start.size() == 1 || !separator(start[1])))
        FUZZ_CHECK(path.compare(0, root.size(), root) == 0);
    const bool network = path.compare(0, 8, u"\\\\?\\UNC\\") == 0;
    std::size_t names = network ? path.find(u'\\', path.find(u'\\', 8) + 1) : path.find(u'\\', 4);
    bool rootNamed = names != path.npos && path.find(u"\\\\", 3) >= names && path[names - 1] != u'\\';
    std::size_t count = 0;
    for (std::size_t at = names; at != path.npos && at + 1 < path.size(); ++count) {
        const std::size_t end = path.find(u'\\', at + 1);
        const std::u16string name = path.substr(at + 1, end == path.npos ? end : end - at - 1);
        FUZZ_CHECK(!name.empty() && name != u"." && name != u"..");
        at = end;
    }
    const bool separated = separator(start.back());
    FUZZ_CHECK((path.back() == u'\\') == (separated || count == 0));
    if (!rootNamed) return 0;
    const std::u16string ordinary = network ? u"\\\\" + path.substr(8) : u"\\\\.\\" + path.substr(4);
    FUZZ_CHECK(longFormPath(ordinary, current) == path);
    return 0;
}
