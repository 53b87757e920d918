// The listing and queries where native paths are narrow: the standard
// directory iterator, whose listing reports entry kinds, and stat(2), which
// gives a kind and an identity in one call.
#include <sys/stat.h>

#include <cerrno>

#include "listing.h"
#include "scanner.h"

namespace fs = std::filesystem;

namespace {

bool isNotFound(const std::error_code& ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

// The kind the listing reported; only an entry of unknown type, or a link,
// costs a query here.
EntryKind kindOf(const fs::directory_entry& listed) {
    std::error_code ec;
    if (listed.is_symlink(ec)) return EntryKind::link;
    if (!ec && listed.is_regular_file(ec)) return EntryKind::file;
    if (!ec && listed.is_directory(ec)) return EntryKind::directory;
    if (!ec) return EntryKind::other;
    return isNotFound(ec) ? EntryKind::missing : EntryKind::unknown;
}

class PosixListing final : public Listing {
public:
    explicit PosixListing(fs::directory_iterator it) : it_(std::move(it)) {}

    bool next(ListedEntry& entry, std::error_code& ec) override {
        if (started_) it_.increment(ec);
        started_ = true;
        if (ec || it_ == fs::directory_iterator()) return false;
        // The iterator builds each entry's path; the name is its last part.
        const std::string& path = it_->path().native();
        entry.name = NativeView(path).substr(path.rfind('/') + 1);
        entry.kind = kindOf(*it_);
        return true;
    }

private:
    fs::directory_iterator it_;
    bool started_ = false;
};

// The path of `folder` as the path type holds it. Made from text, a path is
// split into all its names, which on a deep tree costs more than listing the
// folder; but the walk mostly goes down one folder at a time, so the path of
// the folder listed last is kept, and one a level below it is reached by
// adding the one name.
const fs::path& folderPath(const NativeString& folder) {
    static fs::path last;
    const std::string& known = last.native();
    std::size_t name = known.size() + (known.empty() || known.back() == '/' ? 0 : 1);
    if (!known.empty() && folder.size() > name && folder.compare(0, known.size(), known) == 0 &&
        (name == known.size() || folder[known.size()] == '/') && folder.find('/', name) == folder.npos) {
        last /= std::string_view(folder).substr(name);
        if (last.native() == folder) return last;
    }
    last = fs::path(folder);
    return last;
}

}  // namespace

std::unique_ptr<Listing> openListing(const NativeString& folder, std::error_code& ec) {
    fs::directory_iterator it(folderPath(folder), fs::directory_options::skip_permission_denied, ec);
    if (ec) return nullptr;
    return std::make_unique<PosixListing>(std::move(it));
}

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    ec.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        ec.assign(errno, std::generic_category());
        if (!isNotFound(ec)) return EntryKind::unknown;
        ec.clear();
        return EntryKind::missing;
    }
    if (identity != nullptr)
        *identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev), 0, static_cast<std::uint64_t>(st.st_ino), true};
    if (S_ISREG(st.st_mode)) return EntryKind::file;
    if (S_ISDIR(st.st_mode)) return EntryKind::directory;
    return EntryKind::other;
}

NativeString systemPath(const fs::path& start) { return start.native(); }

fs::path pathFromText(const std::string& text) { return fs::path(text); }
