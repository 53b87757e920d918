#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "expected.h"
#include "scanner.h"
#include "temp_tree.h"
#include "walk_support.h"

namespace fs = std::filesystem;

namespace {

// The path of `rest` below `dir`, spelled as the walk joins it, written out
// here rather than with the path type's own append.
fs::path join(const fs::path& dir, const std::string& rest) { return asPath(joined(asText(dir), rest)); }

// The result for the file `rest` below `dir`, suspicious by its extension
// (written in capitals or not).
ScanResult resultFor(const fs::path& dir, const std::string& rest) {
    std::string end = rest.substr(rest.size() - 3);
    std::transform(end.begin(), end.end(), end.begin(), [](char c) { return static_cast<char>(c | 0x20); });
    return end == "scr" ? flagged(join(dir, rest), kScreenSaverReason)
           : end == "pif" ? flagged(join(dir, rest), kOldExecutableReason)
                          : plain(join(dir, rest));
}

// The results for the files `rest` below `dir`, in walk order.
std::vector<ScanResult> resultsFor(const fs::path& dir, const std::vector<std::string>& rest) {
    std::vector<ScanResult> results;
    for (const std::string& path : inWalkOrder(rest, dir)) results.push_back(resultFor(dir, path));
    return results;
}

TEST(Walk, WorkedExampleInListingOrder) {
    TempTree tree;
    const fs::path t = tree.example("T");
    const std::vector<ScanResult> expected = resultsFor(t, {"a.txt", "s.scr", "d/p.PIF"});
    const WalkOutcome w = walk(t);
    EXPECT_EQ(w.stats, (ScanStatistics{2, 3, 3, 0, 0, 2}));
    EXPECT_EQ(w.results, expected);
    // A start path ending in a separator gets no second one.
    EXPECT_EQ(walk(t.native() + fs::path::preferred_separator).results, expected);
}

// Trees walked from their root: the files and folders (ending in "/") and
// the links with their targets that each holds, what it counts, and the
// files it reports, in walk order.
TEST(Walk, TreesAndWhatTheyCount) {
    const struct {
        const char* what;
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> links;
        ScanStatistics stats;
        std::vector<std::string> results;
    } rows[] = {
        {"empty", {}, {}, {1, 0, 0, 0, 0, 0}, {}},
        {"empty subfolders, found and nothing else", {"e0/", "e1/", "e2/", "e3/", "e4/", "e5/", "f.scr"}, {},
         {7, 1, 1, 0, 0, 1}, {"f.scr"}},
        {"links followed under their own names, a broken one passed over", {"real/x.txt"},
         {{"to_dir", "real"}, {"to_file.scr", "real/x.txt"}, {"broken", "nowhere"}}, {3, 3, 3, 0, 0, 1},
         {"real/x.txt", "to_dir/x.txt", "to_file.scr"}},
        {"links back onto the walk path refused", {"a/f.scr"},
         {{"self", "."}, {"a/up1", ".."}, {"a/up2", ".."}, {"a/b/top", "../.."}}, {3, 1, 1, 4, 0, 1}, {"a/f.scr"}},
        {"links back to the start, met below their folder and below a sibling link to it", {"a.scr", "d/b.scr"},
         {{"d/up1", ".."}, {"d/up2", ".."}, {"s", "d"}}, {3, 3, 3, 4, 0, 3}, {"a.scr", "d/b.scr", "s/b.scr"}},
#ifdef _WIN32
        // The protected folders in any letter case; configuration.ini merely
        // begins with "config".
        {"protected folders", {"$recycle.bin/x.scr", "System Volume Information/y.scr", "WINDOWS/system32/Config/SAM.scr",
          "WINDOWS/system32/configuration.ini", "WINDOWS/system32/drivers/d.scr", "a.txt"}, {},
         {4, 3, 2, 0, 4, 1}, {"a.txt", "WINDOWS/system32/drivers/d.scr"}},
        // A final dot or space is trimmed by the ordinary path rules, and
        // "aux", "con.d", "nul.scr" and "com1.pif" are taken for devices: the
        // walk takes every name as it is.
        {"names the ordinary path rules would change",
         {"trail./x.scr", "trail/y.pif", "sp /z.scr", "dots../d.scr", "aux/a.scr", "con.d/c.pif", "nul.scr", "com1.pif",
          "ok/o.scr"}, {}, {8, 9, 9, 0, 0, 9},
         {"trail./x.scr", "trail/y.pif", "sp /z.scr", "dots../d.scr", "aux/a.scr", "con.d/c.pif", "nul.scr", "com1.pif",
          "ok/o.scr"}},
#else
        // Wine lists no link that leads nowhere, so neither one to itself.
        {"a link to itself, whose kind cannot be told", {"x.pif"}, {{"self", "self"}}, {1, 1, 1, 1, 0, 1}, {"x.pif"}},
#endif
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempTree tree;
        tree.build(row.entries, row.links);
        const WalkOutcome w = walk(tree.root());
        EXPECT_EQ(w.stats, row.stats);
        EXPECT_EQ(w.results, resultsFor(tree.root(), row.results));
    }
}

// Twelve files and, `depth` levels more, four subdirectories below `dir`
// (a path relative to the tree, "" for its root).
void buildWide(TempTree& tree, const std::string& dir, int depth) {
    const std::string prefix = dir.empty() ? "" : dir + "/";
    for (int i = 0; i < 12; ++i) tree.file(prefix + "f" + std::to_string(i) + (i % 5 == 0 ? ".SCR" : ".txt"));
    for (int i = 0; depth > 0 && i < 4; ++i) buildWide(tree, prefix + "d" + std::to_string(i), depth - 1);
}

// The files in the order a plain recursive walk meets them, with whether
// some listing yields a file before its first subdirectory and some a file
// after one.
void walkOrder(const fs::path& dir, std::vector<ScanResult>& files, bool& fileBefore, bool& fileAfter) {
    bool seenDirectory = false;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.is_directory()) {
            seenDirectory = true;
            walkOrder(entry.path(), files, fileBefore, fileAfter);
        } else {
            (seenDirectory ? fileAfter : fileBefore) = true;
            const bool scr = entry.path().extension() == ".SCR";
            files.push_back({entry.path(), scr, scr ? kScreenSaverReason : ""});
        }
    }
}

// The walk analyses a directory's files as it reads the listing until the
// first subdirectory, and keeps the rest for later; the results must still
// come out depth-first in listing order.
TEST(Walk, ResultsAreDepthFirstInListingOrder) {
    TempTree tree;
    buildWide(tree, "", 3);
    std::vector<ScanResult> expected;
    bool fileBefore = false;
    bool fileAfter = false;
    walkOrder(tree.root(), expected, fileBefore, fileAfter);
    // With 16 entries in most directories both cases occur; without them
    // this test would prove little.
    ASSERT_TRUE(fileBefore && fileAfter);
    const WalkOutcome w = walk(tree.root());
    const auto n = static_cast<std::uint64_t>(expected.size());
    EXPECT_EQ(w.stats, (ScanStatistics{85, n, n, 0, 0, n / 12 * 3}));
    EXPECT_EQ(w.results, expected);
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
    const WalkOutcome w = walk(p);
    EXPECT_EQ(w.stats, (ScanStatistics{2, 2, 1, 0, 3, 1}));
    EXPECT_EQ(w.results, std::vector<ScanResult>{resultFor(p, lookalike + "/r.scr")});
}

// Protected files and subdirectories are dealt with on both paths: before a
// listing's first subdirectory and after it.
TEST(Walk, ProtectedEntriesAnywhereInTheListing) {
    TempTree tree;
    tree.file(protectedName("$Recycle.Bin") + "/hidden.scr");
    std::vector<std::string> analysed;
    for (int i = 0; i < 20; ++i) {
        tree.file(protectedName("$RECYCLE.BIN" + std::to_string(i) + ".scr"));
        analysed.push_back("sub" + std::to_string(i) + "/a.pif");
        tree.file(analysed.back());
    }
    const WalkOutcome w = walk(tree.root());
    EXPECT_EQ(w.stats, (ScanStatistics{21, 40, 20, 0, 21, 20}));
    EXPECT_EQ(w.results, resultsFor(tree.root(), analysed));
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
    const WalkOutcome w = walk(start);
    EXPECT_EQ(w.stats, (ScanStatistics{1, 2, 0, 0, 3, 0}));
    EXPECT_TRUE(w.results.empty());
}

// A start file is analysed unless it is protected, by its name or by a
// folder above it.
TEST(Walk, RegularFileStart) {
    TempTree tree;
    const fs::path file = tree.file("s.scr");
    const WalkOutcome w = walk(file);
    EXPECT_EQ(w.stats, (ScanStatistics{0, 1, 1, 0, 0, 1}));
    EXPECT_EQ(w.results, std::vector<ScanResult>{flagged(file, kScreenSaverReason)});
    for (const std::string& guarded : {protectedName("$RECYCLE.BIN.scr"), protectedName("$RECYCLE.BIN") + "/S-1-5/$R0.scr"}) {
        const WalkOutcome p = walk(tree.file(guarded));
        EXPECT_EQ(p.stats, (ScanStatistics{0, 1, 0, 0, 1, 0})) << guarded;
        EXPECT_TRUE(p.results.empty()) << guarded;
    }
}

// The start folder lists a.scr, b.txt, sub, c.pif, d.txt and e.scr in this
// order and fails after `after` of them; or the folder `sub` fails at once.
class FailingFolders final : public ForwardingFolders {
public:
    FailingFolders(bool subFails, std::size_t after) : subFails_(subFails), after_(after) {}
    OpenedFolder openStart(const NativeString& start) override {
        OpenedFolder opened = folders_->openStart(start);
        std::vector<FixedEntry> entries;
        for (const char* name : {"a.scr", "b.txt", "sub", "c.pif", "d.txt", "e.scr"})
            entries.push_back({nativeText(name), std::string(name) == "sub" ? EntryKind::directory : EntryKind::file});
        if (!subFails_) entries.resize(after_);
        opened.listing = std::make_unique<FixedListing>(entries, subFails_ ? std::error_code() : kFailure);
        return opened;
    }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        OpenedFolder opened = folders_->openChild(name, listed);
        if (subFails_) opened.listing = std::make_unique<FixedListing>(std::vector<FixedEntry>{}, kFailure);
        return opened;
    }

private:
    const std::error_code kFailure = std::make_error_code(std::errc::io_error);
    bool subFails_;
    std::size_t after_;
};

// A listing that fails part-way keeps the entries read before the failure, in
// order, and counts the failure once; the rest of that folder is not visited.
TEST(Walk, ListingThatFailsPartWay) {
    TempTree tree;
    const fs::path t = tree.dir("T");
    tree.file("T/sub/s.scr");
    const struct {
        const char* where;
        bool subFails;
        std::size_t after;
        ScanStatistics stats;
        std::vector<std::string> results;
    } rows[] = {
        {"first entry", false, 0, {1, 0, 0, 1, 0, 0}, {}},
        {"before a subdirectory", false, 2, {1, 2, 2, 1, 0, 1}, {"a.scr", "b.txt"}},
        {"after a subdirectory", false, 4, {2, 4, 4, 1, 0, 3}, {"a.scr", "b.txt", "sub/s.scr", "c.pif"}},
        {"first entry of a subdirectory", true, 0, {2, 5, 5, 1, 0, 3},
         {"a.scr", "b.txt", "c.pif", "d.txt", "e.scr"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.where);
        std::vector<ScanResult> expected;
        for (const std::string& name : row.results) expected.push_back(resultFor(t, name));
        const WalkOutcome w = walk(t, [&row] { return std::make_unique<FailingFolders>(row.subFails, row.after); });
        EXPECT_EQ(w.stats, row.stats);
        EXPECT_EQ(w.results, expected);
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
// One plain result per level of the chain, in walk order. Deep paths are
// costly to build, so the expectation stays in text. The second chain is
// some 6,000 bytes deep, past the longest path the system takes.
TEST(Walk, ChainsAreWalkedWhole) {
    for (const int depth : {1500, 3000}) {
        SCOPED_TRACE(depth);
        TempTree tree;
        const fs::path top = tree.chain(depth, "f.txt");
        const WalkOutcome w = walk(top);
        const auto n = static_cast<std::uint64_t>(depth);
        EXPECT_EQ(w.stats, (ScanStatistics{n, n, n, 0, 0, 0}));
        const std::vector<std::string> expected = chainWalkOrder(asText(top), top, depth, "f.txt");
        ASSERT_EQ(w.results.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (!(w.results[i] == ScanResult{asPath(expected[i]), false, ""})) {
                ADD_FAILURE() << "result " << i << " is " << testing::PrintToString(w.results[i]) << ", expected "
                              << expected[i];
                break;
            }
    }
}

TEST(Walk, PipesAreIgnored) {
    TempTree tree;
    const fs::path o = tree.dir("O");
    const fs::path pipe = tree.fifo("O/pipe.scr");
    tree.file("O/a.pif");
    WalkOutcome w = walk(o);
    EXPECT_EQ(w.stats, (ScanStatistics{1, 1, 1, 0, 0, 1}));
    EXPECT_EQ(w.results, std::vector<ScanResult>{resultFor(o, "a.pif")});

    w = walk(pipe);
    EXPECT_EQ(w.stats, (ScanStatistics{0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(w.results.empty());
}
#endif

}  // namespace
