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
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

// An entry of unknown type (some file systems list no kinds) costs a status
// query of its own, links not followed.
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

// How many descriptors the walk may hold: half the soft limit, so that the
// standard streams and whatever else the process holds keep their room; at
// least two (the start folder and the deepest), at most 4096.
std::size_t descriptorBudget() {
    rlimit limit{};
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 64;
    return static_cast<std::size_t>(std::clamp<rlim_t>(soft / 2, 2, 4096));
}

// The folders on the walk path, one descriptor each within a budget. Past the
// budget the shallowest held descriptor but the start folder's is given up,
// so the held ones are always the start folder's and those of the deepest
// levels. A level given up is opened again only when the walk needs it once
// more: from the start folder by the names below it, a few thousand bytes at
// a time, and only if it is still the same folder.
class PosixFolders final : public FolderPath {
public:
    PosixFolders() : budget_(descriptorBudget()), buffer_(32 * 1024) {}
    ~PosixFolders() override {
        while (!levels_.empty()) leave();
    }
    PosixFolders(const PosixFolders&) = delete;
    PosixFolders& operator=(const PosixFolders&) = delete;

    OpenedFolder openStart(const NativeString& start) override {
        path_ = start;
        const int fd = openAt(AT_FDCWD, path_.c_str());
        if (fd < 0) {
            OpenedFolder refused;
            refused.kind = EntryKind::directory;
            if (errno != EACCES) refused.error = errorOf(errno);
            return refused;
        }
        return entered(fd);
    }

    OpenedFolder openChild(NativeView name) override {
        OpenedFolder opened;
        const int parent = deepest(opened.error);
        if (parent < 0) return opened;
        const std::size_t end = path_.size();
        path_ += '/';
        path_.append(name);
        const char* child = path_.c_str() + end + 1;
        const int fd = openAt(parent, child);
        if (fd >= 0) return entered(fd);
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
        if (levels_.back().fd >= 0) ::close(levels_.back().fd);
        levels_.pop_back();
        lowest_ = std::max<std::size_t>(1, std::min(lowest_, levels_.size()));
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
        std::size_t pathEnd;    // its path is path_[0, pathEnd)
        FileIdentity identity;  // from fstat(2) on its descriptor
    };

    // openat(2) for a folder; when the process is out of descriptors, the
    // shallowest held ones are given up until it succeeds.
    int openAt(int dir, const char* name) {
        for (;;) {
            const int fd = ::openat(dir, name, kOpenFlags);
            if (fd >= 0 || errno != EMFILE || !giveUpShallowest()) return fd;
        }
    }

    OpenedFolder entered(int fd) {
        struct stat st {};
        const FileIdentity identity = ::fstat(fd, &st) == 0 ? identityOf(st) : FileIdentity{};
        levels_.push_back(Level{fd, path_.size(), identity});
        while (1 + levels_.size() - lowest_ > budget_ && giveUpShallowest()) {
        }
        OpenedFolder opened;
        opened.listing = std::make_unique<PosixListing>(fd, buffer_);
        opened.kind = EntryKind::directory;
        opened.identity = identity;
        return opened;
    }

    // Gives up the shallowest held descriptor but those of the start folder
    // and the deepest level. False when there is none.
    bool giveUpShallowest() {
        if (lowest_ + 1 >= levels_.size()) return false;
        ::close(levels_[lowest_].fd);
        levels_[lowest_++].fd = -1;
        return true;
    }

    // The descriptor of the deepest folder, opened again if it was given up;
    // -1 with `ec` set when it cannot be, or when what its path now leads to
    // is another folder.
    int deepest(std::error_code& ec) {
        Level& level = levels_.back();
        if (level.fd >= 0) return level.fd;
        int fd = levels_.front().fd;
        for (std::size_t from = levels_.front().pathEnd + 1; from < level.pathEnd;) {
            // As many names as stay under PATH_MAX; a name is far shorter.
            std::size_t to = level.pathEnd;
            if (to - from >= PATH_MAX) to = path_.rfind('/', from + PATH_MAX - 1);
            const bool fits = to != path_.npos && to > from;
            const int next = fits ? openAt(fd, path_.substr(from, to - from).c_str()) : -1;
            const int code = fits ? errno : ENAMETOOLONG;
            if (fd != levels_.front().fd) ::close(fd);
            if (next < 0) {
                ec = errorOf(code);
                return -1;
            }
            fd = next;
            from = to + 1;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || (level.identity.known && !sameFile(identityOf(st), level.identity))) {
            ::close(fd);
            ec = errorOf(ESTALE);
            return -1;
        }
        level.fd = fd;
        lowest_ = levels_.size() - 1;
        return fd;
    }

    const std::size_t budget_;
    std::vector<Level> levels_;
    std::size_t lowest_ = 1;  // levels [lowest_, size) hold their descriptors, as does level 0
    NativeString path_;       // the deepest folder's path: the start path, then "/" and a name for each level
    NativeString name_;       // a queried name, ended by a NUL
    std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<FolderPath> systemFolders() { return std::make_unique<PosixFolders>(); }

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    return statAt(AT_FDCWD, path.c_str(), 0, ec, identity);
}

NativeString systemPath(const fs::path& start) { return start.native(); }

fs::path pathFromText(const std::string& text) { return fs::path(text); }
