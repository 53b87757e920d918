// Loops through links: a directory that is already on the walk path is not
// entered again, even when the walk meets it as a plain subdirectory.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening_support.h"
#include "scanner.h"

namespace {

using namespace hardening;

// T/a/f.scr, T/a/b/g.txt, T/a/b/up -> T/a, and T/lb -> T/a/b. Below T/lb, the
// link up leads to T/a, whose plain subdirectory b is T/lb again.
TEST(WalkLoops, PlainSubdirectoryBelowALinkThatIsOnTheWalkPathIsNotEntered) {
    ScratchDir scratch("dravelon-loop");
    const fs::path t = scratch.path();
    fs::create_directories(t / "a" / "b");
    makeFile(t / "a" / "f.scr");
    makeFile(t / "a" / "b" / "g.txt");
    fs::create_directory_symlink(t / "a", t / "a" / "b" / "up");
    fs::create_directory_symlink(t / "a" / "b", t / "lb");

    Scanner scanner;
    ScanStatistics stats{};
    const std::vector<ScanResult> results = scanner.scan(t, stats);

    // Entered: T, T/a, T/a/b, T/lb, T/lb/up. Refused as loops: T/a/b/up (T/a)
    // and T/lb/up/b (T/lb).
    EXPECT_EQ(stats.directoriesDiscovered, 5u);
    EXPECT_EQ(stats.accessSkipped, 2u);
    EXPECT_EQ(stats.filesFound, 4u);
    EXPECT_EQ(stats.filesAnalyzed, 4u);
    EXPECT_EQ(stats.suspiciousFound, 2u);
    EXPECT_EQ(stats.protectedSkipped, 0u);
    std::vector<std::string> paths;
    for (const ScanResult& result : results) paths.push_back(result.path.lexically_relative(t).string());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"a/b/g.txt", "a/f.scr", "lb/g.txt", "lb/up/f.scr"}));
}

// Links to a sibling, not to an ancestor, are still followed below a link.
TEST(WalkLoops, SiblingsBelowALinkAreStillEntered) {
    ScratchDir scratch("dravelon-loop");
    const fs::path t = scratch.path();
    fs::create_directories(t / "a");
    fs::create_directories(t / "s");
    makeFile(t / "s" / "x.pif");
    fs::create_directory_symlink(t / "a", t / "la");
    fs::create_directory_symlink(t / "s", t / "a" / "ls");

    Scanner scanner;
    ScanStatistics stats{};
    const std::vector<ScanResult> results = scanner.scan(t, stats);

    // T, T/a, T/a/ls, T/s, T/la, T/la/ls: x.pif is met three times.
    EXPECT_EQ(stats.directoriesDiscovered, 6u);
    EXPECT_EQ(stats.accessSkipped, 0u);
    EXPECT_EQ(stats.filesAnalyzed, 3u);
    EXPECT_EQ(stats.suspiciousFound, 3u);
    EXPECT_EQ(results.size(), 3u);
}

}  // namespace
