// The folders where names are bytes, through their descriptors: climbing
// back, opening again, a budget of descriptors, long start paths, the kinds a
// listing gives.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "expected.h"
#include "listing_posix.h"
#include "temp_tree.h"
#include "walk_support.h"

namespace fs = std::filesystem;

// Every openat(2) of the folders (and of this program), counted while
// `countedOpens` is set.
static std::size_t* countedOpens = nullptr;
extern "C" int openat(int dir, const char* name, int flags, ...) {
    va_list more;
    va_start(more, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(more, mode_t) : 0;
    va_end(more);
    if (countedOpens != nullptr) ++*countedOpens;
    return static_cast<int>(::syscall(SYS_openat, dir, name, flags, mode));
}

namespace {

// Leaves this process `n` descriptors to open (all that the limit leaves
// when `n` is negative) under a soft limit of `soft` (so a budget of half
// that), until it is destroyed. A sanitizer build checks the dynamic type of
// a virtual call, once for each type, through a pipe of its own: a walk of
// `tree` first, with descriptors to spare, lets it do so.
class FreeDescriptors {
public:
    FreeDescriptors(int n, const fs::path& tree, rlim_t soft = 64) {
        walk(tree);
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = soft;
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) throw std::system_error(errno, std::generic_category(), "setrlimit");
        for (int fd; n >= 0 && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filled_.push_back(fd);
        EXPECT_TRUE(n < 0 || errno == EMFILE);
        for (int i = 0; i < n; ++i, filled_.pop_back()) ::close(filled_.back());
    }
    ~FreeDescriptors() {
        for (int fd : filled_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> filled_;
};

void moveEntry(const fs::path& from, const fs::path& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
}

// What `name` is in the deepest folder, or "failed" when that cannot be told.
std::string queried(FolderStack& folders, const std::string& name) {
    std::error_code ec;
    const EntryKind kind = folders.query(name, ec, nullptr);
    return ec ? "failed" : kind == EntryKind::file ? "file" : kind == EntryKind::directory ? "directory" : "other";
}

// T/a/fa, T/a/l -> ../x, T/x/fx, T/x/ly -> ../y, T/y/fy, T/a/b/fb,
// T/a/b/c/fc: the ".." of a folder reached through l or ly is not the level
// above it.
fs::path linkedTree(TempTree& tree, const std::string& t) {
    for (const char* file : {"a/fa", "x/fx", "y/fy", "a/b/fb", "a/b/c/fc"}) tree.file(t + "/" + file);
    tree.link(t + "/a/l", "../x");
    tree.link(t + "/x/ly", "../y");
    return tree.path(t);
}

// The linked tree T, and the system's folders open at it with two free
// descriptors: every folder above the deepest is closed.
struct TwoFree {
    TempTree tree;
    const fs::path t = linkedTree(tree, "T");
    FreeDescriptors two{2, t};
    const std::unique_ptr<FolderStack> folders = systemFolders();
    const bool started = folders->openStart(t.native()).listing != nullptr;

    // Enters `name`, which must be the folder at `real`: false where it
    // cannot, for the case to stop there.
    bool enter(const char* name, const fs::path& real) {
        const OpenedFolder opened = started ? folders->openChild(name, {}) : OpenedFolder{};
        EXPECT_TRUE(opened.listing) << name << ": " << (started ? opened.error.message() : "no start folder");
        EXPECT_TRUE(sameFile(opened.identity, identityOf(real))) << name;
        return opened.listing != nullptr;
    }
};

// The walk climbs back through "..", which leads to the same folders even
// after they were moved.
TEST(Folders, ClimbBackThroughDotDotWithTwoFreeDescriptors) {
    TwoFree f;
    FolderStack* folders = f.folders.get();
    ASSERT_TRUE(f.enter("a", f.t / "a"));
    ASSERT_TRUE(f.enter("b", f.t / "a/b"));
    ASSERT_TRUE(f.enter("c", f.t / "a/b/c"));
    moveEntry(f.t / "a", f.t / "moved");
    folders->leave();
    EXPECT_EQ(queried(*folders, "fb"), "file");
    folders->leave();
    EXPECT_EQ(queried(*folders, "fa"), "file");
    folders->leave();
    EXPECT_EQ(queried(*folders, "moved"), "directory");
}

// A folder whose subfolder was reached through a link is opened again by
// its names; a failed open leaves the walk path as it was.
TEST(Folders, ReachedThroughLinksOpenedAgainByName) {
    TwoFree f;
    FolderStack* folders = f.folders.get();
    ASSERT_TRUE(f.enter("a", f.t / "a"));
    EXPECT_EQ(folders->openChild("missing", {}).result, OpenResult::gone);
    EXPECT_EQ(folders->openChild("fa", {}).result, OpenResult::file);
    ASSERT_TRUE(f.enter("l", f.t / "x"));
    ASSERT_TRUE(f.enter("ly", f.t / "y"));
    for (const auto& [name, kind] : {std::pair{"fx", "file"}, std::pair{"fa", "file"}, std::pair{"a", "directory"}}) {
        folders->leave();
        EXPECT_EQ(queried(*folders, name), kind) << name;
    }
}

// A folder replaced while its descriptor was closed is not entered, be it
// the start folder or one below.
TEST(Folders, ReplacedWhileClosedIsNotEntered) {
    for (const std::string replaced : {"T/a", "T"}) {
        SCOPED_TRACE(replaced);
        TwoFree f;
        TempTree& tree = f.tree;
        FolderStack* folders = f.folders.get();
        ASSERT_TRUE(f.enter("a", f.t / "a"));
        ASSERT_TRUE(f.enter("l", f.t / "x"));
        ASSERT_TRUE(f.enter("ly", f.t / "y"));
        moveEntry(tree.path(replaced), tree.path(replaced + "-old"));
        if (replaced == "T") {
            linkedTree(tree, "T");
        } else {
            tree.file("T/a/fa");
            tree.link("T/a/l", "../x");
        }
        folders->leave();
        EXPECT_EQ(queried(*folders, "fx"), "failed");
        const OpenedFolder opened = folders->openChild("anything", {});
        EXPECT_EQ(opened.result, OpenResult::unknown);
        EXPECT_TRUE(opened.error);
        folders->leave();
        EXPECT_EQ(queried(*folders, "fa"), "failed");
        folders->leave();
        EXPECT_EQ(queried(*folders, "a-old"), replaced == "T" ? "failed" : "directory");
    }
    // T/a replaced two levels above the deepest folder, b, which the link l
    // left closed: 4 opens, the climb from l's "..", which is not b, T once
    // by its path (closed to make room) and a query in b and one in a each
    // an open of a, found replaced; T, open again, stays among the folders
    // that may be closed and is not opened by its path a second time.
    TempTree tree;
    tree.build({"T/a/b/fb", "T/x/fx"}, {{"T/a/b/l", "../../x"}});
    FreeDescriptors two{2, tree.path("T")};
    const std::unique_ptr<FolderStack> folders = systemFolders();
    ASSERT_TRUE(folders->openStart(tree.path("T").native()).listing);
    for (const char* name : {"a", "b", "l"}) ASSERT_TRUE(folders->openChild(name, {}).listing) << name;
    moveEntry(tree.path("T/a"), tree.path("T/a-old"));
    tree.build({"T/a/b/fb"}, {{"T/a/b/l", "../../x"}});
    std::size_t opens = 0;
    countedOpens = &opens;
    folders->leave();
    EXPECT_EQ(queried(*folders, "fb"), "failed");
    folders->leave();
    EXPECT_EQ(queried(*folders, "b"), "failed");
    folders->leave();
    EXPECT_EQ(queried(*folders, "a-old"), "directory");
    countedOpens = nullptr;
    EXPECT_EQ(opens, 4u);
}

// How many descriptors this process has open, under a soft limit of 16.
std::size_t openDescriptors() {
    std::size_t count = 0;
    for (int fd = 0; fd < 16; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
    return count;
}

// The system's folders, checked after every call: at most `allowed`
// descriptors open, and leaving a folder closes at most one, opens none.
class CountedFolders final : public ForwardingFolders {
public:
    explicit CountedFolders(std::size_t allowed) : allowed_(allowed) {}
    OpenedFolder openStart(const NativeString& start) override { return checked(folders_->openStart(start)); }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        return checked(folders_->openChild(name, listed));
    }
    void leave() override {
        const std::size_t before = openDescriptors();
        folders_->leave();
        EXPECT_LE(before - openDescriptors(), 1u) << "leaving a folder, from " << before;
    }

private:
    OpenedFolder checked(OpenedFolder opened) {
        EXPECT_LE(openDescriptors(), allowed_);
        return opened;
    }
    std::size_t allowed_;
};

// A budget of 8 descriptors (half the soft limit) on 40 levels with 6 side
// folders of 3 subfolders each: never more are open, leaving a folder closes
// at most its own, and at the end none is left open. And a walk of T, whose
// links l1 and l2 lead to chains of 20 folders outside it, costs 69 opens:
// one for T and for each chain two tries for its link, one for each of the 19
// folders below it and one climb through ".." back to each of the 13 closed
// to keep 8 open. T, whose ".." no link's folder leads back to, stays open
// while any other can be closed, so it is not opened again for the second.
TEST(Folders, DescriptorsStayWithinTheBudget) {
    TempTree tree;
    const fs::path top = tree.wideChain(40);
    const fs::path linked = tree.dir("T");
    for (const std::string chain : {"c1", "c2"}) {
        tree.chain(20, "f.scr", chain);
        tree.link("T/l" + chain.substr(1), "../" + chain);
    }
    FreeDescriptors limit(-1, top, 16);
    const std::size_t before = openDescriptors();
    const FolderOpener counted = [before] { return std::make_unique<CountedFolders>(before + 8); };
    EXPECT_EQ(walk(top, counted).stats, (ScanStatistics{1000, 40, 40, 0, 0, 40}));
    std::size_t opens = 0;
    countedOpens = &opens;
    EXPECT_EQ(walk(linked, counted).stats, (ScanStatistics{41, 40, 40, 0, 0, 40}));
    countedOpens = nullptr;
    EXPECT_EQ(opens, 69u);
    EXPECT_EQ(openDescriptors(), before);
}

// A start path of exactly PATH_MAX bytes, which the system takes in no one
// call, and paths that go on past it with a separator right at the limit
// are reached in steps, also when the start folder is opened again.
TEST(Folders, StartPathsPastThePathLimit) {
    TempTree tree;
    std::vector<std::string> names(19, std::string(200, 'n'));
    const std::size_t first = PATH_MAX - tree.text().size() - 1 - 19 * 201;
    ASSERT_TRUE(first > 0 && first < 256) << tree.text();
    names.insert(names.begin(), std::string(first, 'p'));
    std::string deep = tree.text();
    int fd = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& name : names) {
        deep += "/" + name;
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    ASSERT_EQ(deep.size(), std::size_t{PATH_MAX});
    ::close(::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::symlinkat(".", fd, "self"), 0);
    struct stat st {};
    ::fstat(fd, &st);
    ::close(fd);

    // The same folder and its parent, with a run of separators across the
    // limit.
    const std::string spread = std::string(deep).replace(deep.rfind('/'), 1, 300, '/');
    const std::string parent = deep.substr(0, deep.rfind('/')) + std::string(300, '/');
    const std::pair<std::string, EntryKind> paths[] = {
        {deep, EntryKind::directory},       {deep + "/", EntryKind::directory},      {deep + "/f", EntryKind::file},
        {deep + "/f/", EntryKind::missing}, {deep + "/missing", EntryKind::missing}, {spread, EntryKind::directory},
        {parent, EntryKind::directory}};
    for (const auto& [path, kind] : paths) {
        std::error_code ec;
        EXPECT_EQ(queryPath(path, ec), kind) << path.substr(PATH_MAX - 4) << ": " << ec.message();
    }
    FreeDescriptors two(2, deep);
    const std::unique_ptr<FolderStack> folders = systemFolders();
    const OpenedFolder opened = folders->openStart(deep + "/");
    ASSERT_TRUE(opened.listing) << opened.error.message();
    EXPECT_TRUE(sameFile(opened.identity, fileIdentity(st.st_dev, 0, st.st_ino)));
    // Entered through a link, the start folder again, twice: the ".." of
    // each leads above it, so the start folder is opened again by its path.
    for (int level = 1; level <= 2; ++level) ASSERT_TRUE(folders->openChild("self", {}).listing) << level;
    folders->leave();
    folders->leave();
    EXPECT_EQ(queried(*folders, "f"), "file");
}

// A listed kind is taken as it is, without a look at the name; an unknown
// one is asked, links not followed.
TEST(Folders, ListedKinds) {
    TempTree tree;
    tree.file("f");
    tree.dir("d");
    tree.link("l", "f");
    tree.fifo("p");
    const int dir = ::open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const struct {
        unsigned char type;
        const char* name;
        EntryKind kind;
    } rows[] = {
        {DT_REG, "none", EntryKind::file},       {DT_DIR, "none", EntryKind::directory},
        {DT_LNK, "none", EntryKind::link},       {DT_FIFO, "none", EntryKind::other},
        {DT_SOCK, "none", EntryKind::other},     {DT_CHR, "none", EntryKind::other},
        {DT_BLK, "none", EntryKind::other},      {DT_UNKNOWN, "f", EntryKind::file},
        {DT_UNKNOWN, "d", EntryKind::directory}, {DT_UNKNOWN, "l", EntryKind::link},
        {DT_UNKNOWN, "p", EntryKind::other},     {DT_UNKNOWN, "none", EntryKind::missing},
    };
    for (const auto& row : rows)
        EXPECT_EQ(static_cast<int>(listedKind(dir, row.type, row.name)), static_cast<int>(row.kind))
            << "type " << static_cast<int>(row.type) << ", " << row.name;
    // A query that fails.
    EXPECT_EQ(static_cast<int>(listedKind(-1, DT_UNKNOWN, "f")), static_cast<int>(EntryKind::unknown));
    ::close(dir);
}

// A listing that the system fails part-way (a process's descriptors, once
// it has ended) says so.
TEST(Folders, ListingThatTheSystemFails) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const std::unique_ptr<FolderStack> folders = systemFolders();
    const OpenedFolder opened = folders->openStart("/proc/" + std::to_string(child) + "/fd");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(opened.listing) << opened.error.message();
    ListedEntry entry;
    std::error_code ec;
    EXPECT_FALSE(opened.listing->next(entry, ec));
    EXPECT_TRUE(ec);
}

}  // namespace
