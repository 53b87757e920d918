#include "scanner.h"

#include <cctype>
#include <climits>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

// Lower-case substrings of a path text that mark the operating system's
// protected folders. Each begins with a backslash, so only a backslash can
// start a match.
constexpr std::string_view kProtectedPatterns[] = {
    "\\system volume information",
    "\\$recycle.bin",
    "\\windows\\system32\\config",
};

struct SuspiciousExtension {
    std::string_view extension;  // lower case
    const char* reason;          // UTF-8
};

constexpr SuspiciousExtension kSuspiciousExtensions[] = {
    {".scr", "Ekran koruyucu uzantısı"},
    {".pif", "Eski Windows çalıştırılabilir uzantısı"},
};

// Folds a byte the way the default "C" locale does: only A to Z change.
char fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// True when `text`, folded, starts at `pos` with the lower-case `pattern`.
bool matchesFolded(std::string_view text, std::size_t pos, std::string_view pattern) {
    if (text.size() - pos < pattern.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (fold(text[pos + i]) != pattern[i]) return false;
    return true;
}

// A listed file or subdirectory that waits until the listing is read whole,
// so that only one listing is ever open.
struct Entry {
    fs::path path;
    fs::file_type kind;  // regular or directory, links followed
    bool link;           // meaningful for directories only
};

// One directory on the current walk path, with the entries still to visit.
struct Level {
    fs::path dir;
    std::vector<Entry> entries;
    std::size_t next = 0;
    bool belowLink = false;  // entered through a link, or below such a directory
};

// The kind of a listed entry, links followed, and whether it is a link (or
// may be one), so that the walk checks a linked directory against the walk
// path. Throws filesystem_error when the kind cannot be determined.
#ifdef _WIN32
// Here the listing reports no kinds and is_symlink never answers true: one
// status query gives the kind, and a directory's reparse-point attribute,
// which symbolic links and junctions carry, tells whether it is a link.
fs::file_type listedKind(const fs::directory_entry& listed, bool& link) {
    const fs::file_type kind = listed.status().type();
    if (kind == fs::file_type::directory) {
        const DWORD attributes = GetFileAttributesW(listed.path().c_str());
        link = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    return kind;
}
#else
// Where the listing reports kinds, it answers for entries that are not links,
// and a link costs the one status query that follows it.
fs::file_type listedKind(const fs::directory_entry& listed, bool& link) {
    std::error_code ec;
    link = listed.is_symlink(ec) || ec;
    if (link) return listed.status().type();
    if (listed.is_regular_file()) return fs::file_type::regular;
    if (listed.is_directory()) return fs::file_type::directory;
    return fs::file_type::unknown;
}
#endif

// The kind of a listed entry as the walk uses it: regular, directory, none
// when it cannot be determined, anything else to be passed over.
fs::file_type readKind(const fs::directory_entry& listed, bool& link) {
    try {
        return listedKind(listed, link);
    } catch (const fs::filesystem_error&) {
        return fs::file_type::none;
    }
}

// Counts and classifies one regular file, and records it unless protected.
void analyseFile(const Scanner& scanner, fs::path&& file, ScanStatistics& stats, std::vector<ScanResult>& results) {
    ++stats.filesFound;
    if (scanner.isProtectedArea(file)) {
        ++stats.protectedSkipped;
        return;
    }
    ++stats.filesAnalyzed;
    std::string reason;
    const bool suspicious = scanner.isSuspicious(file, reason);
    if (suspicious) ++stats.suspiciousFound;
    results.push_back(ScanResult{std::move(file), suspicious, std::move(reason)});
}

// Reads an opened listing to its end and closes it. A failure part-way is
// counted once; the entries read before it are kept.
//
// What needs no later visit is done as it is read: the files listed before
// the first subdirectory are analysed at once (nothing can come before them
// in the results), an entry whose kind cannot be told is counted, and entries
// of other kinds are passed over. Files and subdirectories from the first
// subdirectory on wait in the returned list, in listing order.
std::vector<Entry> readListing(const Scanner& scanner, fs::directory_iterator it, ScanStatistics& stats,
                               std::vector<ScanResult>& results) {
    std::vector<Entry> entries;
    std::error_code ec;
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& listed = *it;
        bool link = false;
        const fs::file_type kind = readKind(listed, link);
        if (kind == fs::file_type::none) {
            ++stats.accessSkipped;
        } else if (kind == fs::file_type::regular && entries.empty()) {
            try {
                analyseFile(scanner, fs::path(listed.path()), stats, results);
            } catch (const fs::filesystem_error&) {
                ++stats.accessSkipped;
            }
        } else if (kind == fs::file_type::regular || kind == fs::file_type::directory) {
            entries.push_back(Entry{listed.path(), kind, link});
        }
    }
    if (ec) ++stats.accessSkipped;
    return entries;
}

// Opens the listing of `dir`. A listing refused for lack of permission is
// empty and raises no error.
fs::directory_iterator openListing(const fs::path& dir, std::error_code& ec) {
    return fs::directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
}

// True when `dir` is the same directory as one on the current walk path.
// Following such a link would walk the same tree again under an ever longer
// path, and two of them in one folder would double the work at every level.
// In a tree without links no subdirectory can be one. Below a link to a
// directory D, though, a second link to an ancestor of D leads on through
// plain subdirectories to D again. So below a link every subdirectory is
// checked, elsewhere only links, which keeps the check off ordinary trees.
bool isOnWalkPath(const fs::path& dir, const std::vector<Level>& walkPath) {
    for (const Level& level : walkPath) {
        std::error_code ec;
        if (fs::equivalent(dir, level.dir, ec)) return true;
    }
    return false;
}

// The narrow text of a file name's extension, which starts at `dot`. Where
// native paths are narrow it is read in place; elsewhere the extension alone
// is converted (into `converted`), as it is all that classification needs.
template <typename Char>
std::string_view extensionText(const std::basic_string<Char>& name, std::size_t dot, std::string& converted) {
    if constexpr (std::is_same_v<Char, char>) {
        return std::string_view(name).substr(dot);
    } else {
        converted = pathText(fs::path(name.substr(dot)));
        return converted;
    }
}

}  // namespace

#ifdef _WIN32
// u8string throws filesystem_error on an unpaired surrogate, high or low.
std::string pathText(const fs::path& path) { return path.u8string(); }

// Strict UTF-8: text that is not valid UTF-8 (encoded surrogates and overlong
// forms included) cannot become a path.
fs::path pathFromText(const std::string& text) {
    if (text.empty()) return fs::path();
    const auto invalid = [] {
        return fs::filesystem_error("Cannot convert character sequence",
                                    std::make_error_code(std::errc::illegal_byte_sequence));
    };
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw invalid();
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (units <= 0) throw invalid();
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units) != units)
        throw invalid();
    return fs::path(std::move(wide));
}

namespace {

// D:, e: and the like: a drive letter and a colon, nothing more.
bool isBareDriveName(const fs::path& path) {
    const std::wstring& text = path.native();
    return text.size() == 2 && text[1] == L':' &&
           ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
}

}  // namespace

// The status queries answer "not found" for a bare drive name, though it
// names that drive's current directory; its full path is asked about instead.
// The walk still joins entries to the name as given, so they read D:name.
fs::file_status startPathStatus(const fs::path& path) {
    if (isBareDriveName(path)) return fs::status(fs::absolute(path));
    return fs::status(path);
}

fs::file_status startPathStatus(const fs::path& path, std::error_code& ec) {
    if (!isBareDriveName(path)) return fs::status(path, ec);
    const fs::path directory = fs::absolute(path, ec);
    if (ec) return fs::file_status{};
    return fs::status(directory, ec);
}
#else
fs::path pathFromText(const std::string& text) { return fs::path(text); }
#endif

bool Scanner::isProtectedArea(const fs::path& path) const {
    // A reference, not a view: where the text is converted it is a temporary.
    const std::string& text = pathText(path);
    for (std::size_t pos = text.find('\\'); pos != std::string::npos; pos = text.find('\\', pos + 1))
        for (std::string_view pattern : kProtectedPatterns)
            if (matchesFolded(text, pos, pattern)) return true;
    return false;
}

bool Scanner::isSuspicious(const fs::path& path, std::string& reason) const {
    // The extension is found in the native text of the path's last element
    // (its file name, when it has one) rather than built as a path of its own
    // for every file the walk analyses.
    auto last = path.end();
    if (last == path.begin()) return false;
    --last;
    if (last->has_root_path()) return false;  // a bare root: no file name
    const auto& name = last->native();
    // The standard rule: from the last dot on, except in a name whose only
    // dot is its first character. (".." has none either; its "." could not
    // match anyway.)
    const std::size_t dot = name.rfind(fs::path::value_type('.'));
    if (dot == 0 || dot == name.npos) return false;
    std::string converted;
    const std::string_view text = extensionText(name, dot, converted);
    for (const SuspiciousExtension& row : kSuspiciousExtensions) {
        if (text.size() == row.extension.size() && matchesFolded(text, 0, row.extension)) {
            reason = row.reason;
            return true;
        }
    }
    return false;
}

std::vector<ScanResult> Scanner::scan(const fs::path& start, ScanStatistics& stats) {
    std::vector<ScanResult> results;
    // The one query whose failure reaches the caller.
    const fs::file_status startStatus = startPathStatus(start);
    if (startStatus.type() == fs::file_type::not_found) return results;

    // The walk is iterative: a deep tree costs heap, not stack, and only the
    // listing being read is open.
    std::vector<Level> walkPath;
    try {
        if (fs::is_directory(startStatus)) {
            ++stats.directoriesDiscovered;
            std::error_code ec;
            fs::directory_iterator listing = openListing(start, ec);
            if (ec) {
                ++stats.accessSkipped;
            } else {
                walkPath.push_back(Level{start, readListing(*this, std::move(listing), stats, results)});
            }
        } else if (fs::is_regular_file(startStatus)) {
            analyseFile(*this, fs::path(start), stats, results);
        }
    } catch (const fs::filesystem_error&) {
        ++stats.accessSkipped;
    }

    while (!walkPath.empty()) {
        Level& level = walkPath.back();
        if (level.next == level.entries.size()) {
            walkPath.pop_back();
            continue;
        }
        Entry& entry = level.entries[level.next++];
        try {
            if (entry.kind == fs::file_type::regular) {
                analyseFile(*this, std::move(entry.path), stats, results);
            } else if (entry.kind == fs::file_type::directory) {
                if (isProtectedArea(entry.path)) {
                    ++stats.protectedSkipped;
                    continue;
                }
                const bool belowLink = entry.link || level.belowLink;
                if (belowLink && isOnWalkPath(entry.path, walkPath)) {
                    ++stats.accessSkipped;
                    continue;
                }
                // A listing that opens and yields an entry shows that the
                // directory still exists and is still a directory, so it
                // needs no status query. One that fails or yields nothing is
                // followed by the status query that tells the cases apart:
                // gone, unreachable, no longer a directory, or a directory
                // that is empty, refused for lack of permission, or failing.
                std::error_code openError;
                fs::directory_iterator listing = openListing(entry.path, openError);
                if (!openError && listing != fs::directory_iterator()) {
                    ++stats.directoriesDiscovered;
                    std::vector<Entry> entries = readListing(*this, std::move(listing), stats, results);
                    walkPath.push_back(Level{std::move(entry.path), std::move(entries), 0, belowLink});
                    continue;
                }
                std::error_code ec;
                const fs::file_status status = fs::status(entry.path, ec);
                if (status.type() == fs::file_type::not_found) continue;
                if (ec) {
                    ++stats.accessSkipped;
                } else if (fs::is_directory(status)) {
                    ++stats.directoriesDiscovered;
                    if (openError) ++stats.accessSkipped;
                } else if (fs::is_regular_file(status)) {
                    analyseFile(*this, std::move(entry.path), stats, results);
                }
            }
        } catch (const fs::filesystem_error&) {
            ++stats.accessSkipped;
        }
    }
    return results;
}
