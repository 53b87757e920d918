#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "expected.h"
#include "finding_list.h"
#include "scanner.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

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

// Each row's text is tested as a path with isSuspicious, whose answer must
// also follow the standard extension rule (path::extension), and, where it is
// one name, as the name of a file that the walk lists.
TEST(Classify, SuspiciousByLastExtensionFolded) {
    const struct {
        const char* text;
        const std::string* reason;  // null: not suspicious
    } cases[] = {
        {"photo.SCR", &kScreenSaverReason},
        {"old.PiF", &kOldExecutableReason},
        {"/tmp/a/x.scr", &kScreenSaverReason},
        {"archive.tar.scr", &kScreenSaverReason},  // the last extension only
        {"dir.txt/x.Pif", &kOldExecutableReason},
        {"..scr", &kScreenSaverReason},  // the last dot is not the first character
        {"dir/..pif", &kOldExecutableReason},
        {"...scr", &kScreenSaverReason},
        {"x..scr", &kScreenSaverReason},
        {"C:\\x.scr", &kScreenSaverReason},
        {"a\\b.sCr", &kScreenSaverReason},  // a name holding a backslash, or a Windows path
        {"name with spaces.scr", &kScreenSaverReason},
        {"\xC5\x9F.scr", &kScreenSaverReason},
        {"x.scr.txt", nullptr},
        {"x.scrx", nullptr},
        {"x.sc", nullptr},
        {"scr", nullptr},
        {"no_extension", nullptr},
        {"\xC4\xB0.PIF", &kOldExecutableReason},
        {"x.P\xC4\xB0" "F", nullptr},  // a Turkish capital does not fold
        {".scr", nullptr},    // a name whose only dot is its first character
        {"dir/.pif", nullptr},
        {"/.scr", nullptr},
        {"x.scr.", nullptr},  // a final dot
        {"x.", nullptr},
        {".", nullptr},
        {"..", nullptr},
        {"dir/..", nullptr},
        {"dir.pif/.", nullptr},
        {"x.scr/", nullptr},  // no file name
        {"a.scr//", nullptr},
        {"x.scr/readme", nullptr},
        {"", nullptr},
        {"/", nullptr},
    };
    const Scanner scanner;
    TempTree tree;
    std::map<std::string, const std::string*> byName;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string reason = "left from before";
        EXPECT_EQ(scanner.isSuspicious(c.text, reason), c.reason != nullptr);
        EXPECT_EQ(reason, c.reason ? *c.reason : "left from before");
        std::string extension = pathText(fs::path(c.text).extension());
        for (char& ch : extension) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(extension == ".scr" || extension == ".pif", c.reason != nullptr);
        const std::string name = c.text;
        if (name.find_first_of("/\\") != std::string::npos || name.empty() || name == "." || name == "..") continue;
        tree.file(name);
        byName[name] = c.reason;
    }
    // The walk classifies the names its listings give by a function of its
    // own: each row's name is a file of the tree.
    std::size_t visited = 0;
    ScanStatistics stats{};
    Scanner().scan(tree.root(), stats, [&](const ScanResultView& result) {
        SCOPED_TRACE(std::string(result.name));
        ++visited;
        const std::string* reason = byName.at(std::string(result.name));
        EXPECT_EQ(result.suspicious, reason != nullptr);
        EXPECT_EQ(std::string(result.reason), reason ? *reason : "");
    });
    EXPECT_EQ(visited, byName.size());
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
