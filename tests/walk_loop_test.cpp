// Loops: a directory that is already on the walk path is not entered again,
// whether the walk meets it through a link, as a plain subdirectory below a
// link, or as a folder mounted below itself.
#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected.h"
#include "scanner.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

// The walk of `start`: its counters, and its results' paths below `start`
// with "/" for separators, sorted.
std::vector<std::string> walkSorted(const fs::path& start, ScanStatistics& stats) {
    std::vector<std::string> paths;
    for (const ScanResult& result : Scanner().scan(start, stats))
        paths.push_back(result.path.lexically_relative(start).generic_string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// T/a/f.scr, T/a/b/g.txt, T/a/b/up -> T/a, and T/lb -> T/a/b. Below T/lb, the
// link up leads to T/a, whose plain subdirectory b is T/lb again.
TEST(WalkLoops, PlainSubdirectoryBelowALinkThatIsOnTheWalkPathIsNotEntered) {
    TempTree tree;
    tree.file("a/f.scr");
    tree.file("a/b/g.txt");
    tree.link("a/b/up", "..");
    tree.link("lb", "a/b");

    ScanStatistics stats{};
    const std::vector<std::string> paths = walkSorted(tree.root(), stats);

    // Entered: T, T/a, T/a/b, T/lb, T/lb/up. Refused as loops: T/a/b/up (T/a)
    // and T/lb/up/b (T/lb).
    EXPECT_EQ(stats, (ScanStatistics{5, 4, 4, 2, 0, 2}));
    EXPECT_EQ(paths, (std::vector<std::string>{"a/b/g.txt", "a/f.scr", "lb/g.txt", "lb/up/f.scr"}));
}

// Links to a sibling, not to an ancestor, are still followed below a link.
TEST(WalkLoops, SiblingsBelowALinkAreStillEntered) {
    TempTree tree;
    tree.dir("a");
    tree.file("s/x.pif");
    tree.link("la", "a");
    tree.link("a/ls", "../s");

    ScanStatistics stats{};
    const std::vector<std::string> paths = walkSorted(tree.root(), stats);

    // T, T/a, T/a/ls, T/s, T/la, T/la/ls: x.pif is met three times.
    EXPECT_EQ(stats, (ScanStatistics{6, 3, 3, 0, 0, 3}));
    EXPECT_EQ(paths, (std::vector<std::string>{"a/ls/x.pif", "la/ls/x.pif", "s/x.pif"}));
}

#ifndef _WIN32
// A folder bind-mounted below itself leads back without any link. The mount
// is made in a mount namespace of the test's own (and a user namespace when
// the test is not root); where none can be made, the case is skipped.
TEST(WalkLoops, FolderMountedBelowItselfIsNotEnteredAgain) {
    TempTree tree;
    tree.file("a/x.scr");
    const std::string a = tree.path("a").native();
    const std::string m = tree.dir("a/b/m").native();
    const int namespaces = ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
    if (::unshare(namespaces) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(a.c_str(), m.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no mount namespace for a bind mount: " << std::strerror(errno);

    ScanStatistics stats{};
    const std::vector<std::string> paths = walkSorted(tree.root(), stats);
    ::umount2(m.c_str(), MNT_DETACH);

    // Entered: T, T/a and T/a/b; T/a/b/m is T/a again.
    EXPECT_EQ(stats, (ScanStatistics{3, 1, 1, 1, 0, 1}));
    EXPECT_EQ(paths, std::vector<std::string>{"a/x.scr"});
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
