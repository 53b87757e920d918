#include "scanner.h"

#include <cctype>
#include <optional>
#include <unordered_set>
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

// The reason text for an extension's text (its dot included), or an empty
// one when it is not on the suspicious list.
std::string_view reasonForExtension(std::string_view extension) {
    for (const SuspiciousExtension& row : kSuspiciousExtensions)
        if (extension.size() == row.extension.size() && matchesFolded(extension, {}, 0, row.extension))
            return row.reason;
    return {};
}

// The same for a file name's text. By the standard rule the extension runs
// from the last dot, except in a name whose only dot is its first character.
std::string_view reasonForName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == name.npos) return {};
    return reasonForExtension(name.substr(dot));
}

// The same for a path: the extension is found in the native text of its last
// element (its file name, when it has one), and only the extension is
// converted.
std::string_view reasonForPath(const fs::path& path) {
    auto last = path.end();
    if (last == path.begin()) return {};
    --last;
    if (last->has_root_path()) return {};  // a bare root: no file name
    const NativeString& name = last->native();
    const std::size_t dot = name.rfind(fs::path::value_type('.'));
    if (dot == 0 || dot == name.npos) return {};
    std::string buffer;
    return reasonForExtension(nameText(NativeView(name).substr(dot), buffer));
}

// The hash of an identity, its bits mixed; cheap and never failing, so that
// a set keeps no copy of it.
struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const noexcept {
        std::uint64_t h = id.low ^ (id.high * 0x9E3779B97F4A7C15u) ^ (id.volume * 0xC2B2AE3D27D4EB4Fu);
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9u;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBu;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
};
struct IdentityEqual {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const { return sameFile(a, b); }
};
using IdentitySet = std::unordered_set<FileIdentity, IdentityHash, IdentityEqual>;

// The identities of the folders on the walk path, which the loop check
// looks in. A folder that comes without its identity is asked for it only
// when a check first needs it, so a walk that makes no check asks nothing.
// The known identities are kept in a set, so a check costs the same at any
// depth, and each folder is asked at most once.
class WalkPathIdentities {
public:
    explicit WalkPathIdentities(FolderStack& folders) : folders_(folders) {}

    // The walk enters a folder, whose identity is `identity`, or is not
    // asked yet when nullopt.
    void enter(const std::optional<FileIdentity>& identity) {
        if (!identity && firstUnasked_ > levels_.size()) firstUnasked_ = levels_.size();
        levels_.push_back(identity);
        if (identity && identity->known) known_.insert(*identity);
    }

    void leave() {
        if (levels_.back() && levels_.back()->known) known_.erase(known_.find(*levels_.back()));
        levels_.pop_back();
        if (firstUnasked_ >= levels_.size()) firstUnasked_ = kNone;
    }

    // True when `identity` is that of a folder on the walk path; one that
    // is not known matches none.
    bool holds(const FileIdentity& identity) {
        if (!identity.known) return false;
        for (std::size_t depth = firstUnasked_; depth < levels_.size(); ++depth) {
            if (levels_[depth]) continue;
            levels_[depth] = folders_.identity(depth);
            if (levels_[depth]->known) known_.insert(*levels_[depth]);
        }
        firstUnasked_ = kNone;
        return known_.count(identity) != 0;
    }

private:
    static constexpr std::size_t kNone = ~std::size_t{0};
    FolderStack& folders_;
    std::vector<std::optional<FileIdentity>> levels_;  // each folder's identity, once asked
    std::size_t firstUnasked_ = kNone;                  // the shallowest folder not asked yet, if any
    std::unordered_multiset<FileIdentity, IdentityHash, IdentityEqual> known_;
};

// A listed subdirectory or file that waits until the listing is read whole,
// so that only one listing is ever being read. It keeps its name, not its
// path.
struct Pending {
    NativeString name;
    EntryKind kind;         // file or directory, links followed
    bool link;              // a directory reached through a link
    FileIdentity identity;  // of a directory, where the listing or a link's query gave it
};

// One folder the walk is in. Its text is the beginning of the walk's text
// buffer.
struct VisitedFolder {
    std::size_t folderEnd;  // the folder's text is text_[0, folderEnd)
    std::size_t textEnd;    // ... followed by the separator its entries are joined with
    bool protectedFolder;   // its own text holds a protected pattern (only a start folder can)
    bool belowLink;         // entered through a link, or below such a folder
    std::vector<Pending> pending;
    std::size_t next = 0;
};

// One walk from a start path: the depth-first visit in listing order, kept
// iterative so that a deep tree costs heap, not stack.
class Walk {
public:
    Walk(const Scanner& scanner, ScanStatistics& stats, const ScanVisitor& visit, const ScanProgress& progress,
         const FolderOpener& open)
        : scanner_(scanner), stats_(stats), visit_(visit), progress_(progress), folders_(open()),
          walkPath_(*folders_) {}

    void run(const fs::path& start, const fs::file_status& status) {
        if (fs::is_directory(status))
            startFolder(start);
        else if (fs::is_regular_file(status))
            startFile(start);
        while (!visited_.empty()) {
            VisitedFolder& folder = visited_.back();
            if (folder.next == folder.pending.size())
                leave();
            else
                visitNext(folder);
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
        const std::string_view reason = reasonForPath(start);
        if (!reason.empty()) ++stats_.suspiciousFound;
        const std::string text = pathText(start);
        visit_(ScanResultView{{}, text, !reason.empty(), reason});
    }

    void startFolder(const fs::path& start) {
        text_ = pathText(start);
        const std::size_t folderEnd = text_.size();
        // Entries are joined by the path type's rule: with a separator, but not
        // after one nor after a bare drive name such as D: (D:name).
        if (start.has_filename()) text_ += static_cast<char>(fs::path::preferred_separator);
        OpenedFolder opened;
        try {
            opened = folders_->openStart(systemPath(start));
        } catch (const fs::filesystem_error&) {
            opened.result = OpenResult::failed;  // its system path cannot be made
        }
        if (!counted(opened)) return;
        walkPath_.enter(opened.identity.known ? std::optional<FileIdentity>(opened.identity) : std::nullopt);
        enter(VisitedFolder{folderEnd, text_.size(), holdsProtectedPattern(text_, {}), false, {}}, *opened.listing);
    }

    // Counts what opening a folder came to, once, by the one rule for all
    // folders: a folder refused for lack of permission is found, one that
    // fails is found and unreachable. True when it is listed, which counts
    // once the walk enters it.
    bool counted(const OpenedFolder& opened) {
        switch (opened.result) {
        case OpenResult::listed:
            return true;
        case OpenResult::refused:
            ++stats_.directoriesDiscovered;
            break;
        case OpenResult::failed:
            ++stats_.directoriesDiscovered;
            [[fallthrough]];
        case OpenResult::unknown:
            ++stats_.accessSkipped;
            break;
        case OpenResult::systemArea:
            ++stats_.protectedSkipped;
            break;
        default:  // gone, or a file, which the caller analyses
            break;
        }
        return false;
    }

    // Adds `folder` as the deepest, counts it found and reads its listing
    // to its end. A failure part-way is counted once; the entries read
    // before it are kept.
    //
    // What needs no later visit is done as it is read: the files listed
    // before the first subdirectory are analysed at once (nothing can come
    // before them in walk order), an entry whose kind cannot be told is
    // counted, and entries of other kinds are passed over. Files and
    // subdirectories from the first subdirectory on wait, in listing order.
    void enter(VisitedFolder folder, Listing& listing) {
        ++stats_.directoriesDiscovered;
        visited_.push_back(std::move(folder));
        reportProgress();
        std::size_t count = 0;
        ListedEntry entry;
        std::error_code ec;
        while (listing.next(entry, ec)) {
            if (++count % kProgressEvery == 0) reportProgress();
            sortEntry(entry, visited_.back());
        }
        if (ec) ++stats_.accessSkipped;
    }

    void leave() {
        visited_.pop_back();
        walkPath_.leave();
        folders_->leave();
    }

    // Deals with one listed entry now, or puts it among those that wait.
    void sortEntry(const ListedEntry& entry, VisitedFolder& folder) {
        switch (entry.kind) {
        case EntryKind::file:
            analyseInTurn(entry.name, folder);
            break;
        case EntryKind::directory:
            folder.pending.push_back(Pending{NativeString(entry.name), EntryKind::directory, false, entry.identity});
            break;
        case EntryKind::link:
            followLink(entry.name, folder);
            break;
        case EntryKind::unknown:
            ++stats_.accessSkipped;
            break;
        default:  // pipes, devices, sockets: passed over
            break;
        }
    }

    // A link costs the one query that follows it, which also gives the
    // identity of the folder it leads to. A broken link is passed over.
    void followLink(NativeView name, VisitedFolder& folder) {
        std::error_code ec;
        FileIdentity identity;
        switch (folders_->query(name, ec, &identity)) {
        case EntryKind::file:
            analyseInTurn(name, folder);
            break;
        case EntryKind::directory:
            folder.pending.push_back(Pending{NativeString(name), EntryKind::directory, true, identity});
            break;
        case EntryKind::unknown:
            ++stats_.accessSkipped;
            break;
        default:
            break;
        }
    }

    // A file is analysed at once unless a subdirectory was listed before it.
    void analyseInTurn(NativeView name, VisitedFolder& folder) {
        if (folder.pending.empty())
            analyse(name, folder);
        else
            folder.pending.push_back(Pending{NativeString(name), EntryKind::file, false, {}});
    }

    // Counts and classifies one regular file of `folder`, and hands it to
    // the visitor unless it is protected. Its path exists only as the
    // folder's text and its name.
    void analyse(NativeView nativeName, const VisitedFolder& folder) {
        ++stats_.filesFound;
        const std::string_view name = nameText(nativeName, nameBuffer_);
        if (isProtectedEntry(folder, name)) {
            ++stats_.protectedSkipped;
            return;
        }
        ++stats_.filesAnalyzed;
        const std::string_view reason = reasonForName(name);
        if (!reason.empty()) ++stats_.suspiciousFound;
        visit_(ScanResultView{std::string_view(text_.data(), folder.textEnd), name, !reason.empty(), reason});
    }

    // A pattern that the folder's own text does not hold can only begin in
    // its last few characters or in the name.
    bool isProtectedEntry(const VisitedFolder& folder, std::string_view name) const {
        const std::size_t from = folder.textEnd >= kLongestPattern ? folder.textEnd - kLongestPattern + 1 : 0;
        return folder.protectedFolder ||
               holdsProtectedPattern(std::string_view(text_.data(), folder.textEnd), name, from);
    }

    // Visits the next waiting entry of `folder`, the deepest.
    void visitNext(VisitedFolder& folder) {
        const Pending& entry = folder.pending[folder.next++];
        if (entry.kind == EntryKind::file) return analyse(entry.name, folder);
        const std::string_view name = nameText(entry.name, nameBuffer_);
        if (isProtectedEntry(folder, name)) {
            ++stats_.protectedSkipped;
            return;
        }
        OpenedFolder opened = folders_->openChild(entry.name, entry.identity);
        if (opened.result == OpenResult::file) analyse(entry.name, folder);
        if (counted(opened)) enterSubfolder(folder, entry, name, opened);
    }

    // Enters the subfolder `entry` of `folder`, open now as `opened`, unless
    // it leads back onto the walk path, or below links to a folder walked
    // there already. Adding a level may move the folders in memory: nothing
    // of `folder` or `entry` is touched after that.
    void enterSubfolder(const VisitedFolder& folder, const Pending& entry, std::string_view name,
                        OpenedFolder& opened) {
        // A folder's identity comes with its opening (POSIX), with its
        // listing or with its link's query (Windows); where none came, it
        // costs a query, which only a folder below a link pays: in a tree
        // without links only a link can lead back, but below a link to a
        // folder D a second link to an ancestor of D leads on through plain
        // subdirectories to D again.
        const bool belowLink = entry.link || folder.belowLink;
        FileIdentity identity = opened.identity.known ? opened.identity : entry.identity;
        if (!identity.known && belowLink) identity = folders_->identity(visited_.size());
        // A loop: walking it would end in a failure of the system, so it
        // counts as one. Where no identity can be had (some network and
        // user-mode file systems give none), no loop can be told: a link
        // below a link is not followed, so that none can form, and counts
        // as one too.
        if (walkPath_.holds(identity) || (!identity.known && entry.link && folder.belowLink)) {
            folders_->leave();
            ++stats_.accessSkipped;
            return;
        }
        // Below a link each folder is walked once: met again there, through
        // a second link or as a plain subfolder, it is a folder found and not
        // listed again, so that links which fan out cannot multiply the walk.
        // The tree reached without any link is walked whatever links lead
        // into it.
        if (belowLink && identity.known && !walkedBelowLinks_.insert(identity).second) {
            folders_->leave();
            ++stats_.directoriesDiscovered;
            return;
        }
        text_.resize(folder.textEnd);
        text_.append(name);
        const std::size_t folderEnd = text_.size();
        text_ += static_cast<char>(fs::path::preferred_separator);
        walkPath_.enter(identity.known || belowLink ? std::optional<FileIdentity>(identity) : std::nullopt);
        enter(VisitedFolder{folderEnd, text_.size(), false, belowLink, {}}, *opened.listing);
    }

    void reportProgress() {
        if (progress_) progress_(shownText(std::string_view(text_.data(), visited_.back().folderEnd), shownBuffer_));
    }

    const Scanner& scanner_;
    ScanStatistics& stats_;
    const ScanVisitor& visit_;
    const ScanProgress& progress_;
    const std::unique_ptr<FolderStack> folders_;
    WalkPathIdentities walkPath_;
    std::string text_;         // the deepest folder's text and separator, then the name at hand
    std::string nameBuffer_;   // a listed name's text, where it must be converted
    std::string shownBuffer_;  // a folder's text as it is shown, where that differs
    std::vector<VisitedFolder> visited_;
    IdentitySet walkedBelowLinks_;  // the folders walked below links, for the whole walk
};

}  // namespace

std::string ScanResultView::text() const {
    std::string whole = std::string(folder).append(name), buffer;
    return std::string(shownText(whole, buffer));
}

fs::path ScanResultView::path() const {
    std::string whole(folder);
    return fs::path(nativeText(whole.append(name)));
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
    return holdsProtectedPattern(pathText(path), {});
}

bool Scanner::isSuspicious(const fs::path& path, std::string& reason) const {
    const std::string_view found = reasonForPath(path);
    if (found.empty()) return false;
    reason = found;
    return true;
}

void Scanner::scan(const fs::path& start, ScanStatistics& stats, const ScanVisitor& visit,
                   const ScanProgress& progress, const FolderOpener& open) {
    // The one query whose failure reaches the caller.
    std::error_code ec;
    const fs::file_status status = startPathStatus(start, ec);
    if (ec) throw fs::filesystem_error("cannot query the start path", start, ec);
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
