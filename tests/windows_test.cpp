// What only the Windows build shows: UTF-8 text over UTF-16 paths, the
// protected folders on a real drive, backslash joins, forward-slash and
// bare-drive start paths, Turkish names, and report lines ending in CR LF.
// In CI these run under Wine, on the Wine prefix's drive C:.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "scanner.h"

namespace fs = std::filesystem;

namespace {

// Conversions done by the system, independent of the program's own.
std::wstring toWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("test text is not UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string toUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::runtime_error("test text is not UTF-16");
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::string utf8(const fs::path& path) { return toUtf8(path.native()); }

std::string forwardSlashes(std::string text) {
    for (char& c : text)
        if (c == '\\') c = '/';
    return text;
}

// A fresh directory under the temporary folder (on drive C:), removed again
// at the end of the test.
class TempTree {
public:
    TempTree() {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("dravelon-" + std::string(test->name()) + "-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    ~TempTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
        if (ec) ADD_FAILURE() << "cannot remove " << utf8(root_) << ": " << ec.message();
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const fs::path& root() const { return root_; }

    fs::path file(const std::wstring& relative) const {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path).put('x');
        if (!fs::is_regular_file(path)) throw std::runtime_error("cannot create " + utf8(path));
        return path;
    }

private:
    fs::path root_;
};

// Names in `dir` in the order in which this build lists them.
std::vector<std::wstring> listedNames(const fs::path& dir) {
    std::vector<std::wstring> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().native());
    return names;
}

struct Counters {
    std::uint64_t directories, found, analyzed, access, protectedAreas, suspicious;
};

void expectCounters(const ScanStatistics& stats, const Counters& expected) {
    EXPECT_EQ(stats.directoriesDiscovered, expected.directories);
    EXPECT_EQ(stats.filesFound, expected.found);
    EXPECT_EQ(stats.filesAnalyzed, expected.analyzed);
    EXPECT_EQ(stats.accessSkipped, expected.access);
    EXPECT_EQ(stats.protectedSkipped, expected.protectedAreas);
    EXPECT_EQ(stats.suspiciousFound, expected.suspicious);
}

std::vector<std::string> resultTexts(const std::vector<ScanResult>& results) {
    std::vector<std::string> texts;
    for (const ScanResult& result : results) texts.push_back(utf8(result.path));
    return texts;
}

// ---- The report as the program writes it ----------------------------------

constexpr char kScr[] = "Ekran koruyucu uzant\xc4\xb1s\xc4\xb1";
constexpr char kPif[] = "Eski Windows \xc3\xa7\x61l\xc4\xb1\xc5\x9ft\xc4\xb1r\xc4\xb1labilir uzant\xc4\xb1s\xc4\xb1";

// Every "\n" becomes CR LF, as the redirected stream writes it.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string head(const std::string& startText) {
    return crlf(
        "========================================\n"
        "              Dravelon\n"
        "          Dosya Tarayici v1.0\n"
        "========================================\n"
        "\n"
        "Taraniyor: " + startText + "\n\n");
}

// The whole report after a walk; `lines` are the "[SUPHELI] " lines' texts.
std::string report(const std::string& startText, const Counters& c, const std::vector<std::string>& lines) {
    std::string text = "Tarama tamamlandi.\n\n";
    text += "Klasorler kesfedildi: " + std::to_string(c.directories) + "\n";
    text += "Dosyalar bulundu:      " + std::to_string(c.found) + "\n";
    text += "Dosyalar analiz edildi: " + std::to_string(c.analyzed) + "\n";
    text += "Erisim nedeniyle atlandi: " + std::to_string(c.access) + "\n";
    text += "Korunan sistem alani: " + std::to_string(c.protectedAreas) + "\n";
    text += "Supheli: " + std::to_string(c.suspicious) + "\n\n";
    if (c.analyzed == 0) {
        text += "Analiz edilecek dosya bulunamadi.\n";
    } else {
        text += "Sonuclar:\n----------------------------------------\n";
        for (const std::string& line : lines) text += "[SUPHELI] " + line + "\n";
        if (lines.empty()) text += "Supheli dosya bulunamadi.\n";
    }
    text += "\n========================================\nDravelon taramayi sonlandirdi.\n"
            "========================================\n";
    return head(startText) + crlf(text);
}

// ---- Running the program ---------------------------------------------------

// The program's path as the build wrote it. A cross build gives a Linux path,
// which Wine shows on drive Z:.
std::wstring programPath() {
    std::wstring path = toWide(DRAVELON_EXE);
    if (!path.empty() && path[0] == L'/') {
        for (wchar_t& c : path)
            if (c == L'/') c = L'\\';
        path = L"Z:" + path;
    }
    return path;
}

// One argument quoted for the command line, so that it reaches argv intact.
std::wstring quoted(const std::wstring& arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

struct ProgramRun {
    std::string out;
    std::string err;
    DWORD status = 0;
};

std::string readAll(HANDLE pipe) {
    std::string data;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

// Runs `program` with `args` in `directory`, standard output and standard
// error each on a pipe of their own, standard input on NUL.
ProgramRun runProgram(const std::wstring& program, const std::vector<std::wstring>& args, const fs::path& directory) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    std::wstring commandLine = quoted(program);
    for (const std::wstring& arg : args) commandLine += L" " + quoted(arg);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.c_str(), &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(input);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        throw std::runtime_error("cannot start " + toUtf8(program) + ": error " + std::to_string(startError));
    }

    ProgramRun run;
    std::thread errReader([&] { run.err = readAll(errRead); });
    run.out = readAll(outRead);
    errReader.join();
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

ProgramRun runDravelon(const std::vector<std::wstring>& args, const fs::path& directory) {
    return runProgram(programPath(), args, directory);
}

// Directory links for the cycle tests. Windows makes them with
// CreateSymbolicLinkW, given the right to. Wine only pretends to there, but it
// runs Linux programs and shows their symbolic links as reparse points, so
// under Wine /bin/ln makes them. The links go again before the tree does,
// since removing the tree would follow them.
class DirectoryLinks {
public:
    DirectoryLinks() = default;
    DirectoryLinks(const DirectoryLinks&) = delete;
    DirectoryLinks& operator=(const DirectoryLinks&) = delete;

    ~DirectoryLinks() {
        for (auto it = links_.rbegin(); it != links_.rend(); ++it) {
            const fs::path& link = it->first;
            const bool removed = it->second ? runUnix(kUnixRm, {L"-f", unixPath(link)})
                                            : RemoveDirectoryW(link.c_str()) != 0;
            if (!removed) ADD_FAILURE() << "cannot remove the link " << utf8(link);
        }
    }

    // Makes `link` a link to the directory `target`, relative to the link's
    // own folder. False when this system can make none.
    bool make(const fs::path& link, const std::wstring& target) {
        if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
            GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
            links_.emplace_back(link, false);
            return true;
        }
        if (GetFileAttributesW(kUnixLn) == INVALID_FILE_ATTRIBUTES) return false;
        if (!runUnix(kUnixLn, {L"-s", target, unixPath(link)})) return false;
        links_.emplace_back(link, true);
        return true;
    }

private:
    // Linux programs run in the temporary folder, not in the tree: Wine keeps
    // a folder that a process ran in from being removed.
    static std::wstring unixPath(const fs::path& link) {
        return link.lexically_relative(fs::temp_directory_path()).generic_wstring();
    }
    static bool runUnix(const wchar_t* program, const std::vector<std::wstring>& args) {
        return runProgram(program, args, fs::temp_directory_path()).status == 0;
    }

    static constexpr const wchar_t* kUnixLn = L"Z:\\bin\\ln";
    static constexpr const wchar_t* kUnixRm = L"Z:\\bin\\rm";
    std::vector<std::pair<fs::path, bool>> links_;  // with "made by /bin/ln"
};

// ---- Text conversion -------------------------------------------------------

TEST(WindowsText, Utf8ArgumentBecomesTheSameUtf16Path) {
    const struct {
        const char* utf8;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"C:\\a/b.scr", L"C:\\a/b.scr"},
        {"\xc4\xb1\xc3\xa7\xc5\x9f\xc4\x9f\xc3\xbc\xc3\xb6\xc4\xb0", L"\u0131\u00e7\u015f\u011f\u00fc\u00f6\u0130"},
        {"\xed\x9f\xbf", L"\ud7ff"},                  // just below the surrogates
        {"\xee\x80\x80", L"\ue000"},                  // just above them
        {"\xef\xbf\xbf", L"\uffff"},                  // last three-byte form
        {"\xf0\x90\x80\x80", L"\xd800\xdc00"},        // first four-byte form
        {"\xf0\x9f\x98\x80.scr", L"\xd83d\xde00.scr"},
        {"\xf4\x8f\xbf\xbf", L"\xdbff\xdfff"},        // U+10FFFF
    };
    for (const auto& c : cases) {
        const fs::path path = pathFromText(c.utf8);
        EXPECT_EQ(path.native(), c.wide) << c.utf8;
        EXPECT_EQ(pathText(path), c.utf8);
    }
}

TEST(WindowsText, InvalidUtf8ArgumentCannotBecomeAPath) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"lone continuation byte", "a\x80"},
        {"lead byte without continuation", "\xc4" "b"},
        {"truncated at the end", "a\xe2\x82"},
        {"truncated four-byte form", "\xf0\x9f\x98"},
        {"overlong two-byte slash", "\xc0\xaf"},
        {"overlong C1", "\xc1\xbf"},
        {"overlong three-byte", "\xe0\x80\xaf"},
        {"overlong four-byte", "\xf0\x80\x80\xaf"},
        {"encoded high surrogate", "\xed\xa0\x80"},
        {"encoded low surrogate", "\xed\xbf\xbf"},
        {"encoded surrogate pair", "\xed\xa0\xbd\xed\xb8\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80"},
        {"F5 lead byte", "\xf5\x80\x80\x80"},
        {"FE byte", "\xfe"},
        {"FF byte", "\xff"},
        {"NUL inside, then junk", std::string("a\0\xff", 3)},
    };
    for (const auto& c : cases) {
        try {
            const fs::path path = pathFromText(c.bytes);
            ADD_FAILURE() << c.what << " was converted, to " << path.native().size() << " UTF-16 units";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence) << c.what;
        }
    }
}

TEST(WindowsText, UnpairedSurrogateCannotBeRendered) {
    const std::wstring cases[] = {
        std::wstring(L"C:\\a") + L'\xd800',         // high surrogate at the end
        std::wstring(L"C:\\a") + L'\xd800' + L"b",  // high surrogate before a plain letter
        std::wstring(L"C:\\") + L'\xdc00' + L"b",   // low surrogate alone
    };
    const Scanner scanner;
    for (const std::wstring& wide : cases) {
        const fs::path path(wide);
        EXPECT_THROW(pathText(path), fs::filesystem_error);
        EXPECT_THROW(scanner.isProtectedArea(path), fs::filesystem_error);
    }
    // Only the extension's text is needed to classify a file.
    std::string reason;
    EXPECT_TRUE(scanner.isSuspicious(fs::path(std::wstring(L"C:\\") + L'\xd800' + L".SCR"), reason));
    EXPECT_EQ(reason, kScr);
    EXPECT_THROW(scanner.isSuspicious(fs::path(std::wstring(L"C:\\a.sc") + L'\xd800'), reason), fs::filesystem_error);
}

// ---- The walk on drive C: -----------------------------------------------

TEST(WindowsWalk, ProtectedFoldersAreSkippedInAnyLetterCase) {
    TempTree tree;
    ASSERT_EQ(utf8(tree.root()).rfind("C:\\", 0), 0u) << "the temporary folder is not on drive C:";
    tree.file(L"$recycle.bin\\x.scr");
    tree.file(L"System Volume Information\\y.scr");
    tree.file(L"WINDOWS\\system32\\Config\\SAM.scr");
    tree.file(L"WINDOWS\\system32\\configuration.ini");
    tree.file(L"WINDOWS\\system32\\drivers\\d.scr");
    tree.file(L"a.txt");

    Scanner scanner;
    ScanStatistics stats{};
    const std::vector<ScanResult> results = scanner.scan(tree.root(), stats);

    // Directories: the start, WINDOWS, system32 and drivers. Protected: three
    // folders and configuration.ini, which merely begins with "config".
    expectCounters(stats, {4, 3, 2, 0, 4, 1});
    const std::string root = utf8(tree.root());
    const std::string aTxt = root + "\\a.txt";
    const std::string driver = root + "\\WINDOWS\\system32\\drivers\\d.scr";
    const std::vector<std::wstring> names = listedNames(tree.root());
    const bool aTxtFirst = std::find(names.begin(), names.end(), L"a.txt") < std::find(names.begin(), names.end(), L"WINDOWS");
    const std::vector<std::string> expected =
        aTxtFirst ? std::vector<std::string>{aTxt, driver} : std::vector<std::string>{driver, aTxt};
    EXPECT_EQ(resultTexts(results), expected);
}

TEST(WindowsWalk, EntriesAreJoinedWithABackslashToTheStartAsWritten) {
    TempTree tree;
    tree.file(L"T\\a.txt");
    const std::string root = utf8(tree.root());
    const struct {
        std::string start;
        std::string entry;
    } cases[] = {
        {root + "\\T", root + "\\T\\a.txt"},
        {root + "\\T\\", root + "\\T\\a.txt"},
        {forwardSlashes(root) + "/T", forwardSlashes(root) + "/T\\a.txt"},
        {forwardSlashes(root) + "/T/", forwardSlashes(root) + "/T/a.txt"},
    };
    for (const auto& c : cases) {
        Scanner scanner;
        ScanStatistics stats{};
        const std::vector<ScanResult> results = scanner.scan(fs::path(toWide(c.start)), stats);
        EXPECT_EQ(resultTexts(results), std::vector<std::string>{c.entry}) << c.start;
    }
}

TEST(WindowsWalk, ForwardSlashStartEntersSystem32ConfigButNotARecycleBinBelow) {
    TempTree tree;
    tree.file(L"Windows\\System32\\config\\SAM.scr");
    tree.file(L"Windows\\System32\\config\\$Recycle.Bin\\r.scr");
    const std::string start = forwardSlashes(utf8(tree.root() / L"Windows\\System32"));

    Scanner scanner;
    ScanStatistics stats{};
    const std::vector<ScanResult> results = scanner.scan(fs::path(toWide(start)), stats);

    expectCounters(stats, {2, 1, 1, 0, 1, 1});
    ASSERT_EQ(resultTexts(results), std::vector<std::string>{start + "\\config\\SAM.scr"});
    EXPECT_TRUE(results[0].suspicious);
}

TEST(WindowsWalk, ProtectedStartFileIsNotAnalysed) {
    TempTree tree;
    const fs::path file = tree.file(L"$RECYCLE.BIN\\S-1-5\\$R0.scr");
    Scanner scanner;
    ScanStatistics stats{};
    EXPECT_TRUE(scanner.scan(file, stats).empty());
    expectCounters(stats, {0, 1, 0, 0, 1, 0});
}

TEST(WindowsWalk, LinksBackToTheWalkPathAreNotEntered) {
    TempTree tree;
    tree.file(L"T\\a.scr");
    tree.file(L"T\\d\\b.scr");
    const fs::path start = tree.root() / L"T";
    DirectoryLinks links;
    if (!links.make(start / L"d\\up1", L"..")) GTEST_SKIP() << "this system makes no directory links";
    ASSERT_TRUE(links.make(start / L"d\\up2", L".."));
    ASSERT_TRUE(links.make(start / L"s", L"d"));  // a sibling, not on the walk path
    ASSERT_NE(GetFileAttributesW((start / L"s").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    Scanner scanner;
    ScanStatistics stats{};
    const std::vector<ScanResult> results = scanner.scan(start, stats);

    // T, d and s are walked; up1 and up2, met below d and again below s, lead
    // back to T and are each counted as skipped.
    expectCounters(stats, {3, 3, 3, 4, 0, 3});
    const std::string text = utf8(start);
    std::vector<std::string> expected;
    for (const std::wstring& name : listedNames(start)) {
        if (name == L"a.scr") expected.push_back(text + "\\a.scr");
        if (name == L"d") expected.push_back(text + "\\d\\b.scr");
        if (name == L"s") expected.push_back(text + "\\s\\b.scr");
    }
    EXPECT_EQ(resultTexts(results), expected);
}

// ---- The program's report --------------------------------------------------

TEST(WindowsReport, WorkedExampleEndsEveryLineInCrLf) {
    TempTree tree;
    tree.file(L"T\\a.txt");
    tree.file(L"T\\s.scr");
    tree.file(L"T\\d\\p.PIF");
    const std::string start = utf8(tree.root() / L"T");
    std::vector<std::string> lines;
    for (const std::wstring& name : listedNames(tree.root() / L"T")) {
        if (name == L"s.scr") lines.push_back(start + "\\s.scr -> " + kScr);
        if (name == L"d") lines.push_back(start + "\\d\\p.PIF -> " + kPif);
    }

    const ProgramRun run = runDravelon({toWide(start), L"ignored", L"--help"}, tree.root());

    EXPECT_EQ(run.out, report(start, {2, 3, 3, 0, 0, 2}, lines));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0u);
}

// Nothing expands wildcards in the argument, and an option is just a name.
TEST(WindowsReport, MissingPathEndsWithStatusOne) {
    TempTree tree;
    tree.file(L"s.scr");
    const std::string root = utf8(tree.root());
    for (const std::string& start : {root + "\\missing", root + "\\*.scr", std::string("--help")}) {
        const ProgramRun run = runDravelon({toWide(start)}, tree.root());
        EXPECT_EQ(run.out, head(start)) << start;
        EXPECT_EQ(run.err, "Hata: Belirtilen yol bulunamadi.\r\n") << start;
        EXPECT_EQ(run.status, 1u) << start;
    }
}

TEST(WindowsReport, TurkishNamesAndArgumentKeepTheirUtf8Bytes) {
    TempTree tree;
    // "ışık İÇŞĞÜÖ" holding "çiçek.scr", "ÖRNEK.PİF" and "ğ.txt". The dotted
    // capital İ is not folded, so ".PİF" is no suspicious extension.
    const std::string folder = "\xc4\xb1\xc5\x9f\xc4\xb1k \xc4\xb0\xc3\x87\xc5\x9e\xc4\x9e\xc3\x9c\xc3\x96";
    const std::string flower = "\xc3\xa7i\xc3\xa7\x65k.scr";
    tree.file(toWide(folder + "\\" + flower));
    tree.file(toWide(folder + "\\\xc3\x96RNEK.P\xc4\xb0" "F"));
    tree.file(toWide(folder + "\\\xc4\x9f.txt"));
    const std::string start = utf8(tree.root()) + "\\" + folder;

    const ProgramRun run = runDravelon({toWide(start)}, tree.root());

    EXPECT_EQ(run.out, report(start, {1, 3, 3, 0, 0, 1}, {start + "\\" + flower + " -> " + kScr}));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0u);
}

TEST(WindowsReport, NoArgumentScansTheWorkingDirectoryByItsFullPath) {
    TempTree tree;
    tree.file(L"w\\notes.txt");
    const ProgramRun run = runDravelon({}, tree.root() / L"w");
    EXPECT_EQ(run.out, report(utf8(tree.root() / L"w"), {1, 1, 1, 0, 0, 0}, {}));
    EXPECT_EQ(run.status, 0u);
}

// A bare drive name walks that drive's current directory, which for the
// program is its working directory here. Its entries read C:name, so a
// recycle bin directly in it has no backslash before it and is walked.
TEST(WindowsReport, BareDriveNameWalksTheDrivesCurrentDirectory) {
    TempTree tree;
    tree.file(L"s.scr");
    tree.file(L"$Recycle.Bin\\x.scr");
    tree.file(L"sub\\$Recycle.Bin\\y.scr");
    for (const std::string drive : {"C:", "c:"}) {
        std::vector<std::string> lines;
        for (const std::wstring& name : listedNames(tree.root())) {
            if (name == L"s.scr") lines.push_back(drive + "s.scr -> " + kScr);
            if (name == L"$Recycle.Bin") lines.push_back(drive + "$Recycle.Bin\\x.scr -> " + kScr);
        }
        const ProgramRun run = runDravelon({toWide(drive)}, tree.root());
        // Directories: the drive's, $Recycle.Bin and sub; sub's recycle bin
        // (C:sub\$Recycle.Bin) is protected.
        EXPECT_EQ(run.out, report(drive, {3, 2, 2, 0, 1, 2}, lines)) << drive;
        EXPECT_EQ(run.err, "") << drive;
        EXPECT_EQ(run.status, 0u) << drive;
    }
}

TEST(WindowsWalk, BareDriveStatusIsThatOfItsCurrentDirectory) {
    std::error_code ec;
    EXPECT_TRUE(fs::is_directory(startPathStatus("C:", ec)));
    EXPECT_FALSE(ec);
    EXPECT_TRUE(fs::is_directory(startPathStatus("C:")));
    // A drive without a device is still not found.
    EXPECT_EQ(startPathStatus("Q:", ec).type(), fs::file_type::not_found);
}

}  // namespace
