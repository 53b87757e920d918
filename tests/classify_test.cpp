#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// The report's list gives back every path and reason exactly as added, in
// order, whatever the paths share with the one before.
TEST(FindingList, RebuildsEveryPathWithItsReason) {
    using Kept = std::vector<std::pair<std::string, std::string>>;
    const std::string& scr = kScreenSaverReason;
    const std::string& pif = kOldExecutableReason;
    const auto a = [](std::size_t size) { return std::string(size, 'a'); };
    const struct {
        const char* what;
        Kept paths;
    } cases[] = {
        {"shared beginnings", {{"/t/a/b/x.scr", scr}, {"/t/a/b/y.pif", pif}, {"/t/a/c/z.scr", scr}, {"/t/q.pif", pif}}},
        {"none shared", {{"a.scr", pif}, {"b.scr", scr}, {"/x.pif", ""}, {"x.pif", pif}}},
        {"a path that begins the next, and the reverse",
         {{"t/a.scr", scr}, {"t/a.scr.d/b.scr", pif}, {"t/a.scr", ""}, {"t/a", scr}}},
        {"the same path twice", {{"t/x.scr", scr}, {"t/x.scr", pif}, {"t/x.scr", pif}}},
        {"an empty first path", {{"", scr}, {"x.scr", ""}, {"", pif}}},
        {"multi-byte UTF-8, parted inside a character",
         {{u8"t/çalış/ı.scr", scr}, {u8"t/çalıŞ/ğ.pif", pif}, {u8"t/ç/€.scr", scr}}},
        {"Windows separators", {{"C:\\t\\a\\x.scr", scr}, {"C:\\t\\b\\y.PIF", pif}, {"D:x.scr", scr}}},
        // Lengths on either side of where a count takes one byte more.
        {"long texts", {{a(128), scr}, {a(16384) + ".scr", pif}, {a(16384) + "/", scr}, {a(127) + "b", pif},
                        {a(20000) + "/x.scr", scr}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FindingList list;
        for (const auto& [path, reason] : c.paths) list.add(path, reason);
        Kept rebuilt;
        list.forEach([&rebuilt](std::string_view path, std::string_view reason) {
            rebuilt.emplace_back(std::string(path), std::string(reason));
        });
        EXPECT_EQ(rebuilt, c.paths);
    }
    FindingList list;
    EXPECT_THROW(list.add("x.scr", "another reason"), std::invalid_argument);
}

}  // namespace
