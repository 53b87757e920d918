// Path texts on a terminal: control characters are shown as "?", so that a
// file's name cannot erase or forge report lines; through a pipe every byte is
// written as it is.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hardening_support.h"

namespace {

using namespace hardening;

struct HostileName {
    std::string raw;    // the file's name on disk
    std::string shown;  // what a terminal is given for it
    const char* reason;
};

std::string allSingleByteControls() {
    std::string bytes;
    for (char c = 0x01; c <= 0x1F; ++c) bytes += c;
    return bytes + '\x7F';
}

// Every file is suspicious, so each one has a result line.
const std::vector<HostileName> kHostileNames = {
    {"esc\x1B[2J\x1B[Hclear.scr", "esc?[2J?[Hclear.scr", kScrReason},
    {"cr\r[SUPHELI] forged.scr", "cr?[SUPHELI] forged.scr", kScrReason},
    {"lf\nTarama tamamlandi.scr", "lf?Tarama tamamlandi.scr", kScrReason},
    {"tab\there.PIF", "tab?here.PIF", kPifReason},
    {"c0" + allSingleByteControls() + ".pif", "c0" + std::string(32, '?') + ".pif", kPifReason},
    {"c1\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F.Scr", "c1????.Scr", kScrReason},
    // Not controls: Turkish letters, no-break space, the copyright sign, a
    // lone lead byte, and a lead byte before a C1 pair.
    {"utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", "utf8 \xC5\x9F\xC4\xB1\xC2\xA0\xC2\xA9.scr", kScrReason},
    {"lone\xC2.scr", "lone\xC2.scr", kScrReason},
    {"pair\xC2\xC2\x85.scr", "pair\xC2?.scr", kScrReason},
    {"plain ~!@#$%^&*()_+{}|:\"<>?.scr", "plain ~!@#$%^&*()_+{}|:\"<>?.scr", kScrReason},
};

const std::string kStartName = "start\x1B]0;title\x07";
const std::string kStartShown = "start?]0;title?";

class TerminalOutput : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = scratch_.path() / kStartName;
        fs::create_directory(start_);
        for (const HostileName& name : kHostileNames) makeFile(start_ / name.raw);
        makeFile(start_ / "quiet\x1B[8m.txt");  // analysed, never printed
    }

    // The report expected for the tree, with every name shown by `show`.
    template <typename Show>
    std::string expected(const std::string& shownStart, Show show) const {
        std::vector<SuspiciousLine> lines;
        for (const std::string& name : listingOrder(start_)) {
            for (const HostileName& hostile : kHostileNames)
                if (hostile.raw == name) lines.push_back({shownStart + "/" + show(hostile), hostile.reason});
        }
        Counters counters;
        counters.directoriesDiscovered = 1;
        counters.filesFound = counters.filesAnalyzed = kHostileNames.size() + 1;
        counters.suspiciousFound = kHostileNames.size();
        return reportText(shownStart, counters, lines);
    }

    ScratchDir scratch_{"dravelon-terminal"};
    fs::path start_;
};

TEST_F(TerminalOutput, ControlCharactersInPathsAreShownAsQuestionMarks) {
    const RunResult run = runDravelon({start_.string()}, Output::Terminal);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const std::string shownStart = scratch_.path().string() + "/" + kStartShown;
    EXPECT_EQ(run.out, asOnTerminal(expected(shownStart, [](const HostileName& n) { return n.shown; })));
}

TEST_F(TerminalOutput, PipeReceivesEveryByteUnchanged) {
    const RunResult run = runDravelon({start_.string()}, Output::Pipe);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, expected(start_.string(), [](const HostileName& n) { return n.raw; }));
}

TEST_F(TerminalOutput, MissingStartPathIsShownSafelyBeforeTheError) {
    const std::string missing = scratch_.path().string() + "/gone\r\x1B[1A";
    const std::string head = std::string(kRule) + "              Dravelon\n          Dosya Tarayici v1.0\n" + kRule + "\nTaraniyor: ";

    const RunResult onTerminal = runDravelon({missing}, Output::Terminal);
    EXPECT_EQ(onTerminal.status, 1);
    EXPECT_EQ(onTerminal.err, "Hata: Belirtilen yol bulunamadi.\n");
    EXPECT_EQ(onTerminal.out, asOnTerminal(head + scratch_.path().string() + "/gone??[1A\n\n"));

    const RunResult throughPipe = runDravelon({missing}, Output::Pipe);
    EXPECT_EQ(throughPipe.status, 1);
    EXPECT_EQ(throughPipe.out, head + missing + "\n\n");
}

}  // namespace
