// Path texts on a terminal: control and bidirectional formatting characters
// are shown as "?", so that a file's name cannot erase, forge or reorder
// report lines; through a pipe every byte is written as it is. The progress
// line on a terminal, and what a terminal is shown while a walk goes on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console.h"
#include "expected.h"
#include "run_program.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

struct HostileName {
    std::string raw;    // the file's name on disk
    std::string shown;  // what a terminal is given for it
    std::string reason;
};

std::string allSingleByteControls() {
    std::string bytes;
    for (char c = 0x01; c <= 0x1F; ++c) bytes += c;
    return bytes + '\x7F';
}

// Every file is suspicious, so each one has a result line.
const std::vector<HostileName> kHostileNames = {
    {"esc\x1B[2J\x1B[Hclear.scr", "esc?[2J?[Hclear.scr", kScreenSaverReason},
    {"cr\r[SUPHELI] forged.scr", "cr?[SUPHELI] forged.scr", kScreenSaverReason},
    {"lf\nTarama tamamlandi.scr", "lf?Tarama tamamlandi.scr", kScreenSaverReason},
    {"tab\there.PIF", "tab?here.PIF", kOldExecutableReason},
    {"c0" + allSingleByteControls() + ".pif", "c0" + std::string(32, '?') + ".pif", kOldExecutableReason},
    {"c1\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F.Scr", "c1????.Scr", kScreenSaverReason},
    // Bidirectional formatting: the override would show "fatura" followed by
    // "rcs.pdf", and each character of the set is one "?".
    {"fatura\xE2\x80\xAE" "fdp.scr", "fatura?fdp.scr", kScreenSaverReason},
    {"bidi\xD8\x9C\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x81\xA6"
     "\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9.pif",
     "bidi???????????.pif", kOldExecutableReason},
    // Not controls: Turkish letters, no-break space, the copyright sign; the
    // neighbours of the bidirectional set (U+061B, U+200D, U+202F, U+2065,
    // U+2070). Bytes that are no UTF-8 are one "?" each: a cut sequence, a
    // lone lead byte, a lead byte before a C1 pair.
    {"utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", "utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", kScreenSaverReason},
    {"near\xD8\x9B\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xB0\xE2\x80.scr",
     "near\xD8\x9B\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xB0??.scr", kScreenSaverReason},
    {"lone\xC2.scr", "lone?.scr", kScreenSaverReason},
    {"pair\xC2\xC2\x85.scr", "pair??.scr", kScreenSaverReason},
    {"plain ~!@#$%^&*()_+{}|:\"<>?.scr", "plain ~!@#$%^&*()_+{}|:\"<>?.scr", kScreenSaverReason},
};

const std::string kStartName = "start\x1B]0;title\x07";
const std::string kStartShown = "start?]0;title?";

class TerminalOutput : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = tree_.dir(kStartName);
        for (const HostileName& name : kHostileNames) tree_.file(kStartName + "/" + name.raw);
        tree_.file(kStartName + "/quiet\x1B[8m.txt");  // analysed, never printed
    }

    // The report expected for the tree, with every name shown by `show`.
    template <typename Show>
    std::string expected(const std::string& shownStart, Show show) const {
        std::vector<SuspiciousLine> lines;
        for (const std::string& name : listingOrder(start_)) {
            for (const HostileName& hostile : kHostileNames)
                if (hostile.raw == name) lines.push_back({shownStart + "/" + show(hostile), hostile.reason});
        }
        ScanStatistics counters{};
        counters.directoriesDiscovered = 1;
        counters.filesFound = counters.filesAnalyzed = kHostileNames.size() + 1;
        counters.suspiciousFound = kHostileNames.size();
        return report(shownStart, counters, lines);
    }

    // Runs the program on the tree, its output on a terminal or a pipe.
    static Outcome run(const std::string& start, bool terminal) {
        RunOptions options;
        options.terminal = terminal;
        return runDravelon({start}, options);
    }

    TempTree tree_;
    fs::path start_;
};

TEST_F(TerminalOutput, ControlCharactersInPathsAreShownAsQuestionMarks) {
    const std::string shownStart = tree_.text() + "/" + kStartShown;
    EXPECT_EQ(run(start_, true),
              (Outcome{0, crlf(expected(shownStart, [](const HostileName& n) { return n.shown; })), ""}));
}

TEST_F(TerminalOutput, PipeReceivesEveryByteUnchanged) {
    EXPECT_EQ(run(start_, false), (Outcome{0, expected(start_, [](const HostileName& n) { return n.raw; }), ""}));
}

TEST_F(TerminalOutput, MissingStartPathIsShownSafelyBeforeTheError) {
    const std::string missing = tree_.text() + "/gone\r\x1B[1A";
    EXPECT_EQ(run(missing, true), (Outcome{1, crlf(head(tree_.text() + "/gone??[1A")), errorLine(kNotFound)}));
    EXPECT_EQ(run(missing, false), (Outcome{1, head(missing), errorLine(kNotFound)}));
}

// What a terminal shows after `raw`: "\r" goes back to the line's start,
// "\x1B[K" erases to its end, "\n" begins the next line.
std::string screen(const std::string& raw) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            column = 0;
        } else if (raw[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (raw.compare(i, 3, "\x1B[K") == 0) {
            lines.back().resize(column);
            i += 2;
        } else if (column < lines.back().size()) {
            lines.back()[column++] = raw[i];
        } else {
            lines.back() += raw[i];
            ++column;
        }
    }
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\n") + lines[i];
    return text;
}

// The progress line appears on a terminal once a run has lasted half a
// second: each run is stopped for a second once the report's sixth line
// ("Taraniyor: ...") has appeared, so that the walk of some two thousand
// folders goes on past that point whatever the machine's speed. A signal
// that the program was started with ignored, sent once the line shows,
// changes nothing.
TEST(ProgressLine, ShownOnlyOnATerminalAndGoneBeforeTheReport) {
    TempTree tree;
    for (int i = 0; i < 2000; ++i) tree.file("d" + std::to_string(i / 40) + "/s" + std::to_string(i) + "/f.txt");
    tree.file("x.scr");
    const std::string expected =
        report(tree.text(), {2051, 2001, 2001, 0, 0, 1}, {{tree.text("x.scr"), kScreenSaverReason}});
    const struct {
        const char* what;
        bool outTerminal;
        bool errTerminal;
        const char* term;
        bool shown;
        int ignored;
    } cases[] = {
        {"both streams on one terminal", true, true, "TERM=xterm", true, 0},
        {"standard error alone on a terminal", false, true, "TERM=xterm", true, 0},
        {"standard error not a terminal", true, false, "TERM=xterm", false, 0},
        {"a dumb terminal", true, true, "TERM=dumb", false, 0},
        {"no TERM", true, true, "TERM", false, 0},
        {"SIGHUP ignored at start, then sent", true, true, "TERM=xterm", true, SIGHUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunOptions options;
        options.terminal = c.outTerminal;
        options.errorTerminal = c.errTerminal;
        options.env = {c.term};
        options.pauseAfterLines = 6;
        options.ignoredSignal = options.signal = c.ignored;
        const Outcome run = runDravelon({tree.text()}, options);
        EXPECT_EQ(run.status, 0);
        const std::string& progress = c.outTerminal && c.errTerminal ? run.out : run.err;
        EXPECT_EQ(progress.find(" klasor: " + tree.text()) != std::string::npos, c.shown) << progress;
        // What stays on the screen is the report alone; a stream that is not
        // a terminal gets its bytes unchanged.
        EXPECT_EQ(screen(run.out), expected);
        EXPECT_EQ(screen(run.err), "");
        EXPECT_TRUE(c.outTerminal || run.out == expected) << run.out;
        EXPECT_TRUE(c.errTerminal || run.err.empty()) << run.err;
    }
}

// A walk that is still going when it is stopped: 10,000 folders in a folder
// whose name holds a right-to-left override. Returns the start path's text.
std::string longWalk(TempTree& tree) {
    const std::string start = "r\xE2\x80\xAE/f0";
    for (int i = 0; i < 10000; ++i) tree.dir(start + "/d" + std::to_string(i / 100) + "/s" + std::to_string(i));
    return tree.text(start);
}

// An interruption erases the shown line and then ends the program as the
// signal would have. Each run is stopped for a second once the report's head
// has appeared, so that the line appears at the next folder, with thousands
// of folders still to walk. The line shows the override as "?".
TEST(ProgressLine, ErasedWhenInterrupted) {
    TempTree tree;
    const std::string start = longWalk(tree);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        RunOptions options;
        options.terminal = options.errorTerminal = true;
        options.env = {"TERM=xterm"};
        options.pauseAfterLines = 6;
        options.signal = signal;
        options.timeout = std::chrono::seconds(20);
        const Outcome run = runDravelon({start}, options);
        EXPECT_EQ(run.status, 128 + signal);
        const std::size_t folder = run.out.find(" klasor: ");
        ASSERT_NE(folder, std::string::npos) << run.out;
        EXPECT_NE(run.out.find("?/", folder), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("\xE2\x80\xAE"), std::string::npos) << run.out;
        EXPECT_EQ(screen(run.out), head(tree.text("r?/f0")));
    }
}

// With standard output alone on a terminal, the report's head is shown at
// once, while the walk goes on; the program is stopped once it is there.
TEST(ProgressLine, AbsentButReportHeadShownWhileTheWalkGoesOn) {
    TempTree tree;
    const std::string start = longWalk(tree);
    RunOptions options;
    options.terminal = true;
    options.env = {"TERM=xterm"};
    options.signal = SIGTERM;
    options.signalAfter = crlf(head(tree.text("r?/f0")));
    options.timeout = std::chrono::seconds(20);
    EXPECT_EQ(runDravelon({start}, options), (Outcome{128 + SIGTERM, options.signalAfter, ""}));
}

// The line changes at most five times a second, the first time once the run
// has lasted half a second: a walk that reaches a new folder every millisecond
// for three seconds of a clock of the test's own, with standard error a file.
TEST(ProgressLine, RewrittenAtMostFiveTimesASecond) {
    TempTree tree;
    const int file = ::open(tree.path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    ASSERT_TRUE(file >= 0 && saved >= 0 && ::dup2(file, STDERR_FILENO) == STDERR_FILENO);
    const std::chrono::steady_clock::time_point start{};
    ProgressLine progress(start);
    std::vector<int> rewrites;  // milliseconds after the start
    off_t written = 0;
    for (int ms = 0; ms <= 3000; ++ms) {
        progress.update(ms, ms, "/f" + std::to_string(ms), start + std::chrono::milliseconds(ms));
        struct stat status {};
        ::fstat(file, &status);
        if (status.st_size != written) rewrites.push_back(ms);
        written = status.st_size;
    }
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(file);
    ASSERT_GE(rewrites.size(), 2u);
    EXPECT_GE(rewrites[0], 500);
    for (std::size_t i = 1; i < rewrites.size(); ++i) EXPECT_GE(rewrites[i] - rewrites[i - 1], 200) << i;
}

}  // namespace
