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

#include "listing.h"
#include "scanner.h"

namespace fs = std::filesystem;

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

#ifdef __linux__
// The entries of the folder open as `fd`, read straight from the kernel into
// `buffer`, which the folders lend to one listing at a time.
class PosixListing final : public Listing {
public:
    PosixListing(int fd, std::vector<char>& buffer) : fd_(fd), buffer_(buffer) {}

    bool next(ListedEntry& entry, std::error_code& ec) override {
        for (;;) {
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
            if (isDotOrDotDot(found->d_name)) continue;
            entry.name = NativeView(found->d_name);
            entry.kind = listedKind(fd_, found->d_type, found->d_name);
            return true;
        }
    }

private:
    int fd_;
    std::vector<char>& buffer_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
};
#else
// The same through readdir(3), on a descriptor of its own: closedir(3)
// closes the descriptor that the listing was opened with.
class PosixListing final : public Listing {
public:
    PosixListing(int fd, std::vector<char>&) : fd_(fd), dir_(openOwn(fd)) {}
    ~PosixListing() override {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    PosixListing(const PosixListing&) = delete;
    PosixListing& operator=(const PosixListing&) = delete;

    bool next(ListedEntry& entry, std::error_code& ec) override {
        if (dir_ == nullptr) {
            ec = errorOf(error_);
            return false;
        }
        for (;;) {
            errno = 0;
            const struct dirent* found = ::readdir(dir_);
            if (found == nullptr) {
                if (errno != 0) ec = errorOf(errno);
                return false;
            }
            if (isDotOrDotDot(found->d_name)) continue;
            entry.name = NativeView(found->d_name);
            entry.kind = listedKind(fd_, found->d_type, found->d_name);
            return true;
        }
    }

private:
    DIR* openOwn(int fd) {
        const int own = ::dup(fd);
        DIR* dir = own < 0 ? nullptr : ::fdopendir(own);
        if (dir == nullptr) {
            error_ = errno;
            if (own >= 0) ::close(own);
        }
        return dir;
    }

    int fd_;
    int error_ = 0;
    DIR* dir_;
};
#endif

// How many descriptors the walk may keep, opening one more at a time: half
// the soft limit, so that the standard streams and whatever else the process
// holds keep their room; at least two, at most 4096. Should the process hold
// more than the other half already, the first open refused for lack of
// descriptors brings the budget down to what it can hold.
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

// The folders on the walk path, one descriptor each within a budget.
//
// Past the budget, descriptors of folders above the deepest are given up,
// the shallowest first, and first those that ".." gives back: the walk
// comes back to such a folder from its subfolder, whose ".." it opens before
// closing the subfolder's descriptor, and takes only when it is the same
// folder (device and inode). So climbing back costs one open at every level,
// whatever the depth. A folder whose subfolder was reached through a link
// (its ".." is the link target's parent), or was moved away, is opened again
// only when the walk needs it: by its name in the nearest folder above it
// that is held, one name per call, every folder on the way checked by
// identity and kept within the budget, so that the next level up starts
// from there; the start folder by the start path.
class PosixFolders final : public FolderPath {
public:
    explicit PosixFolders(std::size_t budget) : budget_(budget), buffer_(32 * 1024) {}
    ~PosixFolders() override {
        for (const Level& level : levels_)
            if (level.fd >= 0) ::close(level.fd);
    }
    PosixFolders(const PosixFolders&) = delete;
    PosixFolders& operator=(const PosixFolders&) = delete;

    OpenedFolder openStart(const NativeString& start) override {
        path_ = start;
        const int fd = openStartFolder();
        if (fd < 0) {
            OpenedFolder refused;
            refused.kind = EntryKind::directory;
            if (errno != EACCES) refused.error = errorOf(errno);
            return refused;
        }
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
        int fd = openAt(parent, child, kOpenFlags | O_NOFOLLOW);
        const bool linked = fd < 0;
        if (linked) fd = openAt(parent, child, kOpenFlags);
        if (fd >= 0) {
            const FileIdentity identity = identityOf(fd);
            const FileIdentity& above = levels_.back().identity;
            if ((!identity.known || !above.known || identity.volume != above.volume) && isKernelView(fd)) {
                release(fd);
                path_.resize(end);
                opened.kind = EntryKind::directory;
                opened.systemArea = true;
                return opened;
            }
            return entered(fd, linked, identity);
        }
        // Why it could not be opened. Permission refused has two causes: the
        // folder refuses its listing (it counts as discovered), or its parent
        // cannot be searched (it cannot be reached at all); only a status
        // query tells them apart.
        const int code = errno;
        if (code == ENOENT) {
            opened.kind = EntryKind::missing;
        } else {
            opened.kind = statAt(parent, child, 0, opened.error, nullptr);
            if (opened.kind == EntryKind::directory && code != EACCES) opened.error = errorOf(code);
        }
        path_.resize(end);
        return opened;
    }

    void leave() override {
        Level& left = levels_.back();
        if (levels_.size() > 1) {
            Level& parent = levels_[levels_.size() - 2];
            if (parent.fd >= 0)
                candidates(left.linked).pop_back();  // the deepest of them: it is the deepest folder now
            else if (left.fd >= 0)
                climb(left.fd, parent);
        }
        if (left.fd >= 0) release(left.fd);
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
    struct Level {
        int fd;                 // -1 once given up
        std::size_t pathEnd;    // its path is path_[0, pathEnd), its name what follows the "/" before that
        FileIdentity identity;  // from fstat(2) on its descriptor
        bool linked;            // reached through a link: its ".." may be another folder than the level above
    };

    // openat(2); when the process is out of descriptors, the budget becomes
    // what it can hold and held ones are given up until it succeeds.
    int openAt(int dir, const char* name, int flags) {
        for (;;) {
            const int fd = ::openat(dir, name, flags);
            if (fd >= 0) {
                ++held_;
                return fd;
            }
            if (errno != EMFILE) return -1;
            budget_ = std::max<std::size_t>(held_, 2) - 1;
            if (!giveUp()) {
                errno = EMFILE;
                return -1;
            }
        }
    }

    void release(int fd) {
        ::close(fd);
        --held_;
    }

    // The start folder, opened by the start path (in steps when it is long).
    int openStartFolder() {
        const NativeString start = path_.substr(0, levels_.empty() ? path_.size() : levels_.front().pathEnd);
        const char* rest = nullptr;
        const int dir = approach(
            start, rest, [this](int at, const char* name, int flags) { return openAt(at, name, flags); },
            [this](int fd) { release(fd); });
        if (dir == -1) return -1;
        const int fd = openAt(dir, rest, kOpenFlags);
        const int code = errno;
        if (dir != AT_FDCWD) release(dir);
        errno = code;
        return fd;
    }

    OpenedFolder entered(int fd, bool linked, const FileIdentity& identity) {
        if (!levels_.empty()) candidates(linked).push_back(levels_.size() - 1);
        levels_.push_back(Level{fd, path_.size(), identity, linked});
        trim();
        OpenedFolder opened;
        opened.listing = std::make_unique<PosixListing>(fd, buffer_);
        opened.kind = EntryKind::directory;
        opened.identity = identity;
        return opened;
    }

    // The held descriptors that may be given up, those of folders above the
    // deepest, each list from the shallowest: the folders whose subfolder on
    // the walk path was entered through a link, or the others.
    std::deque<std::size_t>& candidates(bool linkedChild) { return linkedChild ? byName_ : byDotDot_; }

    // Gives up the shallowest descriptor that ".." gives back, or else the
    // shallowest of the others. False when there is none.
    bool giveUp() {
        std::deque<std::size_t>& from = byDotDot_.empty() ? byName_ : byDotDot_;
        if (from.empty()) return false;
        Level& level = levels_[from.front()];
        from.pop_front();
        release(level.fd);
        level.fd = -1;
        return true;
    }

    void trim() {
        while (held_ > budget_ && giveUp()) {
        }
    }

    // True when `fd` is the folder `level` was, or when that cannot be told.
    static bool isSame(int fd, const Level& level) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && (!level.identity.known || sameFile(identityOf(st), level.identity));
    }

    // Takes `parent` back from its subfolder's descriptor `fd` through "..",
    // if it is the same folder: a folder reached through a link, or moved
    // away since, has another.
    void climb(int fd, Level& parent) {
        if (!parent.identity.known) return;
        const int up = openAt(fd, "..", kOpenFlags);
        if (up < 0) return;
        if (isSame(up, parent))
            parent.fd = up;
        else
            release(up);
    }

    // The descriptor of the deepest folder, opened again if it was given up;
    // -1 with `ec` set when it cannot be, or when a folder on the way is not
    // the same folder any more.
    int deepest(std::error_code& ec) {
        const std::size_t last = levels_.size() - 1;
        if (levels_[last].fd >= 0) return levels_[last].fd;
        // The nearest folder above that is held, out of the candidates while
        // it is in use; the start folder, by its path, when none is.
        std::size_t at = 0;
        if (!byDotDot_.empty() || !byName_.empty()) {
            const bool linked = byDotDot_.empty() || (!byName_.empty() && byName_.back() > byDotDot_.back());
            at = candidates(linked).back();
            candidates(linked).pop_back();
        } else {
            const int fd = openStartFolder();
            const int code = errno;
            if (fd < 0 || !isSame(fd, levels_[0])) {
                if (fd >= 0) release(fd);
                ec = errorOf(fd < 0 ? code : ESTALE);
                return -1;
            }
            levels_[0].fd = fd;
        }
        for (; at < last; ++at) {
            Level& next = levels_[at + 1];
            name_.assign(path_, levels_[at].pathEnd + 1, next.pathEnd - levels_[at].pathEnd - 1);
            const int fd = openAt(levels_[at].fd, name_.c_str(), kOpenFlags);
            const int code = errno;
            candidates(next.linked).push_back(at);
            if (fd < 0 || !isSame(fd, next)) {
                if (fd >= 0) release(fd);
                trim();
                ec = errorOf(fd < 0 ? code : ESTALE);
                return -1;
            }
            next.fd = fd;
            trim();
        }
        return levels_[last].fd;
    }

    std::size_t budget_;
    std::size_t held_ = 0;             // descriptors open
    std::vector<Level> levels_;
    std::deque<std::size_t> byDotDot_;  // held levels above the deepest whose subfolder's ".." gives them back
    std::deque<std::size_t> byName_;    // the other held levels above the deepest
    NativeString path_;                 // the deepest folder's path: the start path, then "/" and a name for each level
    NativeString name_;                 // a queried or reopened name, ended by a NUL
    std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<FolderPath> systemFolders() { return std::make_unique<PosixFolders>(descriptorBudget()); }

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

NativeString systemPath(const fs::path& start) { return start.native(); }

fs::path pathFromText(const std::string& text) { return fs::path(text); }
