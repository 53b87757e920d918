#include <gtest/gtest.h>

#include "expected.h"
#include "scanner.h"

namespace {

TEST(Classify, ReasonTextsAreExactBytes) {
    EXPECT_EQ(kScreenSaverReason,
              "Ekran koruyucu uzant\xC4\xB1"
              "s\xC4\xB1");
    EXPECT_EQ(kOldExecutableReason,
              "Eski Windows \xC3\xA7"
              "al\xC4\xB1\xC5\x9Ft\xC4\xB1r\xC4\xB1labilir uzant\xC4\xB1"
              "s\xC4\xB1");
    EXPECT_EQ(kScreenSaverReason.size(), 25u);
    EXPECT_EQ(kOldExecutableReason.size(), 45u);
}

TEST(Classify, SuspiciousByLastExtensionFolded) {
    const struct {
        const char* path;
        const std::string* reason;  // null: not suspicious
    } cases[] = {
        {"photo.SCR", &kScreenSaverReason},
        {"old.PiF", &kOldExecutableReason},
        {"/tmp/a/x.scr", &kScreenSaverReason},
        {"archive.tar.scr", &kScreenSaverReason},
        {"dir.txt/x.Pif", &kOldExecutableReason},
        {"..scr", &kScreenSaverReason},  // the last dot is not the first character
        {"a\\b.sCr", &kScreenSaverReason},  // a backslash is part of the name here
        {"x.scr.txt", nullptr},
        {"x.scrx", nullptr},
        {"x.sc", nullptr},
        {"scr", nullptr},
        {".scr", nullptr},    // a name whose only dot is its first character
        {"x.scr.", nullptr},  // trailing dot
        {"x.scr/", nullptr},  // empty last component
        {"x.scr/readme", nullptr},
    };
    const Scanner scanner;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string reason = "left from before";
        EXPECT_EQ(scanner.isSuspicious(c.path, reason), c.reason != nullptr);
        EXPECT_EQ(reason, c.reason ? *c.reason : "left from before");
    }
}

TEST(Classify, ProtectedAreasBySubstringFolded) {
    const struct {
        const char* path;
        bool isProtected;
    } cases[] = {
        {"C:\\$Recycle.Bin", true},
        {"C:\\$RECYCLE.BIN\\S-1-5-21\\x.scr", true},
        {"D:\\System Volume Information", true},
        {"x\\SYSTEM VOLUME INFORMATION\\tracking.log", true},
        {"C:\\Windows\\System32\\config\\SAM", true},
        {"C:\\WINDOWS\\SYSTEM32\\CONFIG", true},
        {"C:\\Windows\\System32\\configuration.ini", true},  // inside a longer name
        {"old\\$recycle.bin.bak", true},
        {"/tmp/t/x\\$Recycle.Bin/f.txt", true},  // one name holding a backslash
        {"\\$Recycle.Bin", true},
        {"C:/Windows/System32/config", false},  // forward slashes
        {"/tmp/$Recycle.Bin/x", false},
        {"C:\\Windows/System32\\config", false},
        {"$Recycle.Bin", false},  // no leading backslash
        {"$Recycle.Bin\\x.scr", false},
        {"System Volume Information", false},
        {"C:\\Windows\\System32\\drivers", false},
        {"C:\\$Recycle.Bi", false},  // pattern cut short at the end
        {"C:\\$RECYCLE.B\xC4\xB0N", false},  // a Turkish capital does not fold
        {"", false},
    };
    const Scanner scanner;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(scanner.isProtectedArea(c.path), c.isProtected);
    }
}

}  // namespace
