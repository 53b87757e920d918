#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#endif

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>

#include "expected.h"
#include "scanner.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

// Paths compare as spelled: the walk must form them exactly.
bool operator==(const ScanResult& a, const ScanResult& b) {
    return a.path.native() == b.path.native() && a.suspicious == b.suspicious && a.reason == b.reason;
}

void PrintTo(const ScanResult& r, std::ostream* os) {
    *os << '{' << asText(r.path) << ", " << (r.suspicious ? "suspicious" : "plain") << ", \"" << r.reason << "\"}";
}

namespace {

struct Walk {
    std::vector<ScanResult> results;
    ScanStatistics stats;
};

// The same files in the same order with the same counts, whether the walk
// keeps a list or hands each file to a visitor. With `open`, only the
// visiting walk runs, on the folders that `open` makes.
Walk walk(const fs::path& start, const FolderOpener& open = nullptr) {
    ScanStatistics stats{};
    std::vector<ScanResult> results = open ? std::vector<ScanResult>{} : Scanner().scan(start, stats);
    ScanStatistics visitedStats{};
    std::vector<ScanResult> visited;
    Scanner().scan(
        start, visitedStats,
        [&visited](const ScanResultView& result) {
            EXPECT_EQ(result.text(), std::string(result.folder) + std::string(result.name));
            visited.push_back({asPath(result.text()), result.suspicious, std::string(result.reason)});
        },
        nullptr, open ? open : systemFolders);
    if (open) return {std::move(visited), visitedStats};
    EXPECT_EQ(visitedStats, stats) << "visiting and listing walks of " << asText(start);
    EXPECT_EQ(visited, results) << "visiting and listing walks of " << asText(start);
    return {std::move(results), stats};
}

// The path of `rest` below `dir`, spelled as the walk joins it, written out
// here rather than with the path type's own append.
fs::path join(const fs::path& dir, const std::string& rest) { return asPath(joined(asText(dir), rest)); }

ScanResult plain(const fs::path& file) { return {file, false, ""}; }
ScanResult flagged(const fs::path& file, const std::string& reason) { return {file, true, reason}; }

// The results of a walk of `dir`, each name's results placed where the
// listing of `dir` yields that name.
std::vector<ScanResult> inListingOrder(const fs::path& dir, const std::map<std::string, std::vector<ScanResult>>& byName) {
    std::vector<ScanResult> expected;
    std::size_t found = 0;
    for (const std::string& name : listingOrder(dir)) {
        const auto it = byName.find(name);
        if (it == byName.end()) continue;
        ++found;
        expected.insert(expected.end(), it->second.begin(), it->second.end());
    }
    EXPECT_EQ(found, byName.size()) << "a name of the expectation is not in " << asText(dir);
    return expected;
}

TEST(Walk, WorkedExampleInListingOrder) {
    TempTree tree;
    const fs::path t = tree.example("T");
    const std::vector<ScanResult> expected =
        inListingOrder(t, {{"a.txt", {plain(join(t, "a.txt"))}},
                           {"s.scr", {flagged(join(t, "s.scr"), kScreenSaverReason)}},
                           {"d", {flagged(join(t, "d/p.PIF"), kOldExecutableReason)}}});
    const Walk w = walk(t);
    EXPECT_EQ(w.stats, (ScanStatistics{2, 3, 3, 0, 0, 2}));
    EXPECT_EQ(w.results, expected);
    // A start path ending in a separator gets no second one.
    EXPECT_EQ(walk(t.native() + fs::path::preferred_separator).results, expected);
}

TEST(Walk, CountersOnlyGrow) {
    TempTree tree;
    const fs::path t = tree.example("T");
    ScanStatistics stats{7, 7, 7, 7, 7, 7};
    Scanner scanner;
    EXPECT_TRUE(scanner.scan(tree.path("missing"), stats).empty());
    EXPECT_EQ(stats, (ScanStatistics{7, 7, 7, 7, 7, 7}));
    EXPECT_EQ(scanner.scan(t, stats).size(), 3u);
    EXPECT_EQ(stats, (ScanStatistics{9, 10, 10, 7, 7, 9}));
}

TEST(Walk, EmptyDirectory) {
    TempTree tree;
    const Walk w = walk(tree.dir("empty"));
    EXPECT_EQ(w.stats, (ScanStatistics{1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(w.results.empty());
}

TEST(Walk, LinksAreFollowedUnderTheirOwnNames) {
    TempTree tree;
    const fs::path l = tree.dir("L");
    tree.file("L/real/x.txt");
    tree.link("L/to_dir", "real");  // a sibling, not on the walk path: entered
    tree.link("L/to_file.scr", "real/x.txt");
    tree.link("L/broken", "nowhere");
    const Walk w = walk(l);
    EXPECT_EQ(w.stats, (ScanStatistics{3, 3, 3, 0, 0, 1}));
    EXPECT_EQ(w.results, inListingOrder(l, {{"real", {plain(join(l, "real/x.txt"))}},
                                            {"to_dir", {plain(join(l, "to_dir/x.txt"))}},
                                            {"to_file.scr", {flagged(join(l, "to_file.scr"), kScreenSaverReason)}}}));
}

TEST(Walk, LinksBackOntoTheWalkPathAreRefused) {
    TempTree tree;
    const fs::path c = tree.dir("C");
    tree.link("C/self", ".");
    tree.file("C/a/f.scr");
    tree.link("C/a/up1", "..");
    tree.link("C/a/up2", "..");
    tree.link("C/a/b/top", "../..");
    const Walk w = walk(c);
    EXPECT_EQ(w.stats, (ScanStatistics{3, 1, 1, 4, 0, 1}));
    EXPECT_EQ(w.results, (std::vector<ScanResult>{flagged(join(c, "a/f.scr"), kScreenSaverReason)}));
}

TEST(Walk, ProtectedNamesAreSkipped) {
    TempTree tree;
    const fs::path p = tree.dir("P");
#ifdef _WIN32
    // A name cannot hold a backslash here: the folder names themselves.
    const std::string empty = "SYSTEM VOLUME INFORMATION";
    const std::string lookalike = "x$Recycle.Bin";  // no backslash before "$"
#else
    const std::string empty = "q\\WINDOWS\\System32\\Config";
    const std::string lookalike = "$Recycle.Bin";  // no backslash: an ordinary folder
#endif
    const std::string bin = protectedName("$Recycle.Bin");
    tree.file("P/" + bin + "/inner.scr");
    tree.dir("P/" + bin + "/sub");
    tree.dir("P/" + empty);
    tree.file("P/" + protectedName("System Volume Information.scr"));
    tree.file("P/" + lookalike + "/r.scr");
    const Walk w = walk(p);
    EXPECT_EQ(w.stats, (ScanStatistics{2, 2, 1, 0, 3, 1}));
    EXPECT_EQ(w.results, (std::vector<ScanResult>{flagged(join(p, lookalike + "/r.scr"), kScreenSaverReason)}));
}

TEST(Walk, ProtectedStartDirectoryIsListed) {
    TempTree tree;
    const std::string bin = protectedName("$Recycle.Bin");
    const fs::path start = tree.dir(bin);
    tree.file(bin + "/a.scr");
    tree.file(bin + "/b.txt");
    tree.file(bin + "/sub/c.scr");
#ifndef _WIN32
    tree.fifo(bin + "/pipe");
#endif
    const Walk w = walk(start);
    EXPECT_EQ(w.stats, (ScanStatistics{1, 2, 0, 0, 3, 0}));
    EXPECT_TRUE(w.results.empty());
}

TEST(Walk, RegularFileStart) {
    TempTree tree;
    const fs::path file = tree.file("s.scr");
    Walk w = walk(file);
    EXPECT_EQ(w.stats, (ScanStatistics{0, 1, 1, 0, 0, 1}));
    EXPECT_EQ(w.results, (std::vector<ScanResult>{flagged(file, kScreenSaverReason)}));

    w = walk(tree.file(protectedName("$RECYCLE.BIN.scr")));
    EXPECT_EQ(w.stats, (ScanStatistics{0, 1, 0, 0, 1, 0}));
    EXPECT_TRUE(w.results.empty());
}

// A listing that fails after a number of entries.
class FailingListing final : public Listing {
public:
    FailingListing(std::unique_ptr<Listing> listing, std::size_t left) : listing_(std::move(listing)), left_(left) {}
    bool next(ListedEntry& entry, std::error_code& ec) override {
        if (left_-- == 0) {
            ec = std::make_error_code(std::errc::io_error);
            return false;
        }
        return listing_->next(entry, ec);
    }

private:
    std::unique_ptr<Listing> listing_;
    std::size_t left_;
};

// The folder named `folder` (the start folder when empty) fails after
// `after` entries.
class FailingFolders final : public ForwardingFolders {
public:
    FailingFolders(std::string folder, std::size_t after) : folder_(std::move(folder)), after_(after) {}
    OpenedFolder openStart(const NativeString& start) override { return failing(system_->openStart(start), ""); }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        return failing(system_->openChild(name, listed), asText(NativeString(name)));
    }

private:
    OpenedFolder failing(OpenedFolder opened, const std::string& name) {
        if (opened.listing && name == folder_) opened.listing = std::make_unique<FailingListing>(std::move(opened.listing), after_);
        return opened;
    }

    std::string folder_;
    std::size_t after_;
};

// A listing that fails part-way keeps the entries read before the failure, in
// order, and counts the failure once; the rest of that folder is not visited.
TEST(Walk, ListingThatFailsPartWay) {
    TempTree tree;
    const fs::path t = tree.dir("T");
    const std::vector<std::string> files = {"a.scr", "b.txt", "c.pif", "d.txt", "e.scr"};
    for (const std::string& name : files) tree.file("T/" + name);
    tree.file("T/sub/s.scr");
    const std::vector<std::string> order = listingOrder(t);
    const std::size_t afterSub = static_cast<std::size_t>(std::find(order.begin(), order.end(), "sub") - order.begin()) + 1;
    const struct {
        const char* where;
        std::string folder;
        std::size_t after;
    } cases[] = {
        {"first entry", "", 0},
        {"middle", "", 3},
        {"after a subdirectory", "", afterSub},
        {"first entry of a subdirectory", "sub", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const bool subFails = !c.folder.empty();
        const std::size_t kept = subFails ? order.size() : c.after;
        ScanStatistics expected{1, 0, 0, 1, 0, 0};
        std::vector<ScanResult> results;
        for (std::size_t i = 0; i < kept; ++i) {
            ++expected.filesFound;
            if (order[i] == "sub") {
                ++expected.directoriesDiscovered;
                if (subFails) {
                    --expected.filesFound;  // s.scr is never seen
                    continue;
                }
                results.push_back(flagged(join(t, "sub/s.scr"), kScreenSaverReason));
            } else {
                const bool scr = order[i].back() == 'r';
                const bool pif = order[i].back() == 'f';
                results.push_back({join(t, order[i]), scr || pif, scr ? kScreenSaverReason : pif ? kOldExecutableReason : ""});
            }
        }
        expected.filesAnalyzed = expected.filesFound;
        for (const ScanResult& result : results) expected.suspiciousFound += result.suspicious;
        const Walk w = walk(t, [&c] { return std::make_unique<FailingFolders>(c.folder, c.after); });
        EXPECT_EQ(w.stats, expected);
        EXPECT_EQ(w.results, results);
    }
}

// The walk tells its progress when it starts a folder and every 4,096
// entries of one.
TEST(Walk, ProgressIsToldOfEachFolderAndOfLongListings) {
    TempTree tree;
    const fs::path t = tree.dir("T");
    for (int i = 0; i < 4100; ++i) tree.file("T/f" + std::to_string(i));
    tree.dir("T/sub");
    std::vector<std::string> told;
    ScanStatistics stats{};
    Scanner().scan(t, stats, [](const ScanResultView&) {}, [&told](std::string_view folder) { told.emplace_back(folder); });
    EXPECT_EQ(told, (std::vector<std::string>{asText(t), asText(t), joined(asText(t), "sub")}));
}

// Under Wine, where every level is slow, one long chain is enough: the
// Windows build has its own, past the longest path the system takes.
#ifndef _WIN32
// Checks the results of a walk down levels 1 to `levels` of a chain: one
// plain result per level, in walk order. Deep paths are costly to build, so
// the expectation stays in text.
void expectChainResults(const std::vector<ScanResult>& actual, const fs::path& top, int levels, const std::string& file) {
    const std::vector<std::string> expected = chainWalkOrder(asText(top), top, levels, file);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (asText(actual[i].path) != expected[i] || actual[i].suspicious || !actual[i].reason.empty()) {
            ADD_FAILURE() << "result " << i << " is " << testing::PrintToString(actual[i]) << ", expected " << expected[i];
            return;
        }
    }
}

TEST(Walk, ChainOf1500Directories) {
    TempTree tree;
    const fs::path top = tree.chain(1500, "f.txt");
    const Walk w = walk(top);
    EXPECT_EQ(w.stats, (ScanStatistics{1500, 1500, 1500, 0, 0, 0}));
    expectChainResults(w.results, top, 1500, "f.txt");
}

// Some 6,000 bytes deep, past the longest path the system takes.
TEST(Walk, ChainPastThePathLimitIsWalkedWhole) {
    TempTree tree;
    const fs::path top = tree.chain(3000, "f.txt");
    const Walk w = walk(top);
    EXPECT_EQ(w.stats, (ScanStatistics{3000, 3000, 3000, 0, 0, 0}));
    expectChainResults(w.results, top, 3000, "f.txt");
}

// Wine lists no link that leads nowhere, so neither one to itself.
TEST(Walk, LinkToItselfIsSkippedForAccess) {
    TempTree tree;
    const fs::path l = tree.dir("L");
    tree.file("L/x.pif");
    tree.link("L/self", "self");  // its kind cannot be determined
    const Walk w = walk(l);
    EXPECT_EQ(w.stats, (ScanStatistics{1, 1, 1, 1, 0, 1}));
    EXPECT_EQ(w.results, (std::vector<ScanResult>{flagged(join(l, "x.pif"), kOldExecutableReason)}));
}

TEST(Walk, PipesAreIgnored) {
    TempTree tree;
    const fs::path o = tree.dir("O");
    const fs::path pipe = tree.fifo("O/pipe.scr");
    tree.file("O/a.pif");
    Walk w = walk(o);
    EXPECT_EQ(w.stats, (ScanStatistics{1, 1, 1, 0, 0, 1}));
    EXPECT_EQ(w.results, (std::vector<ScanResult>{flagged(join(o, "a.pif"), kOldExecutableReason)}));

    w = walk(pipe);
    EXPECT_EQ(w.stats, (ScanStatistics{0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(w.results.empty());
}

// The folders through their descriptors. Only POSIX holds folders open.

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

FileIdentity identityOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return fileIdentity(st.st_dev, 0, st.st_ino);
}

void moveEntry(const fs::path& from, const fs::path& to) {
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from;
}

// What `name` is in the deepest folder, or "failed" when that cannot be told.
std::string queried(FolderPath& folders, const std::string& name) {
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
// descriptors: every folder above the deepest is given up.
struct TwoFree {
    TempTree tree;
    const fs::path t = linkedTree(tree, "T");
    FreeDescriptors two{2, t};
    const std::unique_ptr<FolderPath> folders = systemFolders();
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
    FolderPath* folders = f.folders.get();
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
    FolderPath* folders = f.folders.get();
    ASSERT_TRUE(f.enter("a", f.t / "a"));
    OpenedFolder failed = folders->openChild("missing", {});
    EXPECT_EQ(failed.kind, EntryKind::missing);
    failed = folders->openChild("fa", {});
    EXPECT_EQ(failed.kind, EntryKind::file);
    EXPECT_FALSE(failed.listing);
    ASSERT_TRUE(f.enter("l", f.t / "x"));
    ASSERT_TRUE(f.enter("ly", f.t / "y"));
    for (const auto& [name, kind] : {std::pair{"fx", "file"}, std::pair{"fa", "file"}, std::pair{"a", "directory"}}) {
        folders->leave();
        EXPECT_EQ(queried(*folders, name), kind) << name;
    }
}

// A folder replaced while its descriptor was given up is not entered, be it
// the start folder or one below.
TEST(Folders, ReplacedWhileGivenUpIsNotEntered) {
    for (const std::string replaced : {"T/a", "T"}) {
        SCOPED_TRACE(replaced);
        TwoFree f;
        TempTree& tree = f.tree;
        FolderPath* folders = f.folders.get();
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
        EXPECT_FALSE(opened.listing);
        EXPECT_TRUE(opened.error);
        folders->leave();
        EXPECT_EQ(queried(*folders, "fa"), "failed");
        folders->leave();
        EXPECT_EQ(queried(*folders, "a-old"), replaced == "T" ? "failed" : "directory");
    }
}

// How many descriptors this process holds, under a soft limit of 16.
std::size_t heldDescriptors() {
    std::size_t held = 0;
    for (int fd = 0; fd < 16; ++fd) held += ::fcntl(fd, F_GETFD) != -1;
    return held;
}

// The system's folders, checked after every call: at most `allowed`
// descriptors held, and leaving a folder gives back at most one, takes none.
class CountedFolders final : public ForwardingFolders {
public:
    explicit CountedFolders(std::size_t allowed) : allowed_(allowed) {}
    OpenedFolder openStart(const NativeString& start) override { return checked(system_->openStart(start)); }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        return checked(system_->openChild(name, listed));
    }
    void leave() override {
        const std::size_t held = heldDescriptors();
        system_->leave();
        EXPECT_LE(held - heldDescriptors(), 1u) << "leaving a folder, from " << held;
    }

private:
    OpenedFolder checked(OpenedFolder opened) {
        EXPECT_LE(heldDescriptors(), allowed_);
        return opened;
    }
    std::size_t allowed_;
};

// A budget of 8 descriptors (half the soft limit) on 40 levels with 6 side
// folders of 3 subfolders each: never more are held, leaving a folder gives
// back at most its own, and at the end none is left.
TEST(Folders, DescriptorsStayWithinTheBudget) {
    TempTree tree;
    const fs::path top = tree.wideChain(40);
    FreeDescriptors limit(-1, top, 16);
    const std::size_t before = heldDescriptors();
    const Walk w = walk(top, [before] { return std::make_unique<CountedFolders>(before + 8); });
    EXPECT_EQ(w.stats, (ScanStatistics{1000, 40, 40, 0, 0, 40}));
    EXPECT_EQ(heldDescriptors(), before);
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
    const std::unique_ptr<FolderPath> folders = systemFolders();
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
    const std::unique_ptr<FolderPath> folders = systemFolders();
    const OpenedFolder opened = folders->openStart("/proc/" + std::to_string(child) + "/fd");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(opened.listing) << opened.error.message();
    ListedEntry entry;
    std::error_code ec;
    EXPECT_FALSE(opened.listing->next(entry, ec));
    EXPECT_TRUE(ec);
}
#endif

}  // namespace
