#include "temp_tree.h"

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

#include "run_program.h"

#ifdef _WIN32
// Missing from some SDKs' winternl.h.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32

// Throws the system's last error; `what` is built after it is taken.
template <typename What>
[[noreturn]] void fail(What what) {
    const int code = static_cast<int>(GetLastError());
    throw std::system_error(code, std::system_category(), what());
}

// Owns one handle.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    ~Handle() { reset(nullptr); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle) {
        if (handle_ != nullptr) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | SYNCHRONIZE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;

// Opens or makes (`disposition`) `name` in the folder open as `dir`, by the
// name alone, as the walk opens folders; with no folder `name` is an absolute
// path. Reaches any depth.
NTSTATUS openIn(HANDLE dir, const std::wstring& name, ACCESS_MASK access, ULONG disposition, ULONG options,
                HANDLE& handle) {
    std::wstring whole = dir == nullptr ? L"\\??\\" + name : name;
    const auto bytes = static_cast<USHORT>(whole.size() * sizeof(wchar_t));
    UNICODE_STRING counted{bytes, bytes, whole.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, 0, dir, nullptr);
    IO_STATUS_BLOCK io;
    return NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

std::string failure(const char* call, const std::wstring& name, NTSTATUS status) {
    return std::string(call) + " " + asText(name) + ": error " + std::to_string(RtlNtStatusToDosError(status));
}

// The folder `name` in the folder open as `dir` (see openIn), open; null when
// it cannot be opened.
HANDLE folderIn(HANDLE dir, const std::wstring& name) {
    HANDLE handle;
    return NT_SUCCESS(openIn(dir, name, kFolderAccess, FILE_OPEN, kFolderOptions, handle)) ? handle : nullptr;
}

[[noreturn]] void fail(const char* call, const std::wstring& name, NTSTATUS status) {
    throw std::system_error(static_cast<int>(RtlNtStatusToDosError(status)), std::system_category(),
                            std::string(call) + " " + asText(name));
}

// Makes the empty file `name` in the folder open as `dir`.
void makeFileIn(HANDLE dir, const std::wstring& name) {
    HANDLE file;
    const NTSTATUS status = openIn(dir, name, GENERIC_WRITE | SYNCHRONIZE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
    if (!NT_SUCCESS(status)) fail("create", name, status);
    CloseHandle(file);
}

// Makes the folder `name` in the folder open as `dir`, with `files` in it;
// returns it open.
HANDLE makeFolderIn(HANDLE dir, const std::wstring& name, const std::vector<std::wstring>& files) {
    HANDLE made;
    const NTSTATUS status = openIn(dir, name, kFolderAccess, FILE_CREATE, kFolderOptions, made);
    if (!NT_SUCCESS(status)) fail("create", name, status);
    Handle folder(made);
    for (const std::wstring& file : files) makeFileIn(made, file);
    return folder.release();
}

// The folder that holds `relative` (parts separated by "/") below `root`,
// open; missing folders on the way are made.
Handle parentIn(const fs::path& root, const std::string& relative) {
    Handle dir(folderIn(nullptr, root.native()));
    if (dir.get() == nullptr) throw std::runtime_error("cannot open " + asText(root));
    for (std::size_t from = 0, slash; (slash = relative.find('/', from)) != std::string::npos; from = slash + 1) {
        const std::wstring name = asPath(relative.substr(from, slash - from)).native();
        const HANDLE next = folderIn(dir.get(), name);
        dir.reset(next != nullptr ? next : makeFolderIn(dir.get(), name, {}));
    }
    return dir;
}

// The last name of `relative`.
std::wstring lastName(const std::string& relative) { return asPath(relative.substr(relative.rfind('/') + 1)).native(); }

// The entries of the folder open as `dir`, from the first, and whether each is
// a folder; `problem` tells a failure.
std::vector<std::pair<std::wstring, bool>> entriesIn(HANDLE dir, std::string& problem) {
    std::vector<std::pair<std::wstring, bool>> entries;
    std::vector<std::uint64_t> buffer(8192);
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK io;
        const NTSTATUS status = NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &io, buffer.data(),
                                                     static_cast<ULONG>(buffer.size() * sizeof buffer[0]),
                                                     FileDirectoryInformation, FALSE, nullptr, restart);
        if (status == static_cast<NTSTATUS>(0x80000006u)) return entries;  // no more files
        if (!NT_SUCCESS(status)) {
            problem = failure("list", L"a folder", status);
            return entries;
        }
        for (auto* at = reinterpret_cast<const unsigned char*>(buffer.data());;) {
            const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                entries.emplace_back(name, (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
}

// The names (as text) in the folder open as `dir`, in listing order.
std::vector<std::string> namesIn(HANDLE dir, std::string& problem) {
    std::vector<std::string> names;
    for (const auto& entry : entriesIn(dir, problem)) names.push_back(asText(entry.first));
    return names;
}

// Runs a Linux program in the temporary folder, not in the tree: Wine keeps a
// folder that a process ran in from being removed.
bool runLinux(std::vector<std::string> argv) {
    RunOptions options;
    options.cwd = fs::temp_directory_path();
    return runProgram(std::move(argv), options).status == 0;
}

#else

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

std::string failure(const char* call, const std::string& name) {
    return std::string(call) + " " + name + ": " + std::strerror(errno);
}

// The names in the directory open as `fd`, read through a descriptor of
// their own so that `fd` keeps no listing state.
std::vector<std::string> namesIn(int fd, std::string& error) {
    std::vector<std::string> names;
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY);
    DIR* listing = own < 0 ? nullptr : ::fdopendir(own);
    if (listing == nullptr) {
        error = failure("opendir", ".");
        if (own >= 0) ::close(own);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

// Empties the directory `root` and removes it. Goes down one directory at a
// time and climbs back through "..", so it holds a few descriptors at most
// and reaches below the longest path the system accepts. Returns what failed,
// or an empty text.
std::string removeTree(const fs::path& root) {
    if (::chmod(root.c_str(), 0700) != 0) return failure("chmod", root);
    Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (dir.get() < 0) return failure("open", root);
    std::string error;
    for (int depth = 0; error.empty();) {
        std::string full;  // a subdirectory that must be emptied first
        for (const std::string& name : namesIn(dir.get(), error)) {
            struct stat st {};
            if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                error = failure("fstatat", name);
            } else if (!S_ISDIR(st.st_mode)) {
                if (::unlinkat(dir.get(), name.c_str(), 0) != 0) error = failure("unlinkat", name);
            } else if (::fchmodat(dir.get(), name.c_str(), 0700, 0) != 0) {
                error = failure("fchmodat", name);
            } else if (::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR) != 0) {
                if (errno == ENOTEMPTY || errno == EEXIST)
                    full = name;
                else
                    error = failure("rmdir", name);
            }
            if (!error.empty() || !full.empty()) break;
        }
        if (!error.empty()) break;
        const char* next = !full.empty() ? full.c_str() : depth > 0 ? ".." : nullptr;
        if (next == nullptr) break;
        const int fd = ::openat(dir.get(), next, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (fd < 0) {
            error = failure("openat", next);
            break;
        }
        dir.reset(fd);
        depth += full.empty() ? -1 : 1;
    }
    dir.reset(-1);
    if (error.empty() && ::rmdir(root.c_str()) != 0) error = failure("rmdir", root);
    return error;
}

#endif

}  // namespace

#ifdef _WIN32

std::string asText(const fs::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::runtime_error("a test path is not UTF-16");
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

fs::path asPath(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("a test text is not UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string joined(const std::string& dir, const std::string& rest) {
    std::string text = dir + "\\" + rest;
    std::replace(text.begin() + static_cast<std::ptrdiff_t>(dir.size()), text.end(), '/', '\\');
    return text;
}

std::string protectedName(const std::string& name) { return name; }

TempTree::TempTree() {
    const fs::path temp = fs::temp_directory_path();
    for (unsigned n = 0;; ++n) {
        root_ = temp / ("dravelon-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n));
        if (CreateDirectoryW(root_.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) fail([&] { return "CreateDirectoryW " + asText(root_); });
    }
}

TempTree::~TempTree() {
    // Linux removes the tree, each link as itself and at any depth: Wine's own
    // removal follows links, and finds a file by its whole Linux path, which
    // stops at 4,096 bytes.
    if (!runLinux({"/bin/rm", "-rf", asText(root_.filename())}))
        ADD_FAILURE() << "/bin/rm could not remove " << asText(root_);
}

fs::path TempTree::path(const std::string& relative) const {
    std::string native = relative;
    std::replace(native.begin(), native.end(), '/', '\\');
    return relative.empty() ? root_ : root_ / asPath(native);
}

void TempTree::makeParents(const std::string& relative) { parentIn(root_, relative); }

fs::path TempTree::dir(const std::string& relative) {
    CloseHandle(makeFolderIn(parentIn(root_, relative).get(), lastName(relative), {}));
    return path(relative);
}

fs::path TempTree::file(const std::string& relative) {
    makeFileIn(parentIn(root_, relative).get(), lastName(relative));
    return path(relative);
}

// A link made by the system call, if Wine makes it.
static bool systemLink(const fs::path& made, const std::string& target) {
    std::string nativeTarget = target;
    std::replace(nativeTarget.begin(), nativeTarget.end(), '/', '\\');
    std::error_code ec;
    const DWORD kind = fs::is_directory(made.parent_path() / asPath(nativeTarget), ec) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    return CreateSymbolicLinkW(made.c_str(), asPath(nativeTarget).c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
           GetFileAttributesW(made.c_str()) != INVALID_FILE_ATTRIBUTES;
}

fs::path TempTree::link(const std::string& relative, const std::string& target) {
    makeParents(relative);
    const fs::path made = path(relative);
    if (!systemLink(made, target)) linuxLinks({{relative, target}});
    return made;
}

void TempTree::linuxLinks(const std::vector<std::pair<std::string, std::string>>& links) {
    if (links.empty()) return;
    // Wine shows the links that Linux programs make as reparse points. The
    // shell goes down one folder at a time from the root, so a link may lie
    // deeper than a Linux path reaches.
    const char* script = R"(root=$1; shift
while (($#)); do
  (cd -- "$root" || exit; IFS=/ read -ra parts <<<"$1"
   for d in "${parts[@]:0:${#parts[@]}-1}"; do cd -- "$d" || exit; done
   ln -s -- "$2" "${parts[-1]}") || exit
  shift 2
done)";
    std::vector<std::string> ln = {"/bin/bash", "-c", script, "ln", asText(root_.filename())};
    for (const auto& [relative, target] : links) ln.insert(ln.end(), {relative, target});
    if (!runLinux(ln)) throw std::runtime_error("cannot make the links, the first " + links.front().first);
}

fs::path TempTree::chain(int depth, const std::string& file, const std::string& name, int sideEvery) {
    const std::wstring folder = asPath(name).native();
    std::vector<std::wstring> sideFiles = {asPath(file).native(), L"x.scr"};
    for (int k = 0; k < 30; ++k) sideFiles.push_back(std::to_wstring(k));
    Handle dir(folderIn(nullptr, root_.native()));
    if (dir.get() == nullptr) throw std::runtime_error("cannot open " + asText(root_));
    for (int level = 1; level <= depth; ++level) {
        dir.reset(makeFolderIn(dir.get(), folder, {sideFiles[0]}));
        if (sideEvery == 0 || level % sideEvery != 0) continue;
        Handle side(makeFolderIn(dir.get(), L"side", sideFiles));
        for (int k = 1; k < 10; ++k) side.reset(makeFolderIn(side.get(), L"side", {sideFiles[0]}));
    }
    return path(name);
}

#else

std::string asText(const fs::path& path) { return path.native(); }

fs::path asPath(const std::string& text) { return text; }

std::string joined(const std::string& dir, const std::string& rest) { return dir + "/" + rest; }

std::string protectedName(const std::string& name) { return "x\\" + name; }

TempTree::TempTree() {
    char name[] = "/tmp/dravelon-test-XXXXXX";
    if (::mkdtemp(name) == nullptr) fail("mkdtemp");
    root_ = name;
    chmod("", 0755);
}

TempTree::~TempTree() {
    const std::string error = removeTree(root_);
    if (!error.empty()) ADD_FAILURE() << "removing " << root_ << ": " << error;
}

fs::path TempTree::path(const std::string& relative) const { return relative.empty() ? root_ : root_ / relative; }

void TempTree::makeParents(const std::string& relative) {
    struct stat st {};
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
        if (::lstat(path(relative.substr(0, slash)).c_str(), &st) != 0) dir(relative.substr(0, slash));
}

fs::path TempTree::dir(const std::string& relative) {
    makeParents(relative);
    const fs::path made = path(relative);
    if (::mkdir(made.c_str(), 0700) != 0) fail("mkdir " + made.native());
    chmod(relative, 0755);
    return made;
}

fs::path TempTree::file(const std::string& relative) {
    makeParents(relative);
    const fs::path made = path(relative);
    const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) fail("create " + made.native());
    ::close(fd);
    chmod(relative, 0644);
    return made;
}

fs::path TempTree::link(const std::string& relative, const std::string& target) {
    makeParents(relative);
    const fs::path made = path(relative);
    if (::symlink(target.c_str(), made.c_str()) != 0) fail("symlink " + made.native());
    return made;
}

fs::path TempTree::fifo(const std::string& relative) {
    makeParents(relative);
    const fs::path made = path(relative);
    if (::mkfifo(made.c_str(), 0600) != 0) fail("mkfifo " + made.native());
    chmod(relative, 0644);
    return made;
}

void TempTree::chmod(const std::string& relative, mode_t mode) {
    const fs::path target = path(relative);
    if (::chmod(target.c_str(), mode) != 0) fail("chmod " + target.native());
}

namespace {

// Makes the folder `name` in the folder open as `dir`, with `files` in it;
// returns it open.
int makeFolderAt(int dir, const std::string& name, const std::vector<std::string>& files) {
    if (::mkdirat(dir, name.c_str(), 0700) != 0 || ::fchmodat(dir, name.c_str(), 0755, 0) != 0)
        fail("mkdirat " + name);
    const int made = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
    if (made < 0) fail("open " + name);
    for (const std::string& file : files) {
        const int fd = ::openat(made, file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) fail("create " + file);
        ::close(fd);
    }
    return made;
}

}  // namespace

fs::path TempTree::chain(int depth, const std::string& file, const std::string& name, int sideEvery) {
    std::vector<std::string> sideFiles = {file, "x.scr"};
    for (int k = 0; k < 30; ++k) sideFiles.push_back(std::to_string(k));
    Fd dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.get() < 0) fail("open " + root_.native());
    for (int level = 1; level <= depth; ++level) {
        dir.reset(makeFolderAt(dir.get(), name, {file}));
        if (sideEvery == 0 || level % sideEvery != 0) continue;
        Fd side(makeFolderAt(dir.get(), "side", sideFiles));
        for (int k = 1; k < 10; ++k) side.reset(makeFolderAt(side.get(), "side", {file}));
    }
    return path(name);
}

#endif

void TempTree::build(const std::vector<std::string>& entries,
                     const std::vector<std::pair<std::string, std::string>>& links) {
    for (const std::string& entry : entries)
        entry.back() == '/' ? dir(entry.substr(0, entry.size() - 1)) : file(entry);
#ifdef _WIN32
    std::vector<std::pair<std::string, std::string>> byLinux;
    for (const auto& [at, target] : links) {
        makeParents(at);
        if (!systemLink(path(at), target)) byLinux.emplace_back(at, target);
    }
    linuxLinks(byLinux);
#else
    for (const auto& [at, target] : links) link(at, target);
#endif
}

fs::path TempTree::example(const std::string& name) {
    const fs::path top = dir(name);
    file(name + "/a.txt");
    file(name + "/s.scr");
    file(name + "/d/p.PIF");
    return top;
}

fs::path TempTree::wideChain(int depth) {
    std::string level = "d";
    for (int i = 0; i < depth; ++i, level += "/d") {
        file(level + "/f.scr");
        for (int side = 0; side < 6; ++side)
            for (int sub = 0; sub < 3; ++sub) dir(level + "/s" + std::to_string(side) + "/t" + std::to_string(sub));
    }
    return path("d");
}

std::vector<std::string> listingOrder(const fs::path& dir) {
    std::vector<std::string> names;
#ifdef _WIN32
    // The standard listing here stops at 260 characters and misreads some names.
    const Handle folder(folderIn(nullptr, dir.native()));
    std::string error = folder.get() == nullptr ? "cannot open it" : "";
    if (error.empty()) names = namesIn(folder.get(), error);
    if (!error.empty()) throw std::runtime_error("listing " + asText(dir) + ": " + error);
#else
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.push_back(asText(entry.path().filename()));
#endif
    return names;
}

std::vector<std::string> chainWalkOrder(const std::string& start, const fs::path& top, int levels,
                                        const std::string& file, const std::string& name) {
    std::vector<std::string> order, after;
    std::string text = start;
    // Folder by folder through their descriptors or handles: the chain may be
    // deeper than the longest path the system takes.
#ifdef _WIN32
    Handle dir(folderIn(nullptr, top.native()));
#else
    Fd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY));
#endif
    for (int level = 1; level <= levels; ++level, text = joined(text, name)) {
        std::string error;
        const std::vector<std::string> names = namesIn(dir.get(), error);
        if (!error.empty()) throw std::runtime_error("chain level " + std::to_string(level) + ": " + error);
#ifdef _WIN32
        dir.reset(folderIn(dir.get(), asPath(name).native()));
#else
        dir.reset(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
#endif
        (!names.empty() && names.front() == file ? order : after).push_back(joined(text, file));
    }
    order.insert(order.end(), after.rbegin(), after.rend());
    return order;
}
