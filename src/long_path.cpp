#include "long_path.h"

#include <vector>

namespace {

using Text = std::u16string;

bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }
bool startsWith(std::u16string_view text, std::u16string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// A folder the system reports may itself be in the long form; this is its
// ordinary form, which the steps below take apart.
Text ordinaryForm(Text path) {
    if (startsWith(path, u"\\\\?\\UNC\\")) return u"\\\\" + path.substr(8);
    if (startsWith(path, u"\\\\?\\")) return path.substr(4);
    return path;
}

// Where the names of a network path \\server\share\... begin: after its
// server and share.
std::size_t networkRootEnd(const Text& path) {
    const std::size_t server = path.find(u'\\', 2);
    const std::size_t share = server == path.npos ? path.npos : path.find(u'\\', server + 1);
    return share == path.npos ? path.size() : share;
}

// `path`, with backslashes only, made absolute: a drive path (C:\...), a
// network path (\\server\share\...) or a device path (\\.\...).
Text absoluteForm(Text path, const CurrentFolder& currentFolder) {
    for (char16_t& c : path)
        if (c == u'/') c = u'\\';
    if (startsWith(path, u"\\\\")) return path;
    if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == u':') {
        if (path.size() > 2 && path[2] == u'\\') return path;
        // D: or D:name, relative to that drive's current folder.
        return ordinaryForm(currentFolder(std::u16string_view(path).substr(0, 2))) + u"\\" + path.substr(2);
    }
    const Text current = ordinaryForm(currentFolder({}));
    if (!path.empty() && path[0] == u'\\') {
        // Rooted on the current folder's drive or share.
        return current.substr(0, startsWith(current, u"\\\\") ? networkRootEnd(current) : 2) + path;
    }
    return current + u"\\" + path;
}

}  // namespace

std::u16string longFormPath(std::u16string_view start, const CurrentFolder& current) {
    if (start.empty()) return Text();  // names nothing, not the current folder
    if (startsWith(start, u"\\\\?\\")) return Text(start);
    const Text path = absoluteForm(Text(start), current);

    // The root, which ".." cannot climb above, and where the names begin.
    Text root;
    std::size_t names = 0;
    if (startsWith(path, u"\\\\?\\") || startsWith(path, u"\\\\.\\")) {
        // A device path: the device's name is the root.
        names = path.find(u'\\', 4);
        if (names == path.npos) names = path.size();
        root = u"\\\\?\\" + path.substr(4, names - 4);
    } else if (startsWith(path, u"\\\\")) {
        // A network path: server and share.
        names = networkRootEnd(path);
        root = u"\\\\?\\UNC\\" + path.substr(2, names - 2);
    } else {
        names = 2;
        root = u"\\\\?\\" + path.substr(0, 2);
    }

    std::vector<Text> kept;
    for (std::size_t begin = names; begin < path.size();) {
        std::size_t end = path.find(u'\\', begin);
        if (end == path.npos) end = path.size();
        const Text name = path.substr(begin, end - begin);
        if (name == u"..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!name.empty() && name != u".") {
            kept.push_back(name);
        }
        begin = end + 1;
    }
    Text result = root;
    for (const Text& name : kept) result += u"\\" + name;
    if (kept.empty() || isSeparator(start.back())) result += u"\\";
    return result;
}
