// Runs the built program on real trees and compares its standard output and
// standard error byte for byte, and its exit status.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "expected.h"
#include "run_program.h"
#include "temp_tree.h"
#include "walk_support.h"

namespace fs = std::filesystem;

namespace {

// Trees walked end to end: the files and folders (ending in "/") and the
// links with their targets that T holds, the arguments (T, relative to the
// working directory, and any more), the counters, and the suspicious files,
// listed in walk order.
TEST(Program, Reports) {
    const struct {
        const char* what;
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> links;
        std::vector<std::string> args;
        ScanStatistics stats;
        std::vector<std::string> suspicious;
    } rows[] = {
        {"the worked example", {"a.txt", "s.scr", "d/p.PIF"}, {}, {"T"}, {2, 3, 3, 0, 0, 2}, {"s.scr", "d/p.PIF"}},
        {"an empty folder", {}, {}, {"T"}, {1, 0, 0, 0, 0, 0}, {}},
        {"none suspicious", {"a.txt", "d/b.scr.bak"}, {}, {"T"}, {2, 2, 2, 0, 0, 0}, {}},
        {"only the first argument counts", {"x.PIF"}, {}, {"T", "missing", "--help"}, {1, 1, 1, 0, 0, 1}, {"x.PIF"}},
        {"two links to the parent finish at once", {"a/f.scr"}, {{"a/up1", ".."}, {"a/up2", ".."}}, {"T"},
         {2, 1, 1, 2, 0, 1}, {"a/f.scr"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempTree tree;
        tree.dir("T");
        std::vector<std::string> entries;
        std::vector<std::pair<std::string, std::string>> links;
        for (const std::string& entry : row.entries) entries.push_back("T/" + entry);
        for (const auto& [at, target] : row.links) links.push_back({"T/" + at, target});
        tree.build(entries, links);
        std::vector<SuspiciousLine> lines;
        for (const std::string& file : inWalkOrder(row.suspicious, tree.path("T")))
            lines.push_back({joined("T", file), file.back() == 'r' ? kScreenSaverReason : kOldExecutableReason});
        EXPECT_EQ(runDravelon(row.args, inDirectory(tree.root())), (Outcome{0, report("T", row.stats, lines), ""}));
    }
}

// Nothing expands wildcards in the argument, and an option is just a name. A
// file named with a separator after it is not found.
TEST(Program, StartPathThatDoesNotExist) {
    TempTree tree;
    tree.file("s.scr");
    for (const std::string& arg : {tree.text("missing"), tree.text("*.scr"), std::string("--help"), std::string(),
                                   joined(tree.text("s.scr"), ""), tree.text("s.scr") + "/"}) {
        SCOPED_TRACE("argument \"" + arg + "\"");
        EXPECT_EQ(runDravelon({arg}, inDirectory(tree.root())), (Outcome{1, head(arg), errorLine(kNotFound)}));
    }
}

TEST(Program, StartsThatAreNotDirectories) {
    TempTree tree;
    const std::string file = asText(tree.file("s.pif"));
    const std::string guarded = asText(tree.file(protectedName("$Recycle.Bin.scr")));
    EXPECT_EQ(runDravelon({file}), (Outcome{0, report(file, {0, 1, 1, 0, 0, 1}, {{file, kOldExecutableReason}}), ""}));
    EXPECT_EQ(runDravelon({guarded}), (Outcome{0, report(guarded, {0, 1, 0, 0, 1, 0}, {}), ""}));
#ifndef _WIN32
    const std::string pipe = tree.fifo("pipe");
    EXPECT_EQ(runDravelon({pipe}), (Outcome{0, report(pipe, {0, 0, 0, 0, 0, 0}, {}), ""}));
#endif
}

TEST(Program, NoArgumentScansTheWorkingDirectory) {
    TempTree tree;
    std::vector<std::string> folders = {asText(fs::canonical(tree.dir("w")))};
    tree.file("w/x.scr");
#ifndef _WIN32
    // Some 6,000 bytes, past the longest path the system takes in one call.
    const std::string name(200, 'w');
    tree.chain(30, "x.scr", name);
    folders.push_back(asText(fs::canonical(tree.root())));
    for (int level = 0; level < 30; ++level) folders.back() = joined(folders.back(), name);
#endif
    for (const std::string& cwd : folders) {
        SCOPED_TRACE(cwd.size());
        EXPECT_EQ(runDravelon({}, inDirectory(asPath(cwd))),
                  (Outcome{0, report(cwd, {1, 1, 1, 0, 0, 1}, {{joined(cwd, "x.scr"), kScreenSaverReason}}), ""}));
    }
}

// The limits a deep walk is tried under (Windows has no such limit to set):
// 16 descriptors, and 16 of which the program holds 14 from its start. A
// sanitizer build checks the dynamic type of a virtual call, once for each
// type, through a pipe of its own, which two free descriptors leave no room
// for: it is tried under the first limit only.
std::vector<RunOptions> fewDescriptors() {
    RunOptions few;
#if defined(_WIN32)
    return {few};
#elif defined(__SANITIZE_ADDRESS__)
    few.maxOpenFiles = 16;
    return {few};
#else
    few.maxOpenFiles = 16;
    RunOptions open = few;
    open.openDescriptors = 11;
    return {few, open};
#endif
}

// A chain of `depth` directories named `name`, each holding a suspicious
// file, walked with few descriptors: every level and every file is reported.
void expectChainWalked(int depth, const std::string& name = "d") {
    TempTree tree;
    const fs::path top = tree.chain(depth, "f.scr", name);
    const std::string start = asText(top);
    std::vector<SuspiciousLine> lines;
    for (const std::string& file : chainWalkOrder(start, top, depth, "f.scr", name)) lines.push_back({file, kScreenSaverReason});
    const std::uint64_t n = static_cast<std::uint64_t>(depth);
    const std::vector<RunOptions> few = fewDescriptors();
    for (std::size_t i = 0; i < few.size(); ++i)
        EXPECT_EQ(runDravelon({start}, few[i]), (Outcome{0, report(start, {n, n, n, 0, 0, n}, lines), ""})) << i;
}

#ifdef _WIN32
// Some 40,400 characters deep, past the 32,767 of the longest path the system
// takes (and the 4,096 bytes of a Linux path, where Wine stops).
TEST(Program, ChainPastTheLongestPath) { expectChainWalked(400, std::string(100, 'n')); }
#else
TEST(Program, ChainOf1500DirectoriesWithFewDescriptors) { expectChainWalked(1500); }

// 20,000 bytes deep, five times the longest path the system takes.
TEST(Program, ChainPastThePathLimitWithFewDescriptors) { expectChainWalked(200, std::string(99, 'n')); }

// Walks `start` with descriptors to spare, expecting `counters`, and again
// with few: the reports must be the same.
void expectSameWithFewDescriptors(const std::string& start, const ScanStatistics& counters) {
    const Outcome all = runDravelon({start});
    std::string problem;
    const std::optional<ParsedReport> parsed = parseReport(all.out, start, problem);
    ASSERT_TRUE(parsed) << problem;
    EXPECT_EQ(parsed->counters, counters);
    const std::vector<RunOptions> few = fewDescriptors();
    for (std::size_t i = 0; i < few.size(); ++i) EXPECT_EQ(runDravelon({start}, few[i]), all) << i;
}

// 61 folders, each reached from the one before through a link (n0/next0 ->
// ../n1, ...), each with four side folders holding x.scr: 60 links on the
// walk path, more than the system follows in one lookup. Returns n0.
std::string chainOfLinks(TempTree& tree) {
    for (int i = 0; i <= 60; ++i) {
        const std::string n = "n" + std::to_string(i);
        for (int side = 0; side < 4; ++side)
            tree.file(n + "/s" + std::to_string(i) + "_" + std::to_string(side) + "/x.scr");
        if (i < 60) tree.link(n + "/next" + std::to_string(i), "../n" + std::to_string(i + 1));
    }
    return tree.text("n0");
}

// Past the budget the walk gives up the shallowest descriptors, and takes
// them again as it comes back up: the report is the same as with descriptors
// enough for every level.
TEST(Program, TreesWithFewDescriptorsGiveTheSameReport) {
    const struct {
        const char* what;
        std::string (*build)(TempTree&);
        ScanStatistics counters;
    } cases[] = {
        {"a chain of 3,000 with a side branch every 50 levels",
         [](TempTree& tree) { return asText(tree.chain(3000, "f.txt", "d", 50)); },
         {3000 + 60 * 10, 3000 + 60 * 41, 3000 + 60 * 41, 0, 0, 60}},
        {"a chain of 60 links", chainOfLinks, {305, 244, 244, 0, 0, 244}},
        {"40 levels, each with 6 side folders of 3 subfolders",
         [](TempTree& tree) { return asText(tree.wideChain(40)); }, {1000, 40, 40, 0, 0, 40}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        expectSameWithFewDescriptors(c.build(tree), c.counters);
    }
}

// With one free descriptor the start folder is listed and each folder below
// it counts as unreachable. (Sanitizer builds need descriptors of their own.)
#ifndef __SANITIZE_ADDRESS__
TEST(Program, OneFreeDescriptor) {
    TempTree tree;
    const std::string t = asText(tree.example("T"));
    RunOptions one;
    one.maxOpenFiles = 16;
    one.openDescriptors = 12;
    EXPECT_EQ(runDravelon({t}, one),
              (Outcome{0, report(t, {2, 2, 2, 1, 0, 1}, {{joined(t, "s.scr"), kScreenSaverReason}}), ""}));
}
#endif

// Only the suspicious files are kept, so memory does not grow with the tree.
// Sanitizers keep books on every allocation, so their builds cannot show it.
#ifndef __SANITIZE_ADDRESS__
TEST(Program, PeakMemoryDoesNotGrowWithTheNumberOfFiles) {
    TempTree tree;
    const auto fill = [&tree](const std::string& dir, int files) {
        tree.file(dir + "/one.scr");
        for (int i = 1; i < files; ++i) tree.file(dir + "/file-with-a-longish-name-" + std::to_string(i) + ".txt");
        return tree.text(dir);
    };
    const Outcome small = runDravelon({fill("small", 1000)});
    const Outcome large = runDravelon({fill("large", 100000)});
    ASSERT_EQ(small.status, 0);
    ASSERT_EQ(large.status, 0);
    EXPECT_LT(large.peakResidentKiB - small.peakResidentKiB, 2048) << small.peakResidentKiB << " KiB for 1,000 files";

    // Nor with the length of the suspicious paths: 2,000 levels, each with a
    // .scr file beside the next level, list 80 MB of paths. (A child's peak
    // counts the pages this process had when it forked, so the paths are
    // read only after the run.)
    const int depth = 2000;
    const std::string name(40, 'n');
    const fs::path top = tree.chain(depth, "f.scr", name);
    RunOptions toNull;
    toNull.outputFile = "/dev/null";
    const Outcome deep = runDravelon({asText(top)}, toNull);
    ASSERT_EQ(deep.status, 0);
    std::size_t listed = 0;
    for (const std::string& path : chainWalkOrder(asText(top), top, depth, "f.scr", name)) listed += path.size();
    EXPECT_LT(deep.peakResidentKiB - small.peakResidentKiB, static_cast<long>(listed / 1024 / 8))
        << listed << " bytes of paths";
}
#endif

// A report lost on a full disk or a closed standard output is a failure; a
// run that fails for its own reason keeps its own line and status.
TEST(Program, ReportThatCannotBeWritten) {
    TempTree tree;
    tree.file("a.scr");
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full ? "/dev/full" : "standard output closed");
        RunOptions options;
        options.outputFile = full ? "/dev/full" : "";
        options.closeOutput = !full;
        EXPECT_EQ(runDravelon({tree.text()}, options), (Outcome{2, "", errorLine(kUnwritable)}));
        EXPECT_EQ(runDravelon({tree.text("missing")}, options), (Outcome{1, "", errorLine(kNotFound)}));
    }
}

// Another process on the pipe may have made it non-blocking: with a slow
// reader, a write then finds the pipe full, and the program must wait for
// room instead of losing the report.
TEST(Program, WholeReportThroughANonBlockingPipeToASlowReader) {
    TempTree tree;
    for (int i = 0; i < 1150; ++i) tree.file(std::string(200, 'n') + std::to_string(i) + ".scr");
    std::vector<SuspiciousLine> lines;
    for (const std::string& name : listingOrder(tree.root())) lines.push_back({tree.text(name), kScreenSaverReason});
    // 314,497 bytes, nearly five times what a pipe holds.
    const std::string expected = report(tree.text(), {1, 1150, 1150, 0, 0, 1150}, lines);
    RunOptions options;
    options.nonBlockingOutput = true;
    options.readPause = std::chrono::milliseconds(10);
    EXPECT_EQ(runDravelon({tree.text()}, options), (Outcome{0, expected, ""}));
}

// Wine reports a link to itself as not found.
TEST(Program, StartPathThatIsALinkLoop) {
    TempTree tree;
    const std::string loop = tree.link("loop", "loop");
    EXPECT_EQ(runDravelon({loop}), (Outcome{2, head(loop), errorLine(kUnreachable)}));
}

// Windows does not remove a folder that a process works in.
TEST(Program, RemovedWorkingDirectory) {
    TempTree tree;
    RunOptions options = inDirectory(tree.dir("gone"));
    options.removeCwd = true;
    EXPECT_EQ(runDravelon({}, options), (Outcome{2, banner(), errorLine(kNoWorkingDirectory)}));
}

// These run as an unprivileged user; the modes deny the owner too, so they
// hold for a test run that is not root as well. Windows has no such modes.

RunOptions unprivileged() {
    RunOptions options;
    options.unprivileged = true;
    return options;
}

TEST(Permissions, StartPathUnderAFolderTheUserCannotSearch) {
    TempTree tree;
    const std::string start = tree.dir("locked/inner");
    tree.file("locked/inner/a.scr");
    tree.chmod("locked", 0600);
    EXPECT_EQ(runDravelon({start}, unprivileged()), (Outcome{2, head(start), errorLine(kUnreachable)}));
}

// So is one reached through a link, and a start folder.
TEST(Permissions, UnreadableSubdirectoryIsOnlyDiscovered) {
    TempTree tree;
    tree.file("ok.txt");
    tree.file("closed/hidden.scr");
    tree.dir("closed/sub");
    tree.link("to-closed", "closed");
    tree.chmod("closed", 0311);
    EXPECT_EQ(runDravelon({tree.text()}, unprivileged()), (Outcome{0, report(tree.text(), {3, 1, 1, 0, 0, 0}, {}), ""}));
    const std::string closed = tree.text("closed");
    EXPECT_EQ(runDravelon({closed}, unprivileged()), (Outcome{0, report(closed, {1, 0, 0, 0, 0, 0}, {}), ""}));
}

TEST(Permissions, ListableButNotSearchableDirectory) {
    TempTree tree;
    const std::string file = tree.file("open/a.scr");
    tree.file("open/b.txt");
    tree.file("open/sub/c.pif");
    tree.chmod("open", 0644);
    EXPECT_EQ(runDravelon({tree.text()}, unprivileged()),
              (Outcome{0, report(tree.text(), {2, 2, 2, 1, 0, 1}, {{file, kScreenSaverReason}}), ""}));
}
#endif

}  // namespace
