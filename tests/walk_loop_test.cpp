// Loops: a directory that is already on the walk path is not entered again,
// whether the walk meets it through a link, as a plain subdirectory below a
// link, or as a folder mounted below itself. Below links each directory is
// walked once, however many links lead to it.
#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected.h"
#include "scanner.h"
#include "temp_tree.h"
#include "walk_support.h"

namespace fs = std::filesystem;

namespace {

// Folders that give no identity anywhere, as some network and user-mode
// file systems give none.
class IdentitylessFolders final : public ForwardingFolders {
public:
    using ForwardingFolders::ForwardingFolders;
    OpenedFolder openStart(const NativeString& start) override { return stripped(folders_->openStart(start)); }
    OpenedFolder openChild(NativeView name, const FileIdentity&) override {
        return stripped(folders_->openChild(name, {}));
    }
    EntryKind query(NativeView name, std::error_code& ec, FileIdentity*) override {
        return folders_->query(name, ec, nullptr);
    }
    FileIdentity identity(std::size_t) override { return {}; }

private:
    static OpenedFolder stripped(OpenedFolder opened) {
        opened.identity = {};
        if (!opened.listing) return opened;
        std::error_code end;
        std::vector<FixedEntry> entries = readAll(*opened.listing, end);
        for (FixedEntry& entry : entries) entry.identity = {};
        opened.listing = std::make_unique<FixedListing>(std::move(entries), end);
        return opened;
    }
};

// The walk of `start`, in the system's listing order or in its reverse (so
// that a case run both ways meets every two entries of a folder in both
// orders), with or without identities: its counters, and its results' paths
// below `start` with "/" for separators, which must come in walk order. A
// walk that goes on past 1,000 files or folders, far more than any tree here
// holds, is cut short and fails the test.
std::vector<std::string> walkPaths(const fs::path& start, ScanStatistics& stats, bool reversed = false,
                                   bool identityless = false) {
    struct Endless {};
    std::vector<std::string> paths;
    std::size_t folders = 0;
    const FolderOpener open = [reversed, identityless]() -> std::unique_ptr<FolderStack> {
        std::unique_ptr<FolderStack> folders = reversed ? std::make_unique<ReversedFolders>() : systemFolders();
        return identityless ? std::make_unique<IdentitylessFolders>(std::move(folders)) : std::move(folders);
    };
    try {
        Scanner().scan(start, stats, [&](const ScanResultView& result) {
            if (paths.size() == 1000) throw Endless{};
            paths.push_back(result.path().lexically_relative(start).generic_string());
        }, [&folders](std::string_view) { if (++folders == 1000) throw Endless{}; }, open);
    } catch (const Endless&) {
        ADD_FAILURE() << "the walk of " << asText(start) << " does not end";
    }
    const WalkOrder order{start, reversed};
    for (std::size_t i = 1; i < paths.size(); ++i)
        EXPECT_TRUE(order(paths[i - 1], paths[i])) << paths[i - 1] << " before " << paths[i];
    return paths;
}

// A tree of folders holding files, and links: each link's path and the target
// it holds, all relative to the tree's root.
struct LinkedTree {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::pair<std::string, std::string>> links;
    std::string start;  // where the walk starts
    ScanStatistics stats;
    // The analysed files' names, in any order: each folder's own file names
    // say how often it was walked.
    std::vector<std::string> names;
    bool identityless = false;  // walked through folders that give no identity
};

// Two links in each of the 31 folders n0 ... n30 lead to the next, and with
// `nested` each folder also holds the next as its plain subfolder; each
// holds one .scr of its own. Followed link by link, folder n30 would be
// walked 2^30 times.
LinkedTree linkBomb(bool nested) {
    LinkedTree tree{nested ? "bomb of 30 levels, each also the plain subfolder of the one before"
                           : "bomb of 30 levels of links",
                    {}, {}, "n0", {}, {}};
    std::string folder = "n0";
    for (int i = 0; i <= 30; ++i) {
        const std::string next = "n" + std::to_string(i + 1);
        tree.files.push_back(folder + "/f" + std::to_string(i) + ".scr");
        tree.names.push_back("f" + std::to_string(i) + ".scr");
        if (i < 30) {
            const std::string target = nested ? next : "../" + next;
            tree.links.push_back({folder + "/a", target});
            tree.links.push_back({folder + "/b", target});
        }
        folder = nested ? folder + "/" + next : next;
    }
    if (nested) {
        // Plainly n0 ... n30, and n1 ... n30 once more below a link. The 59
        // walks of n0 ... n29 meet 177 ways to the next folder and enter 60.
        const std::vector<std::string> again(tree.names.begin() + 1, tree.names.end());
        tree.names.insert(tree.names.end(), again.begin(), again.end());
        tree.stats = {178, 61, 61, 0, 0, 61};
    } else {
        tree.stats = {61, 31, 31, 0, 0, 31};
    }
    return tree;
}

// A folder on the walk path is not entered again, and below links each
// folder is walked once, whatever the listing order: met again there,
// through a link or as a plain subfolder, it counts once as a folder found.
// The tree reached without links is walked as well.
TEST(WalkLoops, BelowLinksEachFolderIsWalkedOnce) {
    const std::vector<LinkedTree> cases = {
        // Entered: T, a, a/b, lb, lb/up. Refused as loops: a/b/up (a) and
        // lb/up/b (lb), whichever of a and lb comes first.
        {"below a link, a plain subfolder that is on the walk path", {"a/f.scr", "a/b/g.txt"},
         {{"a/b/up", ".."}, {"lb", "a/b"}}, "", {5, 4, 4, 2, 0, 2}, {"g.txt", "f.scr", "g.txt", "f.scr"}},
        {"a plain folder and two links to it: the folder and the first link walked, the second found",
         {"s/x.scr"}, {{"l1", "s"}, {"l2", "s"}}, "", {4, 2, 2, 0, 0, 2}, {"x.scr", "x.scr"}},
        {"two links to a folder outside the tree: the second found, not walked",
         {"s/x.scr", "top/t.txt"}, {{"top/l1", "../s"}, {"top/l2", "../s"}}, "top", {3, 2, 2, 0, 0, 1},
         {"t.txt", "x.scr"}},
        {"a sibling reached below two links: walked below the first",
         {"a/a.txt", "s/x.pif"}, {{"la", "a"}, {"a/ls", "../s"}}, "", {6, 4, 4, 0, 0, 2},
         {"a.txt", "a.txt", "x.pif", "x.pif"}},
        {"a plain subfolder below a link, reached again through another link",
         {"s/sub/y.scr"}, {{"l1", "s"}, {"l2", "s/sub"}}, "", {6, 2, 2, 0, 0, 2}, {"y.scr", "y.scr"}},
        // A links to B1 and B2, each of them to C1 and C2, each of those to
        // D1 and D2: six of the ten links are walked.
        {"a fan of links three levels deep",
         {"A/a.scr", "B1/b1.scr", "B2/b2.scr", "C1/c1.scr", "C2/c2.scr", "D1/d1.scr", "D2/d2.scr"},
         {{"A/x", "../B1"}, {"A/y", "../B2"}, {"B1/x", "../C1"}, {"B1/y", "../C2"}, {"B2/x", "../C1"},
          {"B2/y", "../C2"}, {"C1/x", "../D1"}, {"C1/y", "../D2"}, {"C2/x", "../D1"}, {"C2/y", "../D2"}},
         "A", {11, 7, 7, 0, 0, 7},
         {"a.scr", "b1.scr", "b2.scr", "c1.scr", "c2.scr", "d1.scr", "d2.scr"}},
        linkBomb(false),
        linkBomb(true),
        // Where no identity can be had, a link below a link is not followed;
        // a plain subfolder below a link is.
        {"no identities: a link to its own folder, followed once", {"f.scr"}, {{"up", "."}}, "", {2, 2, 2, 1, 0, 2},
         {"f.scr", "f.scr"}, true},
        {"no identities: a plain subfolder below a link, walked with its files", {"s/sub/x.scr"}, {{"l", "s"}}, "",
         {5, 2, 2, 0, 0, 2}, {"x.scr", "x.scr"}, true},
        {"no identities: a fan of two links two levels deep", {"n1/g.scr", "n2/h.scr"},
         {{"n0/a", "../n1"}, {"n0/b", "../n1"}, {"n1/a", "../n2"}, {"n1/b", "../n2"}}, "n0", {3, 2, 2, 4, 0, 2},
         {"g.scr", "g.scr"}, true},
    };
    for (const LinkedTree& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        tree.build(c.files, c.links);

        for (const bool reversed : {false, true}) {
            ScanStatistics stats{};
            std::vector<std::string> names;
            for (const std::string& path : walkPaths(tree.path(c.start), stats, reversed, c.identityless))
                names.push_back(path.substr(path.rfind('/') + 1));
            EXPECT_EQ(stats, c.stats) << reversed;
            EXPECT_TRUE(std::is_permutation(names.begin(), names.end(), c.names.begin(), c.names.end()))
                << reversed << ": " << testing::PrintToString(names);
        }
    }
}

#ifndef _WIN32
// Mounts `from` at `at` in a mount namespace of the test's own (and a user
// namespace when the test is not root); false, with errno set, where it cannot.
bool bindInOwnNamespace(const std::string& from, const std::string& at) {
    const int namespaces = ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
    return ::unshare(namespaces) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(from.c_str(), at.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

// A folder bind-mounted below itself leads back without any link.
TEST(WalkLoops, FolderMountedBelowItselfIsNotEnteredAgain) {
    TempTree tree;
    tree.file("a/x.scr");
    const std::string a = tree.path("a").native();
    const std::string m = tree.dir("a/b/m").native();
    if (!bindInOwnNamespace(a, m)) GTEST_SKIP() << "no mount namespace for a bind mount: " << std::strerror(errno);

    ScanStatistics stats{};
    const std::vector<std::string> paths = walkPaths(tree.root(), stats);
    ::umount2(m.c_str(), MNT_DETACH);

    // Entered: T, T/a and T/a/b; T/a/b/m is T/a again.
    EXPECT_EQ(stats, (ScanStatistics{3, 1, 1, 1, 0, 1}));
    EXPECT_EQ(paths, std::vector<std::string>{"a/x.scr"});
}

// A kernel's view met below the start, through a link or as a mount point,
// is a system area that stays closed; as the start folder it is listed.
TEST(KernelViews, BelowTheStartAreSystemAreas) {
    TempTree tree;
    tree.file("d/x.scr");
    tree.link("self", "/proc/self");
    const std::string m = tree.dir("m").native();
    if (::access("/proc/self/", R_OK | X_OK) != 0 || !bindInOwnNamespace("/proc", m))
        GTEST_SKIP() << "/proc cannot be read or mounted here: " << std::strerror(errno);
    // Unmounted before the tree is removed, which would change the modes of what it holds.
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        m.c_str(), [](const char* at) { ::umount2(at, MNT_DETACH); });
    EXPECT_TRUE(systemFolders()->openStart("/proc").listing);
    const std::unique_ptr<FolderStack> folders = systemFolders();
    ASSERT_TRUE(folders->openStart(tree.root().native()).listing);
    for (const char* name : {"self", "m"}) {
        const OpenedFolder o = folders->openChild(name, {});
        EXPECT_EQ(o.result, OpenResult::systemArea) << name;
    }
    ScanStatistics stats{};
    EXPECT_EQ(walkPaths(tree.root(), stats), std::vector<std::string>{"d/x.scr"});
    EXPECT_EQ(stats, (ScanStatistics{2, 1, 1, 0, 2, 1}));
}
#endif

// An identity is known only when the system answered a file ID that means
// something: some file servers answer 0 or all ones for every file.
TEST(WalkLoops, MeaninglessFileIdsAreUnknownAndMatchNothing) {
    const std::uint64_t ones = ~std::uint64_t{0};
    const struct {
        std::uint64_t high, low;
        bool known;
    } cases[] = {
        {0, 0, false}, {0, ones, false}, {ones, ones, false}, {0, 1, true}, {1, 0, true}, {ones, 0, true}, {0, ones - 1, true},
    };
    for (const auto& c : cases) {
        const FileIdentity id = fileIdentity(7, c.high, c.low);
        EXPECT_EQ(id.known, c.known) << c.high << ":" << c.low;
        EXPECT_EQ(sameFile(id, fileIdentity(7, c.high, c.low)), c.known) << c.high << ":" << c.low;
    }
    EXPECT_FALSE(sameFile(fileIdentity(7, 0, 5), fileIdentity(8, 0, 5)));
}

}  // namespace
