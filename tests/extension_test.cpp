// isSuspicious reads the extension from the path's text in place; these cases
// hold it to the standard library's own extension rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "scanner.h"

namespace fs = std::filesystem;

namespace {

// The reason the predicate must give, decided from path::extension().
std::string expectedReason(const fs::path& path) {
    std::string extension = pathText(path.extension());
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == ".scr") return "Ekran koruyucu uzantısı";
    if (extension == ".pif") return "Eski Windows çalıştırılabilir uzantısı";
    return "";
}

TEST(SuspiciousExtension, AgreesWithTheStandardExtensionRule) {
    const char* const paths[] = {
        "a.scr", "a.SCR", "dir/x.PiF", "/abs/dir/photo.Scr", "archive.tar.scr", "x.scr.txt",
        "x.scrx", "x.sc", ".scr", "dir/.pif", "..scr", "dir/..pif", "...scr", "x..scr",
        ".", "..", "dir/.", "dir/..", "x.", "x.scr.", "", "/", "//", "a.scr/", "dir.scr/",
        "dir.scr/file", "a.scr//", "/.scr", "C:\\x.scr", "a\\b.pif", "ş.scr", "İ.PIF",
        "name with spaces.scr", "no_extension", "dir.pif/.",
    };
    const Scanner scanner;
    for (const char* text : paths) {
        SCOPED_TRACE(text);
        const fs::path path(text);
        const std::string expected = expectedReason(path);
        std::string reason;
        EXPECT_EQ(scanner.isSuspicious(path, reason), !expected.empty());
        EXPECT_EQ(reason, expected);
    }
}

TEST(SuspiciousExtension, LeavesTheReasonAloneWhenNotSuspicious) {
    const Scanner scanner;
    for (const char* text : {"a.txt", ".scr", "a.scr/", "", "..", "x."}) {
        SCOPED_TRACE(text);
        std::string reason = "kept";
        EXPECT_FALSE(scanner.isSuspicious(text, reason));
        EXPECT_EQ(reason, "kept");
    }
}

TEST(SuspiciousExtension, ReplacesTheWholeReason) {
    const Scanner scanner;
    std::string reason = "a much longer text that was there before the call";
    EXPECT_TRUE(scanner.isSuspicious("d/e.pIf", reason));
    EXPECT_EQ(reason, "Eski Windows çalıştırılabilir uzantısı");
}

}  // namespace
