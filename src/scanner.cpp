#include "scanner.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string_view>
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

// A listed subdirectory or file that waits until the listing is read whole,
// so that only one listing is ever being read. It keeps its name, not its
// path.
struct Pending {
    NativeString name;
    EntryKind kind;         // file or directory, links followed
    bool link;              // a directory reached through a link
    FileIdentity identity;  // of a directory, where the listing or a link's query gave it
};

// One folder on the current walk path. Its text is the beginning of the
// walk's text buffer.
struct Level {
    std::size_t folderEnd;  // the folder's text is text_[0, folderEnd)
    std::size_t textEnd;    // ... followed by the separator its entries are joined with
    bool protectedFolder;   // its own text holds a protected pattern (only a start folder can)
    bool belowLink;         // entered through a link, or below such a folder
    FileIdentity identity;  // when known
    bool identityAsked;     // known, or asked of the folders already
    std::vector<Pending> pending;
    std::size_t next = 0;
};

// An identity's hash, its bits mixed so that the low ones, which pick a slot
// in a table, depend on all of them.
std::uint64_t identityHash(std::uint64_t volume, std::uint64_t high, std::uint64_t low) {
    std::uint64_t h = low ^ (high * 0x9E3779B97F4A7C15u) ^ (volume * 0xC2B2AE3D27D4EB4Fu);
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9u;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBu;
    return h ^ (h >> 31);
}

// The identities of the folders walked below links, for the whole walk.
// Each is kept once, in blocks that never move, and found by its number in a
// table kept at most half full (open addressing): 24 bytes for each identity
// and 8 to 16 for its share of the table, 24 at most while the table grows.
// Nothing is taken until the first identity comes.
class IdentitySet {
public:
    // Adds `id` and answers true, or false when it is there already. An
    // identity that is not known is never kept, and always new.
    bool insert(const FileIdentity& id) {
        if (!id.known || size_ == kFree) return true;
        if ((std::size_t{size_} + 1) * 2 > table_.size()) grow();
        const Key key{id.volume, id.high, id.low};
        std::uint32_t& slot = slotFor(key);
        if (slot != kFree) return false;
        if (size_ % kBlock == 0) blocks_.push_back(std::make_unique<Key[]>(kBlock));
        blocks_.back()[size_ % kBlock] = key;
        slot = size_++;
        return true;
    }

private:
    struct Key {
        std::uint64_t volume, high, low;
        bool operator==(const Key& other) const {
            return volume == other.volume && high == other.high && low == other.low;
        }
    };
    static constexpr std::uint32_t kBlock = 1024;
    static constexpr std::uint32_t kFree = ~std::uint32_t{0};  // a free slot; also how many can be kept

    const Key& key(std::uint32_t number) const { return blocks_[number / kBlock][number % kBlock]; }

    // The slot that holds the key's number, or the free one where it belongs.
    std::uint32_t& slotFor(const Key& key) {
        const std::size_t mask = table_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(identityHash(key.volume, key.high, key.low)) & mask;;
             i = (i + 1) & mask) {
            std::uint32_t& slot = table_[i];
            if (slot == kFree || this->key(slot) == key) return slot;
        }
    }

    void grow() {
        std::vector<std::uint32_t>(table_.empty() ? 16 : table_.size() * 2, kFree).swap(table_);
        for (std::uint32_t number = 0; number < size_; ++number) slotFor(key(number)) = number;
    }

    std::vector<std::unique_ptr<Key[]>> blocks_;  // of kBlock keys each
    std::vector<std::uint32_t> table_;            // a power of two of slots, or none
    std::uint32_t size_ = 0;
};

struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const {
        return static_cast<std::size_t>(identityHash(id.volume, id.high, id.low));
    }
};
struct IdentityEqual {
    bool operator()(const FileIdentity& a, const FileIdentity& b) const { return sameFile(a, b); }
};

// One walk from a start path: the depth-first visit in listing order, kept
// iterative so that a deep tree costs heap, not stack.
class Walk {
public:
    Walk(const Scanner& scanner, ScanStatistics& stats, const ScanVisitor& visit, const ScanProgress& progress,
         const FolderOpener& open)
        : scanner_(scanner), stats_(stats), visit_(visit), progress_(progress), folders_(open()) {}

    void run(const fs::path& start, const fs::file_status& status) {
        try {
            if (fs::is_directory(status)) {
                ++stats_.directoriesDiscovered;
                startFolder(start);
            } else if (fs::is_regular_file(status)) {
                startFile(start);
            }
        } catch (const fs::filesystem_error&) {
            ++stats_.accessSkipped;  // the start folder's system path cannot be made
        }
        while (!levels_.empty()) {
            Level& level = levels_.back();
            if (level.next == level.pending.size())
                leave();
            else
                visitPending(level);
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
        const std::string& text = pathText(start);  // where it is converted, a temporary kept alive
        visit_(ScanResultView{{}, text, reason != nullptr, reason != nullptr ? reason : ""});
    }

    void startFolder(const fs::path& start) {
        text_ = pathText(start);
        const std::size_t folderEnd = text_.size();
        // Entries are joined by the path type's rule: with a separator, but not
        // after one nor after a bare drive name such as D: (D:name).
        if ((start / fs::path("x")).native().size() == start.native().size() + 2)
            text_ += static_cast<char>(fs::path::preferred_separator);
        const OpenedFolder opened = folders_->openStart(systemPath(start));
        if (!opened.listing) {
            if (opened.error) ++stats_.accessSkipped;
            return;
        }
        enter(Level{folderEnd, text_.size(), holdsProtectedPattern(text_, {}), false, opened.identity,
                    opened.identity.known, {}});
        read(*opened.listing);
    }

    // Reads the listing of the deepest level to its end. A failure part-way
    // is counted once; the entries read before it are kept.
    //
    // What needs no later visit is done as it is read: the files listed
    // before the first subdirectory are analysed at once (nothing can come
    // before them in walk order), an entry whose kind cannot be told is
    // counted, and entries of other kinds are passed over. Files and
    // subdirectories from the first subdirectory on wait, in listing order.
    void read(Listing& listing) {
        reportProgress();
        std::size_t count = 0;
        ListedEntry entry;
        std::error_code ec;
        while (listing.next(entry, ec)) {
            if (++count % kProgressEvery == 0) reportProgress();
            listed(entry, levels_.back());
        }
        if (ec) ++stats_.accessSkipped;
    }

    void listed(const ListedEntry& entry, Level& level) {
        switch (entry.kind) {
        case EntryKind::file:
            fileListed(entry.name, level);
            break;
        case EntryKind::directory:
            level.pending.push_back(Pending{NativeString(entry.name), EntryKind::directory, false, entry.identity});
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
    }

    // A link costs the one query that follows it, which also gives the
    // identity of the folder it leads to. A broken link is passed over.
    void linkFound(NativeView name, Level& level) {
        std::error_code ec;
        FileIdentity identity;
        switch (folders_->query(name, ec, &identity)) {
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

    // Visits the next waiting entry of `level`, the deepest. Entering a
    // subdirectory adds a level, which may move the levels in memory:
    // nothing of the parent is touched after that.
    void visitPending(Level& level) {
        const Pending& entry = level.pending[level.next++];
        if (entry.kind == EntryKind::file) {
            fileFound(entry.name, level);
            return;
        }
        const std::string_view name = nameText(entry.name, nameBuffer_);
        if (isProtectedEntry(level, name)) {
            ++stats_.protectedSkipped;
            return;
        }
        const OpenedFolder opened = folders_->openChild(entry.name, entry.identity);
        if (!opened.listing) {
            switch (opened.kind) {
            case EntryKind::unknown:
                ++stats_.accessSkipped;
                break;
            case EntryKind::directory:  // a kernel's view, or refused for lack of permission, or failing
                if (opened.systemArea) {
                    ++stats_.protectedSkipped;
                    break;
                }
                ++stats_.directoriesDiscovered;
                if (opened.error) ++stats_.accessSkipped;
                break;
            case EntryKind::file:
                fileFound(entry.name, level);
                break;
            default:  // gone since it was listed, or now a pipe or the like
                break;
            }
            return;
        }
        // The same folder as one on the walk path is not entered again. A
        // folder's identity comes with its opening (POSIX), with its listing
        // or with its link's query (Windows); where none came, it costs a
        // query, which only a folder below a link pays: in a tree without
        // links only a link can lead back, but below a link to a folder D a
        // second link to an ancestor of D leads on through plain
        // subdirectories to D again.
        const bool belowLink = entry.link || level.belowLink;
        FileIdentity identity = opened.identity.known ? opened.identity : entry.identity;
        const bool asked = identity.known || belowLink;
        if (!identity.known && belowLink) identity = folders_->identity(levels_.size());
        // A loop: walking it would end in a failure of the system, so it
        // counts as one.
        if (isOnWalkPath(identity)) {
            folders_->leave();
            ++stats_.accessSkipped;
            return;
        }
        // Below a link each folder is walked once: met again there, through
        // a second link or as a plain subfolder, it is a folder found and not
        // listed again, so that links which fan out cannot multiply the walk.
        // The tree reached without any link is walked whatever links lead
        // into it.
        ++stats_.directoriesDiscovered;
        if (belowLink && !walkedBelowLinks_.insert(identity)) {
            folders_->leave();
            return;
        }
        text_.resize(level.textEnd);
        text_.append(name);
        const std::size_t folderEnd = text_.size();
        text_ += static_cast<char>(fs::path::preferred_separator);
        enter(Level{folderEnd, text_.size(), false, belowLink, identity, asked, {}});
        read(*opened.listing);
    }

    // True when the folder `identity` is one on the current walk path, which
    // would walk the same tree again under an ever longer path, and two such
    // folders in one would double the work at every level. The identities of
    // the folders on the path are kept in a set; one that came without its
    // folder is read when first needed, and one that cannot be read matches
    // nothing.
    bool isOnWalkPath(const FileIdentity& identity) {
        if (!identity.known) return false;
        for (std::size_t depth = 0; unasked_ > 0 && depth < levels_.size(); ++depth) {
            Level& level = levels_[depth];
            if (level.identityAsked) continue;
            level.identityAsked = true;
            --unasked_;
            level.identity = folders_->identity(depth);
            if (level.identity.known) onPath_.insert(level.identity);
        }
        return onPath_.count(identity) != 0;
    }

    void enter(Level level) {
        if (!level.identityAsked) ++unasked_;
        if (level.identity.known) onPath_.insert(level.identity);
        levels_.push_back(std::move(level));
    }

    void leave() {
        const Level& level = levels_.back();
        if (!level.identityAsked) --unasked_;
        if (level.identity.known) onPath_.erase(onPath_.find(level.identity));
        levels_.pop_back();
        folders_->leave();
    }

    void reportProgress() {
        if (progress_) progress_(shownText(std::string_view(text_.data(), levels_.back().folderEnd), shownBuffer_));
    }

    const Scanner& scanner_;
    ScanStatistics& stats_;
    const ScanVisitor& visit_;
    const ScanProgress& progress_;
    const std::unique_ptr<FolderPath> folders_;
    std::string text_;         // the deepest folder's text and separator, then the name at hand
    std::string nameBuffer_;   // a listed name's text, where it must be converted
    std::string shownBuffer_;  // a folder's text as it is shown, where that differs
    std::vector<Level> levels_;
    std::unordered_multiset<FileIdentity, IdentityHash, IdentityEqual> onPath_;  // the known ones
    std::size_t unasked_ = 0;  // levels whose identity is not asked yet
    IdentitySet walkedBelowLinks_;
};

}  // namespace

std::string ScanResultView::text() const {
    std::string whole;
    whole.reserve(folder.size() + name.size());
    whole.append(folder).append(name);
    std::string buffer;
    const std::string_view shown = shownText(whole, buffer);
    return shown.data() == whole.data() ? whole : std::string(shown);
}

fs::path ScanResultView::path() const {
    std::string whole(folder);
    return fs::path(nativeText(whole.append(name)));
}

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
                   const ScanProgress& progress, const FolderOpener& open) {
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

namespace {

// The length of the beginning that `a` and `b` share, compared in ever
// smaller blocks: the cost of a long shared beginning is one pass of the
// library's block comparison.
std::size_t sharedLength(std::string_view a, std::string_view b) {
    const std::size_t size = a.size() < b.size() ? a.size() : b.size();
    std::size_t shared = 0;
    for (const std::size_t block : {1024, 32, 1})
        while (shared + block <= size && std::memcmp(a.data() + shared, b.data() + shared, block) == 0)
            shared += block;
    return shared;
}

void appendNumber(std::string& bytes, std::size_t number) {
    for (; number >= 0x80; number >>= 7) bytes += static_cast<char>(0x80 | (number & 0x7F));
    bytes += static_cast<char>(number);
}

std::size_t readNumber(std::string_view bytes, std::size_t& at) {
    std::size_t number = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        number |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if (byte < 0x80) return number;
    }
}

}  // namespace

void FindingList::add(std::string_view path, std::string_view reason) {
    std::size_t row = 0;
    if (!reason.empty()) {
        while (row < std::size(kSuspiciousExtensions) && reason != kSuspiciousExtensions[row].reason) ++row;
        if (row == std::size(kSuspiciousExtensions)) throw std::invalid_argument("not a reason text of the walk");
        ++row;
    }
    const std::size_t shared = sharedLength(last_, path);
    entries_ += static_cast<char>(row);
    appendNumber(entries_, shared);
    appendNumber(entries_, path.size() - shared);
    entries_.append(path.substr(shared));
    last_.resize(shared);
    last_.append(path.substr(shared));
}

void FindingList::forEach(const std::function<void(std::string_view path, std::string_view reason)>& visit) const {
    std::string path;
    for (std::size_t at = 0; at < entries_.size();) {
        const auto row = static_cast<unsigned char>(entries_[at++]);
        const std::size_t shared = readNumber(entries_, at);
        const std::size_t rest = readNumber(entries_, at);
        path.resize(shared);
        path.append(entries_, at, rest);
        at += rest;
        visit(path, row == 0 ? std::string_view() : kSuspiciousExtensions[row - 1].reason);
    }
}
