// What the walk asks of the system about folders and the entries in them. Each
// platform has its own form: listing_posix.cpp opens every folder by its name
// in its parent's open descriptor, listing_windows.cpp by its name in its
// parent's open handle; both reach any depth and take every name as it is
// listed.
#ifndef DRAVELON_LISTING_H
#define DRAVELON_LISTING_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "path_text.h"

/// What an entry is. A listing reports file, directory, link, other, missing
/// or unknown; a query, which follows links, answers file, directory, other,
/// missing or unknown.
enum class EntryKind : unsigned char {
    file,       ///< a regular file
    directory,  ///< a folder
    link,       ///< a link, not yet followed (on Windows also a reparse folder whose tag cannot be read)
    other,      ///< a pipe, socket, device or anything else the walk passes over
    missing,    ///< nothing there: a broken link, or an entry gone since it was listed
    unknown,    ///< the kind could not be found
};

/// Which file an entry is, whatever the path that reaches it: device and inode
/// on POSIX, volume and file ID on Windows.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool known = false;  ///< false when it could not be read
};

/// The identity of a file whose ID (`high`, `low`) the system answered. An ID
/// of 0, or of all ones, means "none" (some file servers answer it for every
/// file): the identity is then unknown.
inline FileIdentity fileIdentity(std::uint64_t volume, std::uint64_t high, std::uint64_t low) {
    const std::uint64_t ones = ~std::uint64_t{0};
    const bool meaningless = (low == 0 && high == 0) || (low == ones && (high == 0 || high == ones));
    return FileIdentity{volume, high, low, !meaningless};
}

/// True when both identities are known and name the same file.
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.volume == b.volume && a.high == b.high && a.low == b.low;
}

/// One listed entry; `name` stays valid until the listing moves on.
struct ListedEntry {
    NativeView name;
    EntryKind kind = EntryKind::unknown;
    /// The identity of a directory where it comes with the listing (Windows);
    /// otherwise unknown.
    FileIdentity identity;
};

/// An open folder listing, read once from start to end. It never yields the
/// dot and dot-dot entries.
class Listing {
public:
    virtual ~Listing() = default;
    /// Reads the next entry. Returns false at the end, and also when reading
    /// fails part-way, which sets `ec`.
    virtual bool next(ListedEntry& entry, std::error_code& ec) = 0;
};

/// What came of opening a folder.
enum class OpenResult : unsigned char {
    listed,      ///< open and listed: it is the deepest folder on the stack now
    refused,     ///< a folder that refuses its listing for lack of permission
    failed,      ///< a folder that cannot be opened for another reason
    systemArea,  ///< a folder in a file system where the kernel shows its own state, left closed
    gone,        ///< nothing there any more, or what the walk passes over (a pipe, a device)
    file,        ///< a regular file after all
    unknown,     ///< what is there cannot be told
};

/// What came of an open that failed, from what a query then found there
/// (`kind`, links followed) and whether the open was refused for lack of
/// permission.
inline OpenResult unopened(EntryKind kind, bool denied) {
    switch (kind) {
    case EntryKind::directory:
        return denied ? OpenResult::refused : OpenResult::failed;
    case EntryKind::file:
        return OpenResult::file;
    case EntryKind::unknown:
        return OpenResult::unknown;
    default:
        return OpenResult::gone;
    }
}

/// A folder as its opening found it.
struct OpenedFolder {
    OpenResult result = OpenResult::unknown;
    /// The folder's listing, when listed.
    std::unique_ptr<Listing> listing;
    /// The folder's identity where it comes with the opening (POSIX, and the
    /// start folder on Windows); otherwise unknown, and the listed entry or
    /// FolderStack::identity gives it.
    FileIdentity identity;
    /// Why it failed or is unknown, for messages.
    std::error_code error;
};

/// The folders open on the walk path, from the start folder down to the
/// folder the walk is in: on POSIX a descriptor for each, within a budget; on
/// Windows a handle for each. Only the deepest folder is listed or opened
/// below.
class FolderStack {
public:
    virtual ~FolderStack() = default;
    /// Opens the start folder, whose system path is `start`, as the first on
    /// the stack. It is listed, refused or failed.
    virtual OpenedFolder openStart(const NativeString& start) = 0;
    /// Opens the subfolder `name` of the deepest folder, links followed; a
    /// system area is left closed. `listed` is its identity as the walk has
    /// it from the listing or from the query that followed its link, unknown
    /// when it has none (on Windows it gives the volume of the folder's
    /// entries).
    virtual OpenedFolder openChild(NativeView name, const FileIdentity& listed) = 0;
    /// Closes the deepest folder.
    virtual void leave() = 0;
    /// What `name` in the deepest folder is, links followed: file, directory,
    /// other or missing; unknown with `ec` set when it cannot be told. When
    /// `identity` is given it receives the identity of what was found, if it
    /// can be read. Opens no file for reading.
    virtual EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) = 0;
    /// The identity of the folder at `depth` on the stack (0: the start
    /// folder); unknown when it cannot be read.
    virtual FileIdentity identity(std::size_t depth) = 0;
};

/// The system's folders, for one walk.
std::unique_ptr<FolderStack> systemFolders();

/// The walk reaches its folders through what such a function makes:
/// systemFolders, or in tests a form that fails or lists on purpose.
using FolderOpener = std::function<std::unique_ptr<FolderStack>()>;

/// What is at the system path `path`, links followed, as FolderStack::query
/// answers it.
EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity = nullptr);

#endif
