#include "scanner.h"

#include <cctype>
#include <string_view>
#include <utility>

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

constexpr std::size_t kLongestPattern = [] {
    std::size_t longest = 0;
    for (std::string_view pattern : kProtectedPatterns) longest = pattern.size() > longest ? pattern.size() : longest;
    return longest;
}();

struct SuspiciousExtension {
    std::string_view extension;  // lower case
    const char* reason;          // UTF-8
};

constexpr SuspiciousExtension kSuspiciousExtensions[] = {
    {".scr", "Ekran koruyucu uzantısı"},
    {".pif", "Eski Windows çalıştırılabilir uzantısı"},
};

// How many entries of one folder the walk reads between two progress calls.
constexpr std::size_t kProgressEvery = 4096;

// Folds a byte the way the default "C" locale does: only A to Z change.
char fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// True when the text `head` followed by `tail`, folded, holds `pattern` at
// `pos`. The two parts are read where they lie, never joined.
bool matchesFolded(std::string_view head, std::string_view tail, std::size_t pos, std::string_view pattern) {
    if (head.size() + tail.size() - pos < pattern.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i, ++pos) {
        const char c = pos < head.size() ? head[pos] : tail[pos - head.size()];
        if (fold(c) != pattern[i]) return false;
    }
    return true;
}

bool protectedPatternAt(std::string_view head, std::string_view tail, std::size_t pos) {
    for (std::string_view pattern : kProtectedPatterns)
        if (matchesFolded(head, tail, pos, pattern)) return true;
    return false;
}

// True when the text `head` followed by `tail`, folded, holds a protected
// pattern that begins at `from` or later.
bool holdsProtectedPattern(std::string_view head, std::string_view tail, std::size_t from = 0) {
    for (std::size_t pos = head.find('\\', from); pos != head.npos; pos = head.find('\\', pos + 1))
        if (protectedPatternAt(head, tail, pos)) return true;
    for (std::size_t pos = tail.find('\\'); pos != tail.npos; pos = tail.find('\\', pos + 1))
        if (protectedPatternAt(head, tail, head.size() + pos)) return true;
    return false;
}

// The reason text for an extension's text (its dot included), or null when it
// is not on the suspicious list.
const char* reasonForExtension(std::string_view extension) {
    for (const SuspiciousExtension& row : kSuspiciousExtensions)
        if (extension.size() == row.extension.size() && matchesFolded(extension, {}, 0, row.extension))
            return row.reason;
    return nullptr;
}

// The same for a file name's text. By the standard rule the extension runs
// from the last dot, except in a name whose only dot is its first character.
const char* reasonForName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == name.npos) return nullptr;
    return reasonForExtension(name.substr(dot));
}

// The same for a path: the extension is found in the native text of its last
// element (its file name, when it has one), and only the extension is
// converted.
const char* reasonForPath(const fs::path& path) {
    auto last = path.end();
    if (last == path.begin()) return nullptr;
    --last;
    if (last->has_root_path()) return nullptr;  // a bare root: no file name
    const NativeString& name = last->native();
    const std::size_t dot = name.rfind(fs::path::value_type('.'));
    if (dot == 0 || dot == name.npos) return nullptr;
    std::string buffer;
    return reasonForExtension(nameText(NativeView(name).substr(dot), buffer));
}

bool isSeparator(fs::path::value_type c) { return c == fs::path::preferred_separator || c == '/'; }

// A listed subdirectory or file that waits until the listing is read whole,
// so that only one listing is ever open. It keeps its name, not its path.
struct Pending {
    NativeString name;
    EntryKind kind;         // file or directory, links followed
    bool link;              // a directory reached through a link
    FileIdentity identity;  // of a directory reached through a link
};

// One folder on the current walk path. Its text and its system path are the
// beginnings of the walk's two path buffers.
struct Level {
    std::size_t folderEnd;  // the folder's text is text_[0, folderEnd)
    std::size_t textEnd;    // ... followed by the separator its entries are joined with
    std::size_t systemEnd;  // system_[0, systemEnd) is its system path
    bool systemJoin;        // whether names are joined to that path with a separator
    bool protectedFolder;   // its own text holds a protected pattern (only a start folder can)
    bool belowLink;         // entered through a link, or below such a folder
    FileIdentity identity;  // read when first needed
    bool identityAsked;
    std::vector<Pending> pending;
    std::size_t next = 0;
};

// One walk from a start path: the depth-first visit in listing order, kept
// iterative so that a deep tree costs heap, not stack.
class Walk {
public:
    Walk(const Scanner& scanner, ScanStatistics& stats, const ScanVisitor& visit, const ScanProgress& progress,
         ListingOpener open)
        : scanner_(scanner), stats_(stats), visit_(visit), progress_(progress), open_(open) {}

    void run(const fs::path& start, const fs::file_status& status) {
        try {
            if (fs::is_directory(status)) {
                ++stats_.directoriesDiscovered;
                startFolder(start);
            } else if (fs::is_regular_file(status)) {
                startFile(start);
            }
        } catch (const fs::filesystem_error&) {
            ++stats_.accessSkipped;
        }
        while (!levels_.empty()) {
            Level& level = levels_.back();
            if (level.next == level.pending.size()) {
                levels_.pop_back();
                continue;
            }
            try {
                visitPending(levels_.size() - 1);
            } catch (const fs::filesystem_error&) {
                ++stats_.accessSkipped;
            }
        }
    }

private:
    void startFile(const fs::path& start) {
        ++stats_.filesFound;
        if (scanner_.isProtectedArea(start)) {
            ++stats_.protectedSkipped;
            return;
        }
        ++stats_.filesAnalyzed;
        const char* reason = reasonForPath(start);
        if (reason != nullptr) ++stats_.suspiciousFound;
        const std::string& text = pathText(start);
        visit_(ScanResultView{{}, text, reason != nullptr, reason != nullptr ? reason : ""});
    }

    void startFolder(const fs::path& start) {
        text_ = pathText(start);
        const std::size_t folderEnd = text_.size();
        // Entries are joined by the path type's rule: with a separator, but not
        // after one nor after a bare drive name such as D: (D:name).
        if ((start / fs::path("x")).native().size() == start.native().size() + 2)
            text_ += static_cast<char>(fs::path::preferred_separator);
        system_ = systemPath(start);
        std::error_code ec;
        const std::unique_ptr<Listing> listing = open_(system_, ec);
        if (!listing) {
            ++stats_.accessSkipped;
            return;
        }
        const bool protectedFolder = holdsProtectedPattern(text_, {});
        const bool systemJoin = !system_.empty() && !isSeparator(system_.back());
        levels_.push_back(
            Level{folderEnd, text_.size(), system_.size(), systemJoin, protectedFolder, false, {}, false, {}});
        read(*listing, nullptr);
    }

    // Reads the listing of the deepest level to its end; `first` is an entry
    // read from it already. A failure part-way is counted once; the entries
    // read before it are kept.
    //
    // What needs no later visit is done as it is read: the files listed
    // before the first subdirectory are analysed at once (nothing can come
    // before them in walk order), an entry whose kind cannot be told is
    // counted, and entries of other kinds are passed over. Files and
    // subdirectories from the first subdirectory on wait, in listing order.
    void read(Listing& listing, const ListedEntry* first) {
        if (progress_) progress_(folderText(levels_.back()));
        std::size_t count = 0;
        if (first != nullptr) listed(*first, ++count);
        ListedEntry entry;
        std::error_code ec;
        while (listing.next(entry, ec)) listed(entry, ++count);
        if (ec) ++stats_.accessSkipped;
    }

    void listed(const ListedEntry& entry, std::size_t count) {
        Level& level = levels_.back();
        if (count % kProgressEvery == 0 && progress_) progress_(folderText(level));
        try {
            switch (entry.kind) {
            case EntryKind::file:
                fileListed(entry.name, level);
                break;
            case EntryKind::directory:
                level.pending.push_back(Pending{NativeString(entry.name), EntryKind::directory, false, {}});
                break;
            case EntryKind::link:
                linkFound(entry.name, level);
                break;
            case EntryKind::unknown:
                ++stats_.accessSkipped;
                break;
            default:  // pipes, devices, sockets: passed over
                break;
            }
        } catch (const fs::filesystem_error&) {
            ++stats_.accessSkipped;
        }
    }

    // A link costs the one query that follows it, which also gives the
    // identity of the folder it leads to. A broken link is passed over.
    void linkFound(NativeView name, Level& level) {
        entrySystemPath(level, name);
        std::error_code ec;
        FileIdentity identity;
        switch (queryPath(system_, ec, &identity)) {
        case EntryKind::file:
            fileListed(name, level);
            break;
        case EntryKind::directory:
            level.pending.push_back(Pending{NativeString(name), EntryKind::directory, true, identity});
            break;
        case EntryKind::unknown:
            ++stats_.accessSkipped;
            break;
        default:
            break;
        }
    }

    // A file is dealt with at once unless a subdirectory was listed before it.
    void fileListed(NativeView name, Level& level) {
        if (level.pending.empty())
            fileFound(name, level);
        else
            level.pending.push_back(Pending{NativeString(name), EntryKind::file, false, {}});
    }

    // Counts and classifies one regular file of `level`, and hands it to the
    // visitor unless it is protected. Its path exists only as the folder's
    // text and its name.
    void fileFound(NativeView nativeName, const Level& level) {
        ++stats_.filesFound;
        const std::string_view name = nameText(nativeName, nameBuffer_);
        const std::string_view prefix(text_.data(), level.textEnd);
        if (isProtectedEntry(level, name)) {
            ++stats_.protectedSkipped;
            return;
        }
        ++stats_.filesAnalyzed;
        const char* reason = reasonForName(name);
        if (reason != nullptr) ++stats_.suspiciousFound;
        visit_(ScanResultView{prefix, name, reason != nullptr, reason != nullptr ? reason : ""});
    }

    // A pattern that the folder's own text does not hold can only begin in
    // its last few characters or in the name.
    bool isProtectedEntry(const Level& level, std::string_view name) const {
        const std::size_t from = level.textEnd >= kLongestPattern ? level.textEnd - kLongestPattern + 1 : 0;
        return level.protectedFolder || holdsProtectedPattern(std::string_view(text_.data(), level.textEnd), name, from);
    }

    // Visits the next waiting entry of the level at `index`, the deepest.
    // Entering a subdirectory adds a level, which may move the levels in
    // memory: nothing of the parent is touched after that.
    void visitPending(std::size_t index) {
        Level& level = levels_[index];
        Pending& entry = level.pending[level.next++];
        if (entry.kind == EntryKind::file) {
            fileFound(entry.name, level);
            return;
        }
        const std::string_view name = nameText(entry.name, nameBuffer_);
        if (isProtectedEntry(level, name)) {
            ++stats_.protectedSkipped;
            return;
        }
        entrySystemPath(level, entry.name);
        const bool belowLink = entry.link || level.belowLink;
        FileIdentity identity = entry.identity;
        if (belowLink) {
            std::error_code ec;
            if (!entry.link) queryPath(system_, ec, &identity);
            if (isOnWalkPath(identity)) {
                ++stats_.accessSkipped;
                return;
            }
        }

        // A listing that opens and yields an entry shows that the directory
        // still exists and is still a directory, so it needs no status query.
        // One that fails or yields nothing is followed by the status query
        // that tells the cases apart: gone, unreachable, no longer a
        // directory, or a directory that is empty, refused for lack of
        // permission, or failing.
        text_.resize(level.textEnd);
        text_.append(name);
        const std::size_t folderEnd = text_.size();
        text_ += static_cast<char>(fs::path::preferred_separator);
        std::error_code openError;
        const std::unique_ptr<Listing> listing = open_(system_, openError);
        ListedEntry first;
        std::error_code readError;
        if (listing && listing->next(first, readError)) {
            ++stats_.directoriesDiscovered;
            levels_.push_back(Level{folderEnd, text_.size(), system_.size(), true, false, belowLink, identity,
                                    belowLink, {}});
            read(*listing, &first);
            return;
        }
        std::error_code ec;
        switch (queryPath(system_, ec)) {
        case EntryKind::unknown:
            ++stats_.accessSkipped;
            break;
        case EntryKind::directory:
            ++stats_.directoriesDiscovered;
            if (!listing || readError) ++stats_.accessSkipped;
            break;
        case EntryKind::file:
            fileFound(entry.name, level);
            break;
        default:  // gone since it was listed, or now a pipe or the like
            break;
        }
    }

    // True when the folder `identity` is one on the current walk path.
    // Following such a link would walk the same tree again under an ever
    // longer path, and two of them in one folder would double the work at
    // every level. In a tree without links no subdirectory can be one. Below
    // a link to a directory D, though, a second link to an ancestor of D
    // leads on through plain subdirectories to D again. So below a link every
    // subdirectory is checked, elsewhere only links, which keeps the check
    // off ordinary trees. Each level's identity is read once, when first
    // needed; one that cannot be read matches nothing.
    bool isOnWalkPath(const FileIdentity& identity) {
        if (!identity.known) return false;
        for (Level& level : levels_) {
            if (!level.identityAsked) {
                level.identityAsked = true;
                std::error_code ec;
                queryPath(NativeString(system_, 0, level.systemEnd), ec, &level.identity);
            }
            if (sameFile(identity, level.identity)) return true;
        }
        return false;
    }

    // Puts the system path of `level`'s entry `name` in system_.
    void entrySystemPath(const Level& level, NativeView name) {
        system_.resize(level.systemEnd);
        if (level.systemJoin) system_ += fs::path::preferred_separator;
        system_.append(name);
    }

    std::string_view folderText(const Level& level) const { return std::string_view(text_.data(), level.folderEnd); }

    const Scanner& scanner_;
    ScanStatistics& stats_;
    const ScanVisitor& visit_;
    const ScanProgress& progress_;
    ListingOpener open_;
    std::string text_;        // the deepest folder's text and separator, then the name at hand
    NativeString system_;     // the same as the system spells it
    std::string nameBuffer_;  // a listed name's text, where it must be converted
    std::vector<Level> levels_;
};

}  // namespace

std::string ScanResultView::text() const {
    std::string whole;
    whole.reserve(folder.size() + name.size());
    return whole.append(folder).append(name);
}

fs::path ScanResultView::path() const { return pathFromText(text()); }

fs::file_status startPathStatus(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = startPathStatus(path, ec);
    if (status.type() == fs::file_type::none) throw fs::filesystem_error("cannot query the start path", path, ec);
    return status;
}

fs::file_status startPathStatus(const fs::path& path, std::error_code& ec) {
    ec.clear();
    NativeString system;
    try {
        system = systemPath(path);
    } catch (const fs::filesystem_error& error) {
        ec = error.code();
        return fs::file_status(fs::file_type::none);
    }
    switch (queryPath(system, ec)) {
    case EntryKind::file:
        return fs::file_status(fs::file_type::regular);
    case EntryKind::directory:
        return fs::file_status(fs::file_type::directory);
    case EntryKind::missing:
        return fs::file_status(fs::file_type::not_found);
    case EntryKind::unknown:
        return fs::file_status(fs::file_type::none);
    default:
        return fs::file_status(fs::file_type::unknown);
    }
}

bool Scanner::isProtectedArea(const fs::path& path) const {
    // A reference, not a view: where the text is converted it is a temporary.
    const std::string& text = pathText(path);
    return holdsProtectedPattern(text, {});
}

bool Scanner::isSuspicious(const fs::path& path, std::string& reason) const {
    const char* found = reasonForPath(path);
    if (found == nullptr) return false;
    reason = found;
    return true;
}

void Scanner::scan(const fs::path& start, ScanStatistics& stats, const ScanVisitor& visit,
                   const ScanProgress& progress, ListingOpener open) {
    // The one query whose failure reaches the caller.
    const fs::file_status status = startPathStatus(start);
    if (status.type() == fs::file_type::not_found) return;
    Walk(*this, stats, visit, progress, open).run(start, status);
}

std::vector<ScanResult> Scanner::scan(const fs::path& start, ScanStatistics& stats) {
    std::vector<ScanResult> results;
    scan(start, stats, [&results](const ScanResultView& result) {
        results.push_back(ScanResult{result.path(), result.suspicious, std::string(result.reason)});
    });
    return results;
}
