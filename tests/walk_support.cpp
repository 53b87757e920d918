#include "walk_support.h"

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>

#include <stdexcept>
#endif

#include <algorithm>

#include <gtest/gtest.h>

#include "expected.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

bool operator==(const ScanResult& a, const ScanResult& b) {
    return a.path.native() == b.path.native() && a.suspicious == b.suspicious && a.reason == b.reason;
}

void PrintTo(const ScanResult& r, std::ostream* os) {
    *os << '{' << asText(r.path) << ", " << (r.suspicious ? "suspicious" : "plain") << ", \"" << r.reason << "\"}";
}

std::vector<std::string> resultTexts(const std::vector<ScanResult>& results) {
    std::vector<std::string> texts;
    for (const ScanResult& result : results) texts.push_back(asText(result.path));
    return texts;
}

WalkOutcome walk(const fs::path& start, const FolderOpener& open) {
#ifdef _WIN32
    const std::size_t handles = openHandles();
#endif
    ScanStatistics stats{};
    std::vector<ScanResult> results = open ? std::vector<ScanResult>{} : Scanner().scan(start, stats);
    ScanStatistics visitedStats{};
    std::vector<ScanResult> visited;
    Scanner().scan(
        start, visitedStats,
        [&visited](const ScanResultView& result) {
            EXPECT_EQ(result.text(), std::string(result.folder) + std::string(result.name));
            visited.push_back({asPath(result.text()), result.suspicious, std::string(result.reason)});
        },
        nullptr, open ? open : systemFolders);
#ifdef _WIN32
    EXPECT_EQ(openHandles(), handles) << "handles left open";
#endif
    if (open) return {std::move(visited), visitedStats};
    EXPECT_EQ(visitedStats, stats) << "visiting and listing walks of " << asText(start);
    EXPECT_EQ(visited, results) << "visiting and listing walks of " << asText(start);
    return {std::move(results), stats};
}

bool WalkOrder::operator()(const std::string& a, const std::string& b) const {
    std::size_t at = 0;  // where the names that differ begin
    for (std::size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
        if (a[i] == '/') at = i + 1;
    std::vector<std::string> names = listingOrder(at == 0 ? start : asPath(joined(asText(start), a.substr(0, at - 1))));
    if (reversed) std::reverse(names.begin(), names.end());
    const auto rank = [&](const std::string& path) {
        return std::find(names.begin(), names.end(), path.substr(at, path.find('/', at) - at)) - names.begin();
    };
    return rank(a) < rank(b);
}

std::vector<std::string> inWalkOrder(std::vector<std::string> paths, const fs::path& start, bool reversed) {
    std::sort(paths.begin(), paths.end(), WalkOrder{start, reversed});
    return paths;
}

FileIdentity identityOf(const fs::path& path) {
    std::error_code ec;
    FileIdentity identity;
    EXPECT_NE(queryPath(systemPath(path), ec, &identity), EntryKind::unknown) << asText(path) << ": " << ec.message();
    return identity;
}

#ifdef _WIN32
std::size_t openHandles() {
    struct Entry {
        PVOID object;
        ULONG_PTR process;
        ULONG_PTR handle;
        ULONG access;
        USHORT trace, type;
        ULONG attributes, reserved;
    };
    const auto extendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
    std::vector<ULONG_PTR> buffer(1 << 14);
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(extendedHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), nullptr)) ==
           static_cast<NTSTATUS>(0xC0000004u))  // too small
        buffer.resize(buffer.size() * 2);
    if (!NT_SUCCESS(status)) throw std::runtime_error("cannot list the handles");
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + 2);
    return static_cast<std::size_t>(std::count_if(entries, entries + buffer[0], [](const Entry& entry) {
        return entry.process == GetCurrentProcessId();
    }));
}
#endif

bool FixedListing::next(ListedEntry& entry, std::error_code& ec) {
    if (at_ == entries_.size()) {
        ec = end_;
        return false;
    }
    const FixedEntry& fixed = entries_[at_++];
    entry = {fixed.name, fixed.kind, fixed.identity};
    return true;
}

std::vector<FixedEntry> readAll(Listing& listing, std::error_code& end) {
    std::vector<FixedEntry> entries;
    ListedEntry entry;
    while (listing.next(entry, end)) entries.push_back({NativeString(entry.name), entry.kind, entry.identity});
    return entries;
}

OpenedFolder ReversedFolders::reversed(OpenedFolder opened) {
    if (!opened.listing) return opened;
    std::error_code end;
    const std::vector<FixedEntry> entries = readAll(*opened.listing, end);
    opened.listing = std::make_unique<FixedListing>(std::vector<FixedEntry>(entries.rbegin(), entries.rend()), end);
    return opened;
}
