// The folders where names are bytes. Every folder below the start is opened
// with openat(2) by its name in its parent's open descriptor, so no system
// call is ever handed more than one name below an open folder, whatever the
// depth; a folder is read whole with getdents64(2) (readdir(3) where that is
// missing), whose entries carry their kinds, and its identity comes from
// fstat(2) on its descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <iterator>
#include <vector>

#include "listing_posix.h"

namespace {

constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

std::error_code errorOf(int code) { return std::error_code(code, std::generic_category()); }

bool isNotFound(int code) { return code == ENOENT || code == ENOTDIR; }

FileIdentity identityOf(const struct stat& st) {
    return fileIdentity(static_cast<std::uint64_t>(st.st_dev), 0, static_cast<std::uint64_t>(st.st_ino));
}

// The identity of the file open as `fd`, from fstat(2).
FileIdentity identityOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? identityOf(st) : FileIdentity{};
}

// True when the folder open as `fd` lies in a file system where the kernel
// shows its own state and no one can store a file, known by its statfs(2)
// type. Such a file system is mounted somewhere, so only a folder on another
// device than its parent needs the call.
bool isKernelView(int fd) {
#ifdef __linux__
    static constexpr std::uint32_t kKernelViews[] = {
        0x00009FA0,  // proc
        0x62656572,  // sysfs
        0x0027E0EB,  // cgroup
        0x63677270,  // cgroup2
        0x64626720,  // debugfs
        0x74726163,  // tracefs
        0x73636673,  // securityfs
        0x6165676C,  // pstore
        0xCAFE4A11,  // bpf
        0x62656570,  // configfs
        0xDE5E81E4,  // efivarfs
        0x65735543,  // fusectl
        0x42494E4D,  // binfmt_misc
    };
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    const auto type = static_cast<std::uint32_t>(fs.f_type);
    return std::find(std::begin(kKernelViews), std::end(kKernelViews), type) != std::end(kKernelViews);
#else
    (void)fd;
    return false;
#endif
}

EntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::file;
    if (S_ISDIR(mode)) return EntryKind::directory;
    if (S_ISLNK(mode)) return EntryKind::link;
    return EntryKind::other;
}

// What `name` in the folder open as `dir` (or AT_FDCWD) is: fstatat(2) with
// `flags`, links followed unless they hold AT_SYMLINK_NOFOLLOW.
EntryKind statAt(int dir, const char* name, int flags, std::error_code& ec, FileIdentity* identity) {
    ec.clear();
    struct stat st {};
    if (::fstatat(dir, name, &st, flags) != 0) {
        if (isNotFound(errno)) return EntryKind::missing;
        ec = errorOf(errno);
        return EntryKind::unknown;
    }
    if (identity != nullptr) *identity = identityOf(st);
    return kindOf(st.st_mode);
}

}  // namespace

EntryKind listedKind(int dir, unsigned char type, const char* name) {
    switch (type) {
    case DT_REG:
        return EntryKind::file;
    case DT_DIR:
        return EntryKind::directory;
    case DT_LNK:
        return EntryKind::link;
    case DT_UNKNOWN: {
        std::error_code ec;
        return statAt(dir, name, AT_SYMLINK_NOFOLLOW, ec, nullptr);
    }
    default:
        return EntryKind::other;
    }
}

namespace {

bool isDotOrDotDot(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// The entries of the folder open as `fd`: on Linux read straight from the
// kernel with getdents64(2) into `buffer`, which the folders lend to one
// listing at a time; elsewhere with readdir(3), on a descriptor of the
// listing's own, which closedir(3) closes.
class PosixListing final : public Listing {
public:
#ifdef __linux__
    PosixListing(int fd, std::vector<char>& buffer) : fd_(fd), buffer_(buffer) {}
#else
    PosixListing(int fd, std::vector<char>&) : fd_(fd), own_(::dup(fd)), dir_(own_ < 0 ? nullptr : ::fdopendir(own_)) {
        error_ = errno;
        if (dir_ == nullptr && own_ >= 0) ::close(own_);
    }
    ~PosixListing() override {
        if (dir_ != nullptr) ::closedir(dir_);
    }
#endif
    PosixListing(const PosixListing&) = delete;
    PosixListing& operator=(const PosixListing&) = delete;

    bool next(ListedEntry& entry, std::error_code& ec) override {
        for (;;) {
#ifdef __linux__
            if (at_ == end_) {
                const ssize_t got = ::getdents64(fd_, buffer_.data(), buffer_.size());
                if (got <= 0) {
                    if (got < 0) ec = errorOf(errno);
                    return false;
                }
                at_ = 0;
                end_ = static_cast<std::size_t>(got);
            }
            const auto* found = reinterpret_cast<const struct dirent64*>(buffer_.data() + at_);
            at_ += found->d_reclen;
#else
            errno = dir_ == nullptr ? error_ : 0;
            const struct dirent* found = dir_ == nullptr ? nullptr : ::readdir(dir_);
            if (found == nullptr) {
                if (errno != 0) ec = errorOf(errno);
                return false;
            }
#endif
            if (isDotOrDotDot(found->d_name)) continue;
            entry.name = NativeView(found->d_name);
            entry.kind = listedKind(fd_, found->d_type, found->d_name);
            return true;
        }
    }

private:
    int fd_;
#ifdef __linux__
    std::vector<char>& buffer_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
#else
    int own_;
    DIR* dir_;
    int error_;
#endif
};

// How many descriptors the walk may keep open: half the soft limit, so that
// whatever else the process holds keeps its room; at least two, at most 4096.
std::size_t descriptorBudget() {
    rlimit limit{};
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 64;
    return static_cast<std::size_t>(std::clamp<rlim_t>(soft / 2, 2, 4096));
}

// The folder from which the path `path` can be reached in one call: while
// what is left of it is too long for the system (PATH_MAX, its NUL
// included), as many names as fit are opened, each step relative to the
// last. Returns AT_FDCWD when the path fits, otherwise a descriptor the
// caller closes, or -1 with errno set; `rest` receives what is left of the
// path ("." when only separators are). `open(dir, name, flags)` and
// `close(fd)` open and close the steps.
template <typename Open, typename Close>
int approach(const NativeString& path, const char*& rest, Open open, Close close) {
#ifdef O_PATH
    constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // search permission is enough
#else
    constexpr int kStepFlags = kOpenFlags;
#endif
    int dir = AT_FDCWD;
    std::size_t from = 0;
    while (path.size() - from >= PATH_MAX) {
        const std::size_t slash = path.rfind('/', from + PATH_MAX - 1);
        // A name is far shorter than PATH_MAX, so only a path that holds a
        // name too long for any call has no place to be cut.
        const bool cut = slash != path.npos && slash > from;
        const int next = cut ? open(dir, path.substr(from, slash - from).c_str(), kStepFlags) : -1;
        const int code = cut ? errno : ENAMETOOLONG;
        if (dir != AT_FDCWD) close(dir);
        if (next < 0) {
            errno = code;
            return -1;
        }
        dir = next;
        from = path.find_first_not_of('/', slash);
        if (from == path.npos) {
            rest = ".";
            return dir;
        }
    }
    rest = path.c_str() + from;
    return dir;
}

// The descriptors of the folders on the walk path, within a budget. Past it,
// folders above the deepest are closed, the shallowest first, and first
// those that ".." gives back (their subfolder on the path was not entered
// through a link). An open that finds the process out of descriptors makes
// the budget what it can hold and closes more until it succeeds.
class DescriptorBudget {
public:
    explicit DescriptorBudget(std::size_t budget) : budget_(budget) {}
    ~DescriptorBudget() {
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    DescriptorBudget(const DescriptorBudget&) = delete;
    DescriptorBudget& operator=(const DescriptorBudget&) = delete;

    // The descriptor of the folder at `depth`, -1 when it is closed.
    int at(std::size_t depth) const { return fds_[depth]; }

    // openat(2), counted.
    int open(int dir, const char* name, int flags) {
        for (;;) {
            const int fd = ::openat(dir, name, flags);
            if (fd >= 0) {
                ++open_;
                return fd;
            }
            if (errno != EMFILE) return -1;
            budget_ = std::max<std::size_t>(open_, 2) - 1;
            if (!closeShallowest()) {
                errno = EMFILE;
                return -1;
            }
        }
    }

    // Closes a descriptor that open gave and that is not on the path.
    void close(int fd) {
        ::close(fd);
        --open_;
    }

    // A new deepest folder, open as `fd`: the folder above it may be closed
    // now, later when `linked` (the new folder was entered through a link,
    // so its ".." is not the folder above).
    void push(int fd, bool linked) {
        if (!fds_.empty()) mayClose(fds_.size() - 1, linked);
        fds_.push_back(fd);
        trim();
    }

    // Closes the deepest folder, entered as `linked` says; the folder above
    // is the deepest again, and in use.
    void pop(bool linked) {
        std::deque<std::size_t>& list = candidates(linked);
        if (!list.empty() && list.back() + 2 == fds_.size()) list.pop_back();
        if (fds_.back() >= 0) close(fds_.back());
        fds_.pop_back();
    }

    // The folder at `depth`, which was closed, is open again as `fd`.
    void reopened(std::size_t depth, int fd) { fds_[depth] = fd; }

    // The deepest of the open folders above the deepest, taken out of those
    // that may be closed, since it is in use; npos when none is open.
    std::size_t takeNearestOpen() {
        if (byDotDot_.empty() && byName_.empty()) return ~std::size_t{0};
        std::deque<std::size_t>& list =
            byDotDot_.empty() || (!byName_.empty() && byName_.back() > byDotDot_.back()) ? byName_ : byDotDot_;
        const std::size_t depth = list.back();
        list.pop_back();
        return depth;
    }

    // The folder at `depth`, open, is no longer in use: it may be closed,
    // later when its subfolder on the path was entered through a link.
    void mayClose(std::size_t depth, bool linkedChild) { candidates(linkedChild).push_back(depth); }

    // Closes folders until no more are open than the budget allows.
    void trim() {
        while (open_ > budget_ && closeShallowest()) {
        }
    }

private:
    // The open folders above the deepest, each list from the shallowest.
    std::deque<std::size_t>& candidates(bool linkedChild) { return linkedChild ? byName_ : byDotDot_; }

    bool closeShallowest() {
        std::deque<std::size_t>& list = byDotDot_.empty() ? byName_ : byDotDot_;
        if (list.empty()) return false;
        int& fd = fds_[list.front()];
        list.pop_front();
        close(fd);
        fd = -1;
        return true;
    }

    std::size_t budget_;
    std::size_t open_ = 0;              // descriptors open, on the path or not
    std::vector<int> fds_;              // one for each folder on the path, -1 once closed
    std::deque<std::size_t> byDotDot_;  // open folders above the deepest whose subfolder's ".." gives them back
    std::deque<std::size_t> byName_;    // the other open folders above the deepest
};

// The folders on the walk path, each opened in its parent's descriptor.
//
// A closed folder is taken back when the walk climbs to it: through its
// subfolder's "..", opened before the subfolder is closed and kept only when
// it is the same folder (device and inode), so climbing costs one open at
// every level. One whose ".." leads elsewhere (its subfolder was reached
// through a link, or moved away) is opened again when the walk needs it, by
// its name in the nearest open folder above it, every folder on the way
// checked by identity and kept within the budget; the start folder by the
// start path.
class PosixFolders final : public FolderStack {
public:
    explicit PosixFolders(std::size_t budget) : descriptors_(budget), buffer_(32 * 1024) {}

    OpenedFolder openStart(const NativeString& start) override {
        path_ = start;
        const int fd = openStartFolder();
        if (fd < 0) return {unopened(EntryKind::directory, errno == EACCES), nullptr, {}, errorOf(errno)};
        return entered(fd, false, identityOf(fd));
    }

    OpenedFolder openChild(NativeView name, const FileIdentity&) override {
        OpenedFolder opened;
        const int parent = deepest(opened.error);
        if (parent < 0) return opened;
        const std::size_t end = path_.size();
        path_ += '/';
        path_.append(name);
        const char* child = path_.c_str() + end + 1;
        // The first try follows no link, so that the walk knows which folders
        // ".." may not give back; whatever a link makes it fail with, the
        // second try follows it.
        int fd = descriptors_.open(parent, child, kOpenFlags | O_NOFOLLOW);
        const bool linked = fd < 0;
        if (linked) fd = descriptors_.open(parent, child, kOpenFlags);
        if (fd >= 0) {
            const FileIdentity identity = identityOf(fd);
            const FileIdentity& above = levels_.back().identity;
            if ((!identity.known || !above.known || identity.volume != above.volume) && isKernelView(fd)) {
                descriptors_.close(fd);
                path_.resize(end);
                return {OpenResult::systemArea, nullptr, {}, {}};
            }
            return entered(fd, linked, identity);
        }
        // Why it could not be opened. Permission refused has two causes: the
        // folder refuses its listing, or its parent cannot be searched (it
        // cannot be reached at all); only a status query tells them apart.
        const int code = errno;
        opened.result = code == ENOENT ? OpenResult::gone
                                       : unopened(statAt(parent, child, 0, opened.error, nullptr), code == EACCES);
        if (opened.result != OpenResult::unknown) opened.error = errorOf(code);
        path_.resize(end);
        return opened;
    }

    void leave() override {
        const std::size_t deepest = levels_.size() - 1;
        if (deepest > 0 && descriptors_.at(deepest - 1) < 0 && descriptors_.at(deepest) >= 0) climb();
        descriptors_.pop(levels_.back().linked);
        levels_.pop_back();
        path_.resize(levels_.empty() ? 0 : levels_.back().pathEnd);
    }

    EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) override {
        const int dir = deepest(ec);
        if (dir < 0) return EntryKind::unknown;
        name_.assign(name);
        return statAt(dir, name_.c_str(), 0, ec, identity);
    }

    FileIdentity identity(std::size_t depth) override { return levels_.at(depth).identity; }

private:
    struct FolderDescriptor {
        std::size_t pathEnd;    // its path is path_[0, pathEnd), its name what follows the "/" before that
        FileIdentity identity;  // from fstat(2) on its descriptor
        bool linked;            // reached through a link: its ".." may be another folder than the one above
    };

    // The start folder, opened by the start path (in steps when it is long).
    int openStartFolder() {
        const NativeString start = path_.substr(0, levels_.empty() ? path_.size() : levels_.front().pathEnd);
        const char* rest = nullptr;
        const int dir = approach(
            start, rest, [this](int at, const char* name, int flags) { return descriptors_.open(at, name, flags); },
            [this](int fd) { descriptors_.close(fd); });
        if (dir == -1) return -1;
        const int fd = descriptors_.open(dir, rest, kOpenFlags);
        const int code = errno;
        if (dir != AT_FDCWD) descriptors_.close(dir);
        errno = code;
        return fd;
    }

    OpenedFolder entered(int fd, bool linked, const FileIdentity& identity) {
        levels_.push_back(FolderDescriptor{path_.size(), identity, linked});
        descriptors_.push(fd, linked);
        return {OpenResult::listed, std::make_unique<PosixListing>(fd, buffer_), identity, {}};
    }

    // True when `fd` is the folder `folder` was, or when that cannot be told.
    static bool isSame(int fd, const FolderDescriptor& folder) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && (!folder.identity.known || sameFile(identityOf(st), folder.identity));
    }

    // Opens the folder above the deepest, whose descriptor was closed, again
    // through the deepest's "..", if that is the same folder: one reached
    // through a link, or moved away since, has another.
    void climb() {
        const std::size_t parent = levels_.size() - 2;
        if (!levels_[parent].identity.known) return;
        const int up = descriptors_.open(descriptors_.at(parent + 1), "..", kOpenFlags);
        if (up < 0) return;
        if (isSame(up, levels_[parent]))
            descriptors_.reopened(parent, up);
        else
            descriptors_.close(up);
    }

    // The descriptor of the deepest folder, opened again if it was closed; -1
    // with `ec` set when it cannot be, or when a folder on the way is not the
    // same folder any more.
    int deepest(std::error_code& ec) {
        const std::size_t last = levels_.size() - 1;
        if (descriptors_.at(last) >= 0) return descriptors_.at(last);
        // From the nearest folder above that is open, in use meanwhile; from
        // the start folder, by its path, when none is.
        std::size_t at = descriptors_.takeNearestOpen();
        if (at > last) {
            const int fd = openStartFolder();
            const int code = errno;
            if (fd < 0 || !isSame(fd, levels_[0])) {
                if (fd >= 0) descriptors_.close(fd);
                ec = errorOf(fd < 0 ? code : ESTALE);
                return -1;
            }
            descriptors_.reopened(0, fd);
            at = 0;
        }
        for (; at < last; ++at) {
            const FolderDescriptor& next = levels_[at + 1];
            name_.assign(path_, levels_[at].pathEnd + 1, next.pathEnd - levels_[at].pathEnd - 1);
            const int fd = descriptors_.open(descriptors_.at(at), name_.c_str(), kOpenFlags);
            const int code = errno;
            descriptors_.mayClose(at, next.linked);
            if (fd < 0 || !isSame(fd, next)) {
                if (fd >= 0) descriptors_.close(fd);
                descriptors_.trim();
                ec = errorOf(fd < 0 ? code : ESTALE);
                return -1;
            }
            descriptors_.reopened(at + 1, fd);
            descriptors_.trim();
        }
        return descriptors_.at(last);
    }

    DescriptorBudget descriptors_;
    std::vector<FolderDescriptor> levels_;
    NativeString path_;  // the deepest folder's path: the start path, then "/" and a name for each level
    NativeString name_;  // a queried or reopened name, ended by a NUL
    std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<FolderStack> systemFolders() { return std::make_unique<PosixFolders>(descriptorBudget()); }

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    const char* rest = nullptr;
    const int dir = approach(
        path, rest, [](int at, const char* name, int flags) { return ::openat(at, name, flags); }, ::close);
    if (dir == -1) {
        ec.clear();
        if (isNotFound(errno)) return EntryKind::missing;
        ec = errorOf(errno);
        return EntryKind::unknown;
    }
    const EntryKind kind = statAt(dir, rest, 0, ec, identity);
    if (dir != AT_FDCWD) ::close(dir);
    return kind;
}
