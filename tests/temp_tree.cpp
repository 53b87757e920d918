#include "temp_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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

fs::path TempTree::dir(const std::string& relative, mode_t mode) {
    const fs::path made = path(relative);
    if (::mkdir(made.c_str(), 0700) != 0) fail("mkdir " + made.native());
    chmod(relative, mode);
    return made;
}

fs::path TempTree::file(const std::string& relative, mode_t mode) {
    const fs::path made = path(relative);
    const int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) fail("create " + made.native());
    ::close(fd);
    chmod(relative, mode);
    return made;
}

fs::path TempTree::link(const std::string& relative, const std::string& target) {
    const fs::path made = path(relative);
    if (::symlink(target.c_str(), made.c_str()) != 0) fail("symlink " + made.native());
    return made;
}

fs::path TempTree::fifo(const std::string& relative) {
    const fs::path made = path(relative);
    if (::mkfifo(made.c_str(), 0600) != 0) fail("mkfifo " + made.native());
    chmod(relative, 0644);
    return made;
}

void TempTree::chmod(const std::string& relative, mode_t mode) {
    const fs::path target = relative.empty() ? root_ : path(relative);
    if (::chmod(target.c_str(), mode) != 0) fail("chmod " + target.native());
}

fs::path TempTree::example(const std::string& name) {
    const fs::path top = dir(name);
    file(name + "/a.txt");
    file(name + "/s.scr");
    dir(name + "/d");
    file(name + "/d/p.PIF");
    return top;
}

fs::path TempTree::chain(int depth, const std::string& file) {
    Fd dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY));
    for (int level = 1; level <= depth && dir.get() >= 0; ++level) {
        if (::mkdirat(dir.get(), "d", 0700) != 0 || ::fchmodat(dir.get(), "d", 0755, 0) != 0)
            fail("mkdirat d at level " + std::to_string(level));
        dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY));
        if (dir.get() < 0) break;
        const int fd = ::openat(dir.get(), file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) fail("create " + file + " at level " + std::to_string(level));
        ::close(fd);
    }
    if (dir.get() < 0) fail("open chain directory");
    return path("d");
}

std::vector<std::string> listingOrder(const fs::path& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().native());
    return names;
}

std::vector<bool> chainFileFirst(const fs::path& top, int levels, const std::string& file) {
    std::vector<bool> fileFirst;
    std::string error;
    Fd dir(::open(top.c_str(), O_RDONLY | O_DIRECTORY));
    for (int level = 1; level <= levels && dir.get() >= 0 && error.empty(); ++level) {
        const std::vector<std::string> names = namesIn(dir.get(), error);
        fileFirst.push_back(!names.empty() && names.front() == file);
        dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY));
    }
    if (fileFirst.size() != static_cast<std::size_t>(levels)) fail("reading chain listings " + error);
    return fileFirst;
}

int reachableLevels(const fs::path& top, int depth) {
    // Level k (top being level 1) is top followed by k - 1 times "/d".
    const long longest = PATH_MAX - 1;
    const long size = static_cast<long>(top.native().size());
    return size > longest ? 0 : std::min(depth, static_cast<int>((longest - size) / 2) + 1);
}
