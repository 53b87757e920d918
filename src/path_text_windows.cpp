// Path text where paths are UTF-16: UTF-8 text, each unpaired surrogate of
// a name kept in a form of its own, and the long-form system path of a start
// path, made lexically (long_path.cpp) from the current folders.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstdint>
#include <system_error>

#include "long_path.h"
#include "path_text.h"

namespace fs = std::filesystem;

namespace {

fs::filesystem_error invalidText() {
    return fs::filesystem_error("Cannot convert character sequence",
                                std::make_error_code(std::errc::illegal_byte_sequence));
}

// Calls `get(buffer, size)`, a system call that answers the length it needs
// when the buffer is too small, until the answer fits.
template <typename Get>
std::wstring askSystem(Get get, const char* what) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = get(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0)
            throw fs::filesystem_error(what, std::error_code(static_cast<int>(GetLastError()), std::system_category()));
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        text.resize(length);
    }
}

// The current folder, or that of drive `drive` (such as L"D:").
std::wstring currentFolder() {
    return askSystem([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); },
                     "cannot read the current folder");
}
std::wstring currentFolderOf(const std::wstring& drive) {
    return askSystem(
        [&drive](wchar_t* buffer, DWORD size) { return GetFullPathNameW(drive.c_str(), size, buffer, nullptr); },
        "cannot read the drive's current folder");
}

}  // namespace

NativeString systemPath(const fs::path& start) {
    const std::wstring& given = start.native();
    const auto asked = [](std::u16string_view drive) {
        const std::wstring folder =
            drive.empty() ? currentFolder() : currentFolderOf(std::wstring(drive.begin(), drive.end()));
        return std::u16string(folder.begin(), folder.end());
    };
    const std::u16string path = longFormPath(std::u16string(given.begin(), given.end()), asked);
    return std::wstring(path.begin(), path.end());
}

// UTF-16 to UTF-8, each unpaired surrogate written as if it were a character
// of its own (0xED 0xA0 to 0xBF, then one more byte), which no valid UTF-8
// holds.
std::string_view nameText(NativeView name, std::string& buffer) {
    buffer.clear();
    buffer.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::uint32_t c = name[i];
        if (c < 0x80) {
            buffer += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00u);
        const int continuations = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        buffer += static_cast<char>(((0xFF00u >> (continuations + 1)) & 0xFF) | (c >> (6 * continuations)));
        for (int k = continuations - 1; k >= 0; --k) buffer += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return buffer;
}

std::string_view shownText(std::string_view text, std::string& buffer) {
    const auto isSurrogateAt = [text](std::size_t i) {
        return text[i] == '\xED' && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0xA0;
    };
    std::size_t i = text.find('\xED');
    while (i != text.npos && !isSurrogateAt(i)) i = text.find('\xED', i + 1);
    if (i == text.npos) return text;
    buffer.assign(text.substr(0, i));
    while (i < text.size()) {
        if (isSurrogateAt(i)) {
            buffer += "\xEF\xBF\xBD";  // U+FFFD
            i += 3;
        } else {
            buffer += text[i++];
        }
    }
    return buffer;
}

NativeString nativeText(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        const int continuations = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        std::uint32_t c = continuations == 0 ? lead : lead & (0x7Fu >> (continuations + 1));
        for (int k = 0; k < continuations && i < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
        if (c >= 0x10000) {
            wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return wide;
}

std::string pathText(const fs::path& path) {
    std::string text;
    nameText(path.native(), text);
    return text;
}

// The C runtime's argv is made from the command line in the ANSI code page,
// which a manifest makes UTF-8 only from Windows 10 version 1903: elsewhere
// a Turkish letter would be lost or stand for another. So the argument is
// read from the UTF-16 command line itself, as the system parts it.
std::optional<std::string> firstArgument(int, char*[]) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) throw fs::filesystem_error("cannot read the command line", std::error_code());
    const std::wstring wide = count >= 2 ? arguments[1] : L"";
    LocalFree(arguments);
    if (count < 2) return std::nullopt;
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX / 3)) return std::string();
    const int units = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) throw invalidText();
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), units, text.data(), bytes, nullptr, nullptr);
    return text;
}

// Strict UTF-8: text that is not valid UTF-8 (encoded surrogates and overlong
// forms included) cannot become a path.
fs::path pathFromText(const std::string& text) {
    if (text.empty()) return fs::path();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw invalidText();
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (units <= 0) throw invalidText();
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units) != units)
        throw invalidText();
    return fs::path(std::move(wide));
}
