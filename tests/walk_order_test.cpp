// The walk analyses a directory's files as it reads the listing until the
// first subdirectory, and keeps the rest for later; the results must still
// come out depth-first in listing order.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scanner.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

// Twelve files and, `depth` levels more, four subdirectories below `dir`
// (a path relative to the tree, "" for its root).
void build(TempTree& tree, const std::string& dir, int depth) {
    const std::string prefix = dir.empty() ? "" : dir + "/";
    for (int i = 0; i < 12; ++i) tree.file(prefix + "f" + std::to_string(i) + (i % 5 == 0 ? ".SCR" : ".txt"));
    if (depth == 0) return;
    for (int i = 0; i < 4; ++i) {
        const std::string sub = prefix + "d" + std::to_string(i);
        tree.dir(sub);
        build(tree, sub, depth - 1);
    }
}

// The files in the order a plain recursive walk meets them, with whether
// some listing yields a file before its first subdirectory and some a file
// after one.
void walkOrder(const fs::path& dir, std::vector<fs::path>& files, bool& fileBefore, bool& fileAfter) {
    bool seenDirectory = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.is_directory()) {
            seenDirectory = true;
            walkOrder(entry.path(), files, fileBefore, fileAfter);
        } else {
            (seenDirectory ? fileAfter : fileBefore) = true;
            files.push_back(entry.path());
        }
    }
}

TEST(WalkOrder, ResultsAreDepthFirstInListingOrder) {
    TempTree tree;
    build(tree, "", 3);
    std::vector<fs::path> expected;
    bool fileBefore = false;
    bool fileAfter = false;
    walkOrder(tree.root(), expected, fileBefore, fileAfter);
    // With 16 entries in most directories both cases occur; without them
    // this test would prove little.
    ASSERT_TRUE(fileBefore && fileAfter);

    ScanStatistics stats{};
    const std::vector<ScanResult> results = Scanner().scan(tree.root(), stats);

    ASSERT_EQ(results.size(), expected.size());
    std::uint64_t suspicious = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].path.native(), expected[i].native()) << "at " << i;
        EXPECT_EQ(results[i].suspicious, expected[i].extension() == ".SCR") << "at " << i;
        if (results[i].suspicious) ++suspicious;
    }
    EXPECT_EQ(stats.directoriesDiscovered, 1u + 4u + 16u + 64u);
    EXPECT_EQ(stats.filesFound, expected.size());
    EXPECT_EQ(stats.filesAnalyzed, expected.size());
    EXPECT_EQ(stats.suspiciousFound, suspicious);
    EXPECT_EQ(stats.accessSkipped, 0u);
    EXPECT_EQ(stats.protectedSkipped, 0u);
}

// Protected files and subdirectories are dealt with on both paths: before a
// listing's first subdirectory and after it.
TEST(WalkOrder, ProtectedEntriesAnywhereInTheListing) {
    TempTree tree;
    tree.file(protectedName("$Recycle.Bin") + "/hidden.scr");
    for (int i = 0; i < 20; ++i) {
        tree.file(protectedName("$RECYCLE.BIN" + std::to_string(i) + ".scr"));
        tree.file("sub" + std::to_string(i) + "/a.pif");
    }
    ScanStatistics stats{};
    const std::vector<ScanResult> results = Scanner().scan(tree.root(), stats);
    EXPECT_EQ(results.size(), 20u);
    EXPECT_EQ(stats.directoriesDiscovered, 21u);
    EXPECT_EQ(stats.filesFound, 40u);
    EXPECT_EQ(stats.protectedSkipped, 21u);
    EXPECT_EQ(stats.filesAnalyzed, 20u);
    EXPECT_EQ(stats.suspiciousFound, 20u);
    for (const ScanResult& result : results) EXPECT_EQ(result.path.filename(), "a.pif");
}

// A subdirectory whose listing yields nothing takes the status query; an
// empty one is still counted as discovered and adds nothing else.
TEST(WalkOrder, EmptySubdirectoriesAreCounted) {
    TempTree tree;
    for (int i = 0; i < 10; ++i) tree.dir("empty" + std::to_string(i));
    const fs::path file = tree.file("f.scr");
    ScanStatistics stats{};
    const std::vector<ScanResult> results = Scanner().scan(tree.root(), stats);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].path.native(), file.native());
    EXPECT_EQ(stats.directoriesDiscovered, 11u);
    EXPECT_EQ(stats.accessSkipped, 0u);
}

}  // namespace
