// Loops through links: a directory that is already on the walk path is not
// entered again, even when the walk meets it as a plain subdirectory.
#include <algorithm>
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

}  // namespace
