// Dravelon's scanning engine: a walk over a directory tree that classifies
// every regular file outside the protected system areas by its extension.
#ifndef DRAVELON_SCANNER_H
#define DRAVELON_SCANNER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "listing.h"

/// The suspicious extensions (lower case, the dot included), in the order
/// they are tested, each with the reason text (UTF-8) that a file bearing it
/// is reported with.
struct SuspiciousExtension {
    std::string_view extension;
    std::string_view reason;
};
inline constexpr SuspiciousExtension kSuspiciousExtensions[] = {
    {".scr", "Ekran koruyucu uzantısı"},
    {".pif", "Eski Windows çalıştırılabilir uzantısı"},
};

/// One analysed file.
struct ScanResult {
    std::filesystem::path path;  ///< spelled as the walk formed it
    bool suspicious;
    std::string reason;  ///< UTF-8 reason text when suspicious, otherwise empty
};

/// One analysed file as the walk hands it to a visitor. The views are valid
/// only during the call.
struct ScanResultView {
    /// The text of the folder that holds the file, with the separator the
    /// walk put after it: the file's path text is `folder` followed by
    /// `name`. For a start path that is itself a file, `folder` is empty and
    /// `name` is the whole start path's text. On Windows a name that is not
    /// valid UTF-16 keeps its unpaired surrogates here (see nameText).
    std::string_view folder;
    std::string_view name;
    bool suspicious;
    /// UTF-8 reason text when suspicious, otherwise empty. It is one of the
    /// program's fixed texts, so it stays valid after the call.
    std::string_view reason;

    /// The file's path text as it is shown: each unpaired surrogate of a
    /// Windows name as U+FFFD.
    std::string text() const;
    /// The file's path, spelled as the walk formed it, every name as the
    /// system listed it.
    std::filesystem::path path() const;
};

/// Event counters of one or more walks; each event adds 1.
struct ScanStatistics {
    std::uint64_t directoriesDiscovered;
    std::uint64_t filesFound;
    std::uint64_t filesAnalyzed;
    std::uint64_t accessSkipped;
    std::uint64_t protectedSkipped;
    std::uint64_t suspiciousFound;
};

/// Receives every analysed file, in walk order, as the walk meets it.
using ScanVisitor = std::function<void(const ScanResultView&)>;
/// Told the text of each folder the walk lists, as it is shown (see
/// ScanResultView::text), when it starts listing it and again every few
/// thousand entries of it.
using ScanProgress = std::function<void(std::string_view folder)>;

/// The status of a start path, links followed, asked with its system path
/// (on Windows its long form, so that a bare drive name such as D: is
/// answered for that drive's current folder). On a failure other than
/// not-found it sets `ec` and answers file_type::none.
std::filesystem::file_status startPathStatus(const std::filesystem::path& path, std::error_code& ec);

class Scanner {
public:
    /// True when the path text, with ASCII capitals folded, contains one of the
    /// protected-area patterns. Touches no filesystem.
    bool isProtectedArea(const std::filesystem::path& path) const;

    /// True when the path's extension, with ASCII capitals folded, is on the
    /// suspicious list; `reason` then receives that entry's reason text.
    /// When false, `reason` is left untouched. Touches no filesystem.
    bool isSuspicious(const std::filesystem::path& path, std::string& reason) const;

    /// Walks `start` (a directory tree, or a single file) depth-first in
    /// listing order, following links, and returns one result per analysed
    /// file in visiting order. A folder already on the walk path (a loop) is
    /// not entered and counts in `accessSkipped`; one met again below links
    /// after a walk there is not entered and counts in
    /// `directoriesDiscovered`; a kernel's view met below the start (see
    /// OpenResult::systemArea) is not entered and counts in
    /// `protectedSkipped`. Every filesystem failure inside the walk
    /// becomes a count in `stats`; only a failure of the existence query on
    /// `start` itself propagates, as std::filesystem::filesystem_error.
    /// A start path that does not exist yields an empty list and no count.
    std::vector<ScanResult> scan(const std::filesystem::path& start, ScanStatistics& stats);

    /// The same walk, handing each analysed file to `visit` as it is met
    /// instead of keeping it, and telling `progress` (when given) which
    /// folder it lists. The folders are reached through what `open` makes.
    void scan(const std::filesystem::path& start, ScanStatistics& stats, const ScanVisitor& visit,
              const ScanProgress& progress = nullptr, const FolderOpener& open = systemFolders);
};

#endif
