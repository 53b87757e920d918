// Path texts on a terminal: control characters are shown as "?", so that a
// file's name cannot erase or forge report lines; through a pipe every byte is
// written as it is.
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    // Not controls: Turkish letters, no-break space, the copyright sign, a
    // lone lead byte, and a lead byte before a C1 pair.
    {"utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", "utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", kScreenSaverReason},
    {"lone\xC2.scr", "lone\xC2.scr", kScreenSaverReason},
    {"pair\xC2\xC2\x85.scr", "pair\xC2?.scr", kScreenSaverReason},
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

}  // namespace
