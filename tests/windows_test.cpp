// What only the Windows build shows: UTF-8 text over UTF-16 paths, the
// protected folders on a real drive, backslash joins, forward-slash and
// bare-drive start paths, and Turkish names. In CI these run under Wine, on
// the Wine prefix's drive C:.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "expected.h"
#include "listing_windows.h"
#include "run_program.h"
#include "scanner.h"
#include "temp_tree.h"
#include "walk_support.h"

namespace fs = std::filesystem;

namespace {

std::string forwardSlashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

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

// A name that is not valid UTF-16 keeps each unpaired surrogate in its text
// as a three-byte form of its own, is shown with U+FFFD in its place, and
// turns back into the very same name. The tables of the classification are
// ASCII, so the text decides as the name would.
TEST(WindowsText, UnpairedSurrogatesAreKeptAndShownAsReplacementCharacters) {
    const std::string replacement = "\xef\xbf\xbd";
    const struct {
        std::wstring wide;
        std::string text;
        std::string shown;
    } cases[] = {
        {std::wstring(L"C:\\a") + L'\xd800', "C:\\a\xed\xa0\x80", "C:\\a" + replacement},
        {std::wstring(L"a") + L'\xdbff' + L"b", "a\xed\xaf\xbf" "b", "a" + replacement + "b"},
        {std::wstring(L"\xdc00\xd800"), "\xed\xb0\x80\xed\xa0\x80", replacement + replacement},  // low before high
        {L"\xd83d\xde00\x00e7\x0131\x7f\x80", "\xf0\x9f\x98\x80\xc3\xa7\xc4\xb1\x7f\xc2\x80", "\xf0\x9f\x98\x80\xc3\xa7\xc4\xb1\x7f\xc2\x80"},
        {L"\xd7ff\xe000", "\xed\x9f\xbf\xee\x80\x80", "\xed\x9f\xbf\xee\x80\x80"},  // around the surrogates
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pathText(c.wide), c.text) << c.text;
        std::string buffer;
        EXPECT_EQ(shownText(c.text, buffer), c.shown) << c.text;
        EXPECT_EQ(nativeText(c.text), c.wide) << c.text;
    }
    const Scanner scanner;
    std::string reason;
    EXPECT_TRUE(scanner.isSuspicious(fs::path(std::wstring(L"C:\\") + L'\xd800' + L".SCR"), reason));
    EXPECT_EQ(reason, kScreenSaverReason);
    EXPECT_FALSE(scanner.isSuspicious(fs::path(std::wstring(L"C:\\a.sc") + L'\xd800'), reason));
    EXPECT_TRUE(scanner.isProtectedArea(fs::path(std::wstring(L"C:\\") + L'\xd800' + L"\\$Recycle.Bin\\a")));
}

// ---- Listed entries ------------------------------------------------------

// Names that are not valid UTF-16, which Wine cannot make: the start folder
// lists a file x<D800>.scr and a folder y<DC00> that holds in.scr.
const std::wstring kOddFolder = std::wstring(L"y") + L'\xdc00';

class UnpairedSurrogateNames final : public ForwardingFolders {
public:
    OpenedFolder openStart(const NativeString& start) override {
        OpenedFolder opened = folders_->openStart(start);
        opened.listing = std::make_unique<FixedListing>(std::vector<FixedEntry>{
            {std::wstring(L"x") + L'\xd800' + L".scr", EntryKind::file}, {kOddFolder, EntryKind::directory}});
        return opened;
    }
    OpenedFolder openChild(NativeView name, const FileIdentity&) override {
        EXPECT_EQ(std::wstring(name), kOddFolder) << "entered by another name";
        inFolder_ = true;
        return {OpenResult::listed, std::make_unique<FixedListing>(std::vector<FixedEntry>{{L"in.scr", EntryKind::file}}),
                {}, {}};
    }
    void leave() override {
        if (!std::exchange(inFolder_, false)) folders_->leave();
    }

private:
    bool inFolder_ = false;
};

TEST(WindowsWalk, NamesThatAreNotValidUtf16AreWalkedAndShownWithReplacementCharacters) {
    TempTree tree;
    std::vector<std::string> texts;
    std::vector<std::wstring> paths;
    std::vector<std::string> told;
    ScanStatistics stats{};
    Scanner().scan(
        tree.root(), stats,
        [&](const ScanResultView& result) {
            texts.push_back(result.text());
            paths.push_back(result.path().native());
        },
        [&told](std::string_view folder) { told.emplace_back(folder); },
        [] { return std::make_unique<UnpairedSurrogateNames>(); });
    const std::string root = tree.text();
    const std::wstring& wideRoot = tree.root().native();
    EXPECT_EQ(stats, (ScanStatistics{2, 2, 2, 0, 0, 2}));
    EXPECT_EQ(texts, (std::vector<std::string>{root + "\\x\xef\xbf\xbd.scr", root + "\\y\xef\xbf\xbd\\in.scr"}));
    EXPECT_EQ(paths, (std::vector<std::wstring>{wideRoot + L"\\x" + L'\xd800' + L".scr",
                                                wideRoot + L"\\" + kOddFolder + L"\\in.scr"}));
    EXPECT_EQ(told, (std::vector<std::string>{root, root + "\\y\xef\xbf\xbd"}));
}

// ---- The system's folders -----------------------------------------------

// Below the start folder each folder is opened by its name as listed, in its
// parent's handle; a name longer than a counted name holds reaches nothing.
// A folder's listed identity is the one its own handle and a link to it give.
// Every handle is closed. (Wine finds a name in any letter case, so what the
// folders do with a name listed in two cases cannot be shown here.)
TEST(WindowsFolders, SubfoldersAreOpenedByTheirNamesAndKnownByTheirListedIdentities) {
    TempTree tree;
    tree.file("T/Sub/x.scr");
    tree.link("T/ln", "Sub");
    std::error_code ec;
    FileIdentity startByPath, subByPath;
    ASSERT_EQ(queryPath(systemPath(tree.path("T")), ec, &startByPath), EntryKind::directory);
    ASSERT_EQ(queryPath(systemPath(tree.path("T/Sub")), ec, &subByPath), EntryKind::directory);
    const std::size_t handles = openHandles();
    {
        const std::unique_ptr<FolderStack> folders = systemFolders();
        const OpenedFolder start = folders->openStart(systemPath(tree.path("T")));
        ASSERT_TRUE(start.listing);
        EXPECT_TRUE(sameFile(start.identity, startByPath));
        std::vector<std::string> names;
        ListedEntry entry;
        while (start.listing->next(entry, ec)) {
            names.push_back(asText(NativeString(entry.name)));
            if (entry.name != L"Sub") continue;
            EXPECT_EQ(entry.kind, EntryKind::directory);
            EXPECT_TRUE(sameFile(entry.identity, subByPath));
        }
        EXPECT_FALSE(ec);
        EXPECT_EQ(names, listingOrder(tree.path("T")));  // no "." or ".."
        FileIdentity byLink;
        EXPECT_EQ(folders->query(L"ln", ec, &byLink), EntryKind::directory);
        EXPECT_TRUE(sameFile(byLink, subByPath));

        // The low 16 bits of its length in bytes would name "Sub".
        const std::wstring tooLong = L"Sub" + std::wstring(32768, L'x');
        const OpenedFolder unreachable = folders->openChild(tooLong, {});
        EXPECT_EQ(unreachable.result, OpenResult::unknown);
        EXPECT_EQ(folders->query(tooLong, ec, nullptr), EntryKind::unknown);

        // Entered as a link's target on another volume: its entries lie on that volume.
        FileIdentity elsewhere = subByPath;
        elsewhere.volume ^= 1;
        const OpenedFolder sub = folders->openChild(L"Sub", elsewhere);
        ASSERT_TRUE(sub.listing);
        EXPECT_TRUE(sameFile(folders->identity(1), subByPath));
        ASSERT_TRUE(sub.listing->next(entry, ec));
        EXPECT_EQ(std::wstring(entry.name), L"x.scr");
        EXPECT_EQ(entry.identity.volume, elsewhere.volume);
        EXPECT_FALSE(sub.listing->next(entry, ec));
    }
    EXPECT_EQ(openHandles(), handles) << "handles left open";
}

// Folders listed through a query that refuses the first `refused` record classes tried, else answers each with
// records of ., .., a.scr, d, up (8-byte aligned, the last unpadded, ending a readable page); on disk only T\d\up.
// A record that does not fit its part is one failure of its folder, the entries before it kept (the records'
// bounds are tested where the records are read, on every build).
TEST(WindowsFolders, RefusedRecordClassesAreFollowedByOthersAndARecordPastItsPartIsOneFailure) {
    struct Case {
        const char *what, *calls;                   // calls: each call's class, "r" from the start
        std::uint32_t refusal, then;                // the answers to a refused class and to later calls
        std::size_t refused, record, field, value;  // record `record` holds `value` at `field`
        ScanStatistics stats;
    };
    std::vector<Case> cases = {
        {"no more files", "60 60 60 60", 0, 0, 0, 0, 0, 0, {2, 2, 2, 1, 0, 2}},
        {"no such file (an empty root)", "60", 0xC000000F, 0, 1, 0, 0, 0, {1, 0, 0, 0, 0, 0}},
        // Invalid class, invalid parameter, not implemented, not supported, invalid device request, invalid
        // level, unsuccessful, internal error: each a first query's failure, followed by the next class.
        {"refused", "60 37r 37 37 37", 0xC0000003, 0, 1, 0, 0, 0, {2, 2, 2, 1, 0, 2}},
        {"two refused", "60 37r 3r 3 3 3", 0xC0000003, 0, 2, 0, 0, 0, {2, 2, 2, 1, 0, 2}},
        {"four refused: no tags, the link read as one", "60 37r 3r 2r 1r 1 1 1", 0xC0000010, 0, 4, 0, 0, 0,
         {2, 2, 2, 1, 0, 2}},
        {"all refused", "60 37r 3r 2r 1r", 0xC0000001, 0, 5, 0, 0, 0, {1, 0, 0, 1, 0, 0}},
        {"refused part-way", "60 60 60 60", 0, 0xC000000D, 0, 0, 0, 0, {2, 2, 2, 3, 0, 2}},
        {"name past the bytes", "60 60", 0, 0, 0, 4, 60, 6, {2, 2, 2, 2, 0, 2}},
    };
    TempTree tree;
    tree.link("T/d/up", ".");
    auto* const pages = static_cast<unsigned char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_TRUE(pages != nullptr && VirtualAlloc(pages, 4096, MEM_COMMIT, PAGE_READWRITE));  // the first page only
    const std::vector<std::wstring> names = {L".", L"..", L"a.scr", L"d", L"up"};
    const std::map<int, std::pair<std::size_t, std::size_t>> classes = {  // each class's place in the order, name
        {60, {0, 0x58}}, {37, {1, 0x68}}, {3, {2, 0x5E}}, {2, {3, 0x44}}, {1, {4, 0x40}}};
    for (const std::uint32_t status : {0xC000000D, 0xC0000002, 0xC00000BB, 0xC0000010, 0xC0000148, 0xC0000001, 0xC00000E5})
        cases.push_back({"refused", "60 37r 37 37 37", status, 0, 1, 0, 0, 0, {2, 2, 2, 1, 0, 2}});
    for (const Case& c : cases) {
        std::map<void*, int> listed;  // the folders answered with records
        std::string calls;
        const ListingQuery query = [&](void* folder, int what, bool restart, void*, std::size_t) -> ListingPart {
            calls += (calls.empty() ? "" : " ") + std::to_string(what) + (restart ? "r" : "");
            const auto [place, nameAt] = classes.at(what);
            if (place < c.refused) return {static_cast<long>(c.refusal), nullptr, 0};
            if (listed[folder]++ != 0) return {static_cast<long>(c.then != 0 ? c.then : 0x80000006), nullptr, 0};
            std::vector<unsigned char> bytes;
            for (std::size_t i = 0, at = 0; i < names.size(); ++i, at = (bytes.size() + 7) / 8 * 8) {
                bytes.resize(at + nameAt + 2 * names[i].size());
                const auto put = [&](std::size_t offset, std::size_t v) { std::memcpy(&bytes[at + offset], &v, 4); };
                put(0, i + 1 == names.size() ? 0 : (bytes.size() - at + 7) / 8 * 8);
                put(56, i == 2 ? FILE_ATTRIBUTE_ARCHIVE : i == 4 ? 0x410 : FILE_ATTRIBUTE_DIRECTORY);  // 0x410: a link
                put(60, 2 * names[i].size());
                std::memcpy(&bytes[at + nameAt], names[i].data(), 2 * names[i].size());
                if (i == c.record && c.value != 0) put(c.field, c.value);
            }
            return {0, std::memcpy(pages + 4096 - bytes.size(), bytes.data(), bytes.size()), bytes.size()};
        };
        ScanStatistics stats{};
        Scanner().scan(tree.path("T"), stats, [](const ScanResultView&) {}, nullptr,
                       [&query] { return systemFoldersThrough({query}); });
        EXPECT_EQ(std::make_pair(stats, calls), std::make_pair(c.stats, std::string(c.calls))) << c.what << std::hex << c.refusal;
    }
    VirtualFree(pages, 0, MEM_RELEASE);
}

// The folder open as `handle` ends in `name`.
bool isFolderNamed(void* handle, const std::wstring& name) {
    std::wstring path(32768, L'\0');
    path.resize(GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0));
    return path.size() > name.size() && path.compare(path.size() - name.size() - 1, path.npos, L"\\" + name) == 0;
}

// The records of FileIdBothDirectoryInformation at `from` (`size` bytes) as those of FileIdExtdDirectoryInformation
// into `to`, their 128-bit IDs the 64-bit ones with `high` as their high half.
std::size_t asExtendedRecords(const unsigned char* from, std::size_t size, unsigned char* to, std::uint64_t high) {
    std::size_t at = 0;
    for (std::uint32_t next = 1; size != 0 && next != 0; from += next) {
        std::uint32_t nameBytes, attributes, ea;
        std::memcpy(&next, from, 4);
        std::memcpy(&attributes, from + 56, 4);
        std::memcpy(&nameBytes, from + 60, 4);
        std::memcpy(&ea, from + 64, 4);
        const std::uint32_t tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ea : 0;  // the EA size holds it
        std::memcpy(to + at, from, 68);
        std::memcpy(to + at + 68, &tag, 4);
        std::memcpy(to + at + 72, from + offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileId), 8);
        std::memcpy(to + at + 80, &high, 8);
        std::memcpy(to + at + 88, from + offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName), nameBytes);
        const std::uint32_t length = next == 0 ? 0 : (88 + nameBytes + 7) / 8 * 8;
        std::memcpy(to + at, &length, 4);
        at += next == 0 ? 88 + nameBytes : length;
    }
    return at;
}

// One identity form per volume. On ReFS (and so on a Dev Drive) a file's 128-bit ID, in the extended class and from
// a handle (FileIdInfo), is another number than its 64-bit one, in FileIdBothDirectoryInformation and from a handle
// (the file index): a test makes them so, the 128-bit one with a high half. On T/a/f.scr, T/a/b/g.scr,
// T/a/b/up -> .. (a link back to a plain folder: a loop), T/a/lb -> b and T/l1 -> a (b met again below links: found,
// not walked again), in both listing orders. Where no class gives IDs, a and b are asked theirs when up is checked.
TEST(WindowsFolders, OneIdentityFormPerVolume) {
    const struct {
        const char* what;
        const wchar_t* refusesExtended;  // the first folder that refuses the extended class
        bool refusesIds;                  // ... and FileIdBothDirectoryInformation
    } rows[] = {
        {"128-bit IDs, listed and from handles", nullptr, false},
        {"the extended class refused: 64-bit IDs, listed and from handles", L"T", false},
        {"the extended class refused from a on: the later listed 64-bit IDs unused", L"a", false},
        {"no class with IDs: the handles' 128-bit IDs, asked when needed", L"T", true},
    };
    const std::uint64_t high = 0x77;
    TempTree tree;
    // Below l1, b and c are both unasked; c, empty, is left before b's link to itself in one of the orders.
    tree.build({"T/a/f.scr", "T/a/b/g.scr", "T/a/b/c/"}, {{"T/a/b/up", ".."}, {"T/a/b/self", "."}, {"T/a/lb", "b"}, {"T/l1", "a"}});
    std::vector<unsigned char> records(64 * 1024);
    for (const auto& row : rows) for (const bool reversed : {false, true}) {
        bool refusing = false;
        WindowsCalls calls;
        calls.query = [&](void* folder, int what, bool restart, void* buffer, std::size_t length) {
            refusing = refusing || (row.refusesExtended != nullptr && isFolderNamed(folder, row.refusesExtended));
            if ((what == 60 || (what == 37 && row.refusesIds)) && refusing)
                return ListingPart{static_cast<long>(0xC0000003), nullptr, 0};
            if (what != 60) return queryListing(folder, what, restart, buffer, length);
            const ListingPart part = queryListing(folder, 37, restart, records.data(), length);
            return ListingPart{part.status, buffer,
                               asExtendedRecords(records.data(), part.size, static_cast<unsigned char*>(buffer), high)};
        };
        calls.ids = [high](void* handle, bool index) {
            HandleIds ids = queryHandleIds(handle, index);
            ids.full.high = high;
            return ids;
        };
        const WalkOutcome w = walk(tree.path("T"), [&calls, reversed]() -> std::unique_ptr<FolderStack> {
            if (reversed) return std::make_unique<ReversedFolders>(systemFoldersThrough(calls));
            return systemFoldersThrough(calls);
        });
        EXPECT_EQ(w.stats, (ScanStatistics{9, 4, 4, 4, 0, 4})) << row.what << reversed;
        // The loop is never walked, and a is walked below l1 (as b is below the first link to it).
        const std::vector<std::string> texts = resultTexts(w.results);
        EXPECT_TRUE(std::none_of(texts.begin(), texts.end(), [](const std::string& t) { return t.find("\\up\\") != t.npos; }))
            << row.what;
        EXPECT_EQ(std::count(texts.begin(), texts.end(), tree.text("T/l1/f.scr")), 1) << row.what;
    }
    // Listed in 64-bit IDs, a handle whose file index is not answered is known by its 128-bit ID only where that
    // is the 64-bit one: its high half 0.
    for (const std::uint64_t idHigh : {high, std::uint64_t{0}}) {
        WindowsCalls calls;
        calls.query = [](void* folder, int what, bool restart, void* buffer, std::size_t length) {
            if (what == 60) return ListingPart{static_cast<long>(0xC0000003), nullptr, 0};
            return queryListing(folder, what, restart, buffer, length);
        };
        calls.ids = [idHigh](void* handle, bool) {
            HandleIds ids = queryHandleIds(handle, false);
            ids.full.high = idHigh;
            ids.index = {};
            return ids;
        };
        const std::unique_ptr<FolderStack> folders = systemFoldersThrough(calls);
        const OpenedFolder start = folders->openStart(systemPath(tree.path("T")));
        ASSERT_TRUE(start.listing);
        std::error_code ec;
        FileIdentity a, listed;
        ASSERT_EQ(folders->query(L"l1", ec, &a), EntryKind::directory);
        for (ListedEntry entry; start.listing->next(entry, ec);)
            if (entry.name == L"a") listed = entry.identity;
        EXPECT_EQ(std::make_pair(start.identity.known, a.known), std::make_pair(idHigh == 0, idHigh == 0)) << idHigh;
        EXPECT_EQ(sameFile(a, listed), idHigh == 0) << idHigh;
    }
}

// Opens answered "not found" (or a bad network path or name) in a folder's handle, as some user-mode file systems
// answer them below the first level, on T/x.scr, T/a/y.scr, T/a/b/z.scr, T/a/c/w.scr and T/l -> a: each such
// folder, file or link is opened by its whole path; one not found there either is gone, one whose whole path cannot
// be named counts once as unreachable, and neither lengthens the whole path of a later sibling. And where a name
// grants its attributes alone, it is asked again without its extended attributes. In both listing orders.
TEST(WindowsFolders, NamesNotFoundInTheirFolderAreOpenedByTheirWholePath) {
    const struct {
        const char* what;
        std::uint32_t relative;  // the answer to every open in a folder's handle, the system's when 0
        std::wstring name;       // the name whose whole path answers `whole`
        std::uint32_t whole;
        bool deniesEa;           // opens for extended attributes are refused
        ScanStatistics stats;
    } rows[] = {
        {"object name not found", 0xC0000034, L"", 0, false, {7, 7, 7, 0, 0, 7}},
        {"object path not found", 0xC000003A, L"", 0, false, {7, 7, 7, 0, 0, 7}},
        {"bad network path", 0xC00000BE, L"", 0, false, {7, 7, 7, 0, 0, 7}},
        {"bad network name", 0xC00000CC, L"", 0, false, {7, 7, 7, 0, 0, 7}},
        {"b, gone", 0xC0000034, L"b", 0xC0000034, false, {5, 5, 5, 0, 0, 5}},
        {"b, its whole path too long to name", 0xC0000034, L"b", 0xC0000106, false, {5, 5, 5, 2, 0, 5}},
        {"in its folder, extended attributes refused", 0, L"", 0, true, {7, 7, 7, 0, 0, 7}},
        {"the start folder refused: found, not unreachable", 0, L"T", 0xC0000022, false, {1, 0, 0, 0, 0, 0}},
    };
    TempTree tree;
    tree.build({"T/x.scr", "T/a/y.scr", "T/a/b/z.scr", "T/a/c/w.scr"}, {{"T/l", "a"}});
    for (const auto& row : rows) for (const bool reversed : {false, true}) {
        const FileOpen open = [&row](void* folder, NativeView name, unsigned long access, unsigned long options,
                                     void*& handle) -> long {
            if (row.deniesEa && (access & FILE_READ_EA) != 0) return static_cast<long>(0xC0000022);
            if (folder != nullptr && row.relative != 0) return static_cast<long>(row.relative);
            if (folder == nullptr && row.whole != 0 && name.size() > 2 && name.substr(name.size() - 2) == L"\\" + row.name)
                return static_cast<long>(row.whole);
            return openFile(folder, name, access, options, handle);
        };
        const WalkOutcome w = walk(tree.path("T"), [&open, reversed]() -> std::unique_ptr<FolderStack> {
            if (reversed) return std::make_unique<ReversedFolders>(systemFoldersThrough({queryListing, open}));
            return systemFoldersThrough({queryListing, open});
        });
        EXPECT_EQ(w.stats, row.stats) << row.what << reversed;
    }
}

// ---- The walk on drive C: -----------------------------------------------

// A start path keeps the separators it was written with, and entries are
// joined to it with a backslash: from C:/Windows/System32 the entry
// C:/Windows/System32\config holds no protected pattern and is walked, while
// a recycle bin below it is skipped.
TEST(WindowsWalk, EntriesAreJoinedWithABackslashToTheStartAsWritten) {
    TempTree tree;
    tree.build({"T/a.txt", "Windows/System32/config/SAM.scr", "Windows/System32/config/$Recycle.Bin/r.scr",
                "trail./x.scr", "trail/y.pif"});
    const std::string root = tree.text();
    const std::string slashed = forwardSlashes(root);
    const struct {
        std::string start;
        std::string entry;
    } cases[] = {
        {root + "\\T", root + "\\T\\a.txt"},
        {root + "\\T\\", root + "\\T\\a.txt"},
        {slashed + "/T", slashed + "/T\\a.txt"},
        {slashed + "/T/", slashed + "/T/a.txt"},
        {slashed + "/Windows/System32", slashed + "/Windows/System32\\config\\SAM.scr"},
        {root + "\\trail.", root + "\\trail.\\x.scr"},  // a printed folder path scans again as it stands
    };
    for (const auto& c : cases) EXPECT_EQ(resultTexts(walk(asPath(c.start)).results), std::vector<std::string>{c.entry}) << c.start;
}

TEST(WindowsWalk, BareDriveStatusIsThatOfItsCurrentDirectory) {
    std::error_code ec;
    EXPECT_TRUE(fs::is_directory(startPathStatus("C:", ec)));
    EXPECT_FALSE(ec);
    // A drive without a device is still not found.
    EXPECT_EQ(startPathStatus("Q:", ec).type(), fs::file_type::not_found);
}

// About 4,600 characters, past the 4,096 bytes of a Linux path, below which
// Wine reads no volume for a handle: a link at the bottom back to its folder
// is still known for one on the walk path.
TEST(WindowsWalk, FoldersPastALinuxPathAreWalkedAndTheirLinksChecked) {
    TempTree tree;
    const std::string name(100, 'n');
    const fs::path top = tree.chain(45, "f.scr", name);
    std::string bottom = name;
    for (int level = 2; level <= 45; ++level) bottom += "/" + name;
    tree.link(bottom + "/up", "..");
    const std::string start = forwardSlashes(asText(top));
    const WalkOutcome w = walk(asPath(start));
    EXPECT_EQ(w.stats, (ScanStatistics{45, 45, 45, 1, 0, 45}));
    EXPECT_EQ(resultTexts(w.results), chainWalkOrder(start, top, 45, "f.scr", name));
}

// ---- Long-form system paths ------------------------------------------------

TEST(WindowsPaths, StartPathsTakeTheLongFormLexically) {
    const std::wstring cwd = fs::current_path().native();
    ASSERT_TRUE(cwd.size() > 3 && cwd[1] == L':') << "the tests run in a folder on a drive";
    const std::wstring drive = cwd.substr(0, 2);
    const struct {
        std::wstring start;
        std::wstring expected;
    } cases[] = {
        {LR"(C:\a\b)", LR"(\\?\C:\a\b)"},
        {LR"(C:/a//b/)", LR"(\\?\C:\a\b\)"},  // a final separator is kept
        {LR"(C:\a\..\..\b\.\c)", LR"(\\?\C:\b\c)"},
        {LR"(C:\)", LR"(\\?\C:\)"},
        {LR"(C:\T\trail.\sp \aux\nul.scr)", LR"(\\?\C:\T\trail.\sp \aux\nul.scr)"},
        {LR"(C:\T\...\dots..)", LR"(\\?\C:\T\...\dots..)"},
        {LR"(\\server\share\x\..\y)", LR"(\\?\UNC\server\share\y)"},
        {LR"(//server/share)", LR"(\\?\UNC\server\share\)"},
        {LR"(\\?\C:\a\..\b)", LR"(\\?\C:\a\..\b)"},  // already long: as it is
        {LR"(\\.\C:\a\..\b)", LR"(\\?\C:\b)"},
        {drive, LR"(\\?\)" + cwd},
        {drive + L"\\", LR"(\\?\)" + drive + L"\\"},  // its root, not its current folder
        {drive + LR"(sub\x)", LR"(\\?\)" + cwd + LR"(\sub\x)"},
        {LR"(sub/../x\y)", LR"(\\?\)" + cwd + LR"(\x\y)"},
        {LR"(.)", LR"(\\?\)" + cwd},
        {LR"(\rooted\x)", LR"(\\?\)" + drive + LR"(\rooted\x)"},
        {L"", L""},  // names nothing, not the current folder
    };
    for (const auto& c : cases) EXPECT_EQ(asText(systemPath(c.start)), asText(c.expected)) << asText(c.start);
}

// ---- The program's report --------------------------------------------------

TEST(WindowsReport, TurkishNamesAndArgumentKeepTheirUtf8Bytes) {
    TempTree tree;
    // "ışık İÇŞĞÜÖ" holding "çiçek.scr", "ÖRNEK.PİF" and "ğ.txt". The dotted
    // capital İ is not folded, so ".PİF" is no suspicious extension. The
    // argument is read from the UTF-16 command line: in a code page without
    // Ş (Wine's, here), a narrow argument would name the look-alike Sirket.
    const std::string folder = "\xc4\xb1\xc5\x9f\xc4\xb1k \xc4\xb0\xc3\x87\xc5\x9e\xc4\x9e\xc3\x9c\xc3\x96";
    const std::string flower = "\xc3\xa7i\xc3\xa7\x65k.scr";
    tree.build({folder + "/" + flower, folder + "/\xc3\x96RNEK.P\xc4\xb0" "F", folder + "/\xc4\x9f.txt",
                "\xC5\x9Eirket/" + flower, "Sirket/b.pif"});
    for (const std::string& name : {folder, std::string("\xC5\x9Eirket")}) {
        const std::string start = tree.text() + "\\" + name;
        const std::uint64_t files = name == folder ? 3 : 1;
        EXPECT_EQ(runDravelon({start}, inDirectory(tree.root())),
                  (Outcome{0, report(start, {1, files, files, 0, 0, 1}, {{start + "\\" + flower, kScreenSaverReason}}), ""}));
    }
    // An unpaired surrogate has no UTF-8 form.
    EXPECT_EQ(runDravelon({tree.text() + "\\x\xED\xA0\x80"}), (Outcome{2, banner(), errorLine("Hata: Belirtilen yol gecersiz.")}));
}

// A bare drive name walks that drive's current directory, which for the
// program is its working directory here. Its entries read C:name, so a
// recycle bin directly in it has no backslash before it and is walked.
TEST(WindowsReport, BareDriveNameWalksTheDrivesCurrentDirectory) {
    TempTree tree;
    tree.file("s.scr");
    tree.file("$Recycle.Bin/x.scr");
    tree.file("sub/$Recycle.Bin/y.scr");
    for (const std::string drive : {"C:", "c:"}) {
        std::vector<SuspiciousLine> lines;
        for (const std::string& name : listingOrder(tree.root())) {
            if (name == "s.scr") lines.push_back({drive + "s.scr", kScreenSaverReason});
            if (name == "$Recycle.Bin") lines.push_back({drive + "$Recycle.Bin\\x.scr", kScreenSaverReason});
        }
        // Directories: the drive's, $Recycle.Bin and sub; sub's recycle bin
        // (C:sub\$Recycle.Bin) is protected.
        EXPECT_EQ(runDravelon({drive}, inDirectory(tree.root())),
                  (Outcome{0, report(drive, {3, 2, 2, 0, 1, 2}, lines), ""}))
            << drive;
    }
}

}  // namespace
