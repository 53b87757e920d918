// Path text where paths are bytes: the text is the bytes themselves, and
// never fails.
#include "path_text.h"

namespace fs = std::filesystem;

std::string pathText(const fs::path& path) { return path.native(); }

fs::path pathFromText(const std::string& text) { return fs::path(text); }

std::optional<std::string> firstArgument(int argc, char* argv[]) {
    return argc < 2 ? std::nullopt : std::optional<std::string>(argv[1]);
}

std::string_view nameText(NativeView name, std::string&) { return name; }

std::string_view shownText(std::string_view text, std::string&) { return text; }

NativeString nativeText(std::string_view text) { return NativeString(text); }

NativeString systemPath(const fs::path& start) { return start.native(); }
