// Dravelon's scanning engine: a walk over a directory tree that classifies
// every regular file outside the protected system areas by its extension.
#ifndef DRAVELON_SCANNER_H
#define DRAVELON_SCANNER_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

/// One analysed file.
struct ScanResult {
    std::filesystem::path path;  ///< spelled as the walk formed it
    bool suspicious;
    std::string reason;  ///< UTF-8 reason text when suspicious, otherwise empty
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

/// The narrow text of a path: UTF-8 where native paths are UTF-16, the native
/// bytes elsewhere. Throws std::filesystem::filesystem_error when a UTF-16
/// path cannot be converted.
#ifdef _WIN32
std::string pathText(const std::filesystem::path& path);
#else
inline const std::string& pathText(const std::filesystem::path& path) { return path.native(); }
#endif

/// Turns narrow text (a command-line argument) into a path: read as UTF-8
/// where native paths are UTF-16, as native bytes elsewhere. Throws
/// std::filesystem::filesystem_error when the text cannot be converted.
std::filesystem::path pathFromText(const std::string& text);

/// The status of a start path, links followed, as std::filesystem::status
/// gives it, except that a bare drive name such as D: is answered for the
/// directory it names (that drive's current directory).
#ifdef _WIN32
std::filesystem::file_status startPathStatus(const std::filesystem::path& path);
std::filesystem::file_status startPathStatus(const std::filesystem::path& path, std::error_code& ec);
#else
inline std::filesystem::file_status startPathStatus(const std::filesystem::path& path) {
    return std::filesystem::status(path);
}
inline std::filesystem::file_status startPathStatus(const std::filesystem::path& path, std::error_code& ec) {
    return std::filesystem::status(path, ec);
}
#endif

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
    /// file in visiting order. Every filesystem failure inside the walk
    /// becomes a count in `stats`; only a failure of the existence query on
    /// `start` itself propagates, as std::filesystem::filesystem_error.
    /// A start path that does not exist yields an empty list and no count.
    std::vector<ScanResult> scan(const std::filesystem::path& start, ScanStatistics& stats);
};

#endif
