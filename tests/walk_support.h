// What the walk's tests share: results compared and printed, one walk of a
// start path, the identity of a path, and forms of the folders that list or
// fail on purpose.
#ifndef DRAVELON_TESTS_WALK_SUPPORT_H
#define DRAVELON_TESTS_WALK_SUPPORT_H

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "listing.h"
#include "scanner.h"

/// Results compare as spelled: the walk must form their paths exactly.
bool operator==(const ScanResult& a, const ScanResult& b);
void PrintTo(const ScanResult& r, std::ostream* os);

inline ScanResult plain(const std::filesystem::path& file) { return {file, false, ""}; }
inline ScanResult flagged(const std::filesystem::path& file, const std::string& reason) { return {file, true, reason}; }

/// The paths of `results` as text.
std::vector<std::string> resultTexts(const std::vector<ScanResult>& results);

struct WalkOutcome {
    std::vector<ScanResult> results;
    ScanStatistics stats;
};

/// The walk of `start` on the system's folders, in both forms: the list that
/// scan returns and the files handed to a visitor must be the same, with the
/// same counts, and (Windows) every handle opened must be closed again. With
/// `open`, only the visiting walk runs, on the folders that `open` makes.
WalkOutcome walk(const std::filesystem::path& start, const FolderOpener& open = nullptr);

/// Depth first in listing order, as the folders below `start` list their
/// names (in reverse when `reversed`): of two paths below `start` ("/" for
/// separators), the one whose first differing name comes first in the
/// listing of the folder where they part.
struct WalkOrder {
    std::filesystem::path start;
    bool reversed = false;
    bool operator()(const std::string& a, const std::string& b) const;
};

/// `paths` below `start`, the expectation, in walk order.
std::vector<std::string> inWalkOrder(std::vector<std::string> paths, const std::filesystem::path& start,
                                     bool reversed = false);

/// The identity of what `path` names, links followed, as the system answers
/// it for a start path.
FileIdentity identityOf(const std::filesystem::path& path);

#ifdef _WIN32
/// How many handles this process holds, as the system lists every process's.
std::size_t openHandles();
#endif

/// Folders (the system's, unless others are given) with every call passed on,
/// for tests to change what they need.
class ForwardingFolders : public FolderStack {
public:
    explicit ForwardingFolders(std::unique_ptr<FolderStack> folders = systemFolders()) : folders_(std::move(folders)) {}
    OpenedFolder openStart(const NativeString& start) override { return folders_->openStart(start); }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        return folders_->openChild(name, listed);
    }
    void leave() override { folders_->leave(); }
    EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) override {
        return folders_->query(name, ec, identity);
    }
    FileIdentity identity(std::size_t depth) override { return folders_->identity(depth); }

protected:
    const std::unique_ptr<FolderStack> folders_;
};

/// One entry of a FixedListing.
struct FixedEntry {
    NativeString name;
    EntryKind kind;
    FileIdentity identity{};
};

/// The entries of `listing`, read to its end; `end` receives its failure, if any.
std::vector<FixedEntry> readAll(Listing& listing, std::error_code& end);

/// A listing of fixed entries, whatever the folder holds, that ends with
/// `end` (a failure part-way when set).
class FixedListing final : public Listing {
public:
    explicit FixedListing(std::vector<FixedEntry> entries, std::error_code end = {})
        : entries_(std::move(entries)), end_(end) {}
    bool next(ListedEntry& entry, std::error_code& ec) override;

private:
    std::vector<FixedEntry> entries_;
    std::error_code end_;
    std::size_t at_ = 0;
};

/// The system's folders, each listed in the reverse of the system's order:
/// a case walked with these and with the system's folders meets every two
/// entries of a folder in both orders.
class ReversedFolders final : public ForwardingFolders {
public:
    using ForwardingFolders::ForwardingFolders;
    OpenedFolder openStart(const NativeString& start) override { return reversed(folders_->openStart(start)); }
    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        return reversed(folders_->openChild(name, listed));
    }

private:
    static OpenedFolder reversed(OpenedFolder opened);
};

#endif
