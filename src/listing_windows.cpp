// The listing and queries on Windows: the system's directory search, which
// gives each entry's name, attributes and reparse tag with the listing, and
// long-form paths (\\?\...), which reach any depth and hand every name to the
// file system as it is: a final dot or space is kept, and no name is taken
// for a device.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <vector>

#include "listing.h"
#include "scanner.h"

namespace fs = std::filesystem;

namespace {

std::error_code systemError(DWORD code) { return std::error_code(static_cast<int>(code), std::system_category()); }

fs::filesystem_error invalidText() {
    return fs::filesystem_error("Cannot convert character sequence",
                                std::make_error_code(std::errc::illegal_byte_sequence));
}

// The answers that mean "nothing is there".
bool isNotFound(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
        return true;
    default:
        return false;
    }
}

// Wine lists a link to a folder with the reparse-point attribute but leaves
// the tag unset.
constexpr DWORD kTagUnread = 0xFFFFFFFF;

// The reparse points whose tag alone decides what they are: links, which the
// walk follows, and the AF_UNIX sockets and Linux-subsystem links, FIFOs and
// devices, which it passes over as Linux does (a Linux-subsystem link cannot
// be followed from Windows). Some of these tags are missing from older
// headers.
constexpr struct {
    DWORD tag;
    EntryKind kind;
} kReparseKinds[] = {
    {IO_REPARSE_TAG_SYMLINK, EntryKind::link},
    {IO_REPARSE_TAG_MOUNT_POINT, EntryKind::link},  // a junction, or a volume mounted in a folder
    {0x80000023, EntryKind::other},                 // AF_UNIX
    {0xA000001D, EntryKind::other},                 // LX_SYMLINK
    {0x80000024, EntryKind::other},                 // LX_FIFO
    {0x80000025, EntryKind::other},                 // LX_CHR
    {0x80000026, EntryKind::other},                 // LX_BLK
};

class WindowsListing final : public Listing {
public:
    // `search` is the open search with its first entry in `found`, or
    // INVALID_HANDLE_VALUE for a listing with no entries.
    WindowsListing(HANDLE search, const WIN32_FIND_DATAW& found) : search_(search), found_(found) {}
    ~WindowsListing() override {
        if (search_ != INVALID_HANDLE_VALUE) FindClose(search_);
    }
    WindowsListing(const WindowsListing&) = delete;
    WindowsListing& operator=(const WindowsListing&) = delete;

    bool next(ListedEntry& entry, std::error_code& ec) override {
        while (search_ != INVALID_HANDLE_VALUE) {
            if (!first_ && !FindNextFileW(search_, &found_)) {
                const DWORD code = GetLastError();
                if (code != ERROR_NO_MORE_FILES) ec = systemError(code);
                return false;
            }
            first_ = false;
            const wchar_t* name = found_.cFileName;
            if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
            entry.name = NativeView(name, std::wcslen(name));
            entry.kind = listedKind(found_.dwFileAttributes, found_.dwReserved0);
            return true;
        }
        return false;
    }

private:
    HANDLE search_;
    WIN32_FIND_DATAW found_;
    bool first_ = true;
};

bool isDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Calls `get(buffer, size)`, a system call that answers the length it needs
// when the buffer is too small, until the answer fits.
template <typename Get>
std::wstring askSystem(Get get, const char* what) {
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = get(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0) throw fs::filesystem_error(what, systemError(GetLastError()));
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

// A folder the system reports may itself be in the long form; this is its
// ordinary form, which the steps below take apart.
std::wstring ordinaryForm(std::wstring path) {
    if (startsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (startsWith(path, L"\\\\?\\")) return path.substr(4);
    return path;
}

// Where the names of a network path \\server\share\... begin: after its
// server and share.
std::size_t networkRootEnd(const std::wstring& path) {
    const std::size_t server = path.find(L'\\', 2);
    const std::size_t share = server == path.npos ? path.npos : path.find(L'\\', server + 1);
    return share == path.npos ? path.size() : share;
}

// `path`, with backslashes only, made absolute: a drive path (C:\...), a
// network path (\\server\share\...) or a device path (\\.\...).
std::wstring absoluteForm(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    if (startsWith(path, L"\\\\")) return path;
    if (path.size() >= 2 && isDriveLetter(path[0]) && path[1] == L':') {
        if (path.size() > 2 && path[2] == L'\\') return path;
        // D: or D:name, relative to that drive's current folder.
        return ordinaryForm(currentFolderOf(path.substr(0, 2))) + L"\\" + path.substr(2);
    }
    const std::wstring current = ordinaryForm(currentFolder());
    if (!path.empty() && path[0] == L'\\') {
        // Rooted on the current folder's drive or share.
        return current.substr(0, startsWith(current, L"\\\\") ? networkRootEnd(current) : 2) + path;
    }
    return current + L"\\" + path;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Appends `name` to the system path `path`, with a separator unless the path
// ends in one.
void appendName(std::wstring& path, NativeView name) {
    if (!path.empty() && !isSeparator(path.back())) path += L'\\';
    path.append(name);
}

// The folders on the walk path as their long-form paths: the deepest one's
// path, and where each level's ends in it.
class WindowsFolders final : public FolderPath {
public:
    OpenedFolder openStart(const NativeString& start) override {
        path_ = start;
        OpenedFolder opened = open();
        if (!opened.listing) opened.kind = EntryKind::directory;
        return opened;
    }

    OpenedFolder openChild(NativeView name) override {
        const std::size_t end = path_.size();
        appendName(path_, name);
        OpenedFolder opened = open();
        if (!opened.listing) {
            // Why it could not be listed: asked of what is there now.
            const std::error_code searchError = opened.error;
            opened.kind = queryPath(path_, opened.error);
            if (opened.kind == EntryKind::directory) opened.error = searchError;
            path_.resize(end);
        }
        return opened;
    }

    void leave() override {
        ends_.pop_back();
        path_.resize(ends_.empty() ? 0 : ends_.back());
    }

    EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) override {
        const std::size_t end = path_.size();
        appendName(path_, name);
        const EntryKind kind = queryPath(path_, ec, identity);
        path_.resize(end);
        return kind;
    }

    FileIdentity identity(std::size_t depth) override {
        std::error_code ec;
        FileIdentity identity;
        queryPath(path_.substr(0, ends_.at(depth)), ec, &identity);
        return identity;
    }

private:
    // Lists the folder at path_. A search that finds nothing at all (only a
    // drive's root can have no entry) is an empty listing; one refused for
    // lack of permission is no listing and no error.
    OpenedFolder open() {
        OpenedFolder opened;
        std::wstring pattern = path_;
        appendName(pattern, L"*");
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                               nullptr, FIND_FIRST_EX_LARGE_FETCH);
        const DWORD code = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND) {
            opened.listing = std::make_unique<WindowsListing>(search, found);
            opened.kind = EntryKind::directory;
            ends_.push_back(path_.size());
        } else if (code != ERROR_ACCESS_DENIED) {
            opened.error = systemError(code);
        }
        return opened;
    }

    std::wstring path_;
    std::vector<std::size_t> ends_;  // each level's path is path_[0, end)
};

}  // namespace

std::unique_ptr<FolderPath> systemFolders() { return std::make_unique<WindowsFolders>(); }

EntryKind listedKind(std::uint32_t attributes, std::uint32_t tag) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        for (const auto& reparse : kReparseKinds)
            if (reparse.tag == tag) return reparse.kind;
        // A reparse folder whose tag cannot be read may be a link: the walk
        // follows it and checks it against the walk path like one.
        if (folder && (tag == 0 || tag == kTagUnread)) return EntryKind::link;
    }
    return folder ? EntryKind::directory : EntryKind::file;
}

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    ec.clear();
    // A handle for attributes alone, links followed. Backup semantics opens
    // folders as well; "no recall" leaves a file held in remote storage (a
    // cloud placeholder) where it is. Nothing is read.
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NO_RECALL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (isNotFound(code)) return EntryKind::missing;
        ec = systemError(code);
        return EntryKind::unknown;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL answered = GetFileInformationByHandle(handle, &info);
    const DWORD code = GetLastError();
    if (answered && identity != nullptr) {
        // The 128-bit file ID where the file system has one (ReFS needs it),
        // otherwise the 64-bit file index.
        FILE_ID_INFO id;
        if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
            std::uint64_t parts[2];
            static_assert(sizeof parts == sizeof id.FileId.Identifier, "a file ID is 128 bits");
            std::memcpy(parts, id.FileId.Identifier, sizeof parts);
            *identity = fileIdentity(id.VolumeSerialNumber, parts[1], parts[0]);
        } else {
            *identity = fileIdentity(info.dwVolumeSerialNumber, 0,
                                     (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
        }
    }
    CloseHandle(handle);
    if (!answered) {
        ec = systemError(code);
        return EntryKind::unknown;
    }
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::directory : EntryKind::file;
}

NativeString systemPath(const fs::path& start) {
    const std::wstring& given = start.native();
    if (given.empty()) return given;  // names nothing, not the current folder
    if (startsWith(given, L"\\\\?\\")) return given;
    const std::wstring path = absoluteForm(given);

    // The root, which ".." cannot climb above, and where the names begin.
    std::wstring root;
    std::size_t names = 0;
    if (startsWith(path, L"\\\\?\\") || startsWith(path, L"\\\\.\\")) {
        // A device path: the device's name is the root.
        names = path.find(L'\\', 4);
        if (names == path.npos) names = path.size();
        root = L"\\\\?\\" + path.substr(4, names - 4);
    } else if (startsWith(path, L"\\\\")) {
        // A network path: server and share.
        names = networkRootEnd(path);
        root = L"\\\\?\\UNC\\" + path.substr(2, names - 2);
    } else {
        names = 2;
        root = L"\\\\?\\" + path.substr(0, 2);
    }

    std::vector<std::wstring> kept;
    for (std::size_t begin = names; begin < path.size();) {
        std::size_t end = path.find(L'\\', begin);
        if (end == path.npos) end = path.size();
        const std::wstring name = path.substr(begin, end - begin);
        if (name == L"..") {
            if (!kept.empty()) kept.pop_back();
        } else if (!name.empty() && name != L".") {
            kept.push_back(name);
        }
        begin = end + 1;
    }
    std::wstring result = root;
    for (const std::wstring& name : kept) result += L"\\" + name;
    if (kept.empty() || isSeparator(given.back())) result += L"\\";
    return result;
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
