// What the walk asks of the system about folders and the entries in them. Each
// platform has its own form: listing_posix.cpp opens every folder by its name
// in its parent's open descriptor, listing_windows.cpp by its name in its
// parent's open handle; both reach any depth and take every name as it is
// listed.
#ifndef DRAVELON_LISTING_H
#define DRAVELON_LISTING_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

/// A path or a name in the system's own characters: UTF-16 on Windows, bytes
/// elsewhere.
using NativeString = std::filesystem::path::string_type;
using NativeView = std::basic_string_view<std::filesystem::path::value_type>;

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

/// The identity of a file whose ID (`high`, `low`) the system answered. Some
/// file servers answer 0, or all ones, for every file: such an ID says
/// nothing, and the identity is unknown.
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

/// What opening a folder found.
struct OpenedFolder {
    /// The folder's listing when it could be opened; the folder is then the
    /// deepest on the walk path.
    std::unique_ptr<Listing> listing;
    /// directory when listed. Otherwise what is there, links followed:
    /// directory (refused for lack of permission when `error` is clear,
    /// failing otherwise), file, other, missing, or unknown with `error` set.
    EntryKind kind = EntryKind::unknown;
    std::error_code error;
    /// The folder's identity where it comes with the opening (POSIX, and the
    /// start folder on Windows); otherwise unknown, and the listed entry or
    /// FolderPath::identity gives it.
    FileIdentity identity;
    /// Set, with `kind` directory, when a subfolder is not opened because it
    /// lies in a file system where the kernel shows its own state and no file
    /// can be stored (on Linux proc, sysfs and their like), reached as a
    /// mount point or through a link.
    bool systemArea = false;
};

/// The folders on the walk path, from the start folder down to the folder the
/// walk is in, as the system reaches them: on POSIX an open descriptor for
/// each, within a budget; on Windows an open handle for each. Only the deepest
/// folder is listed or opened below.
class FolderPath {
public:
    virtual ~FolderPath() = default;
    /// Opens the start folder, whose system path is `start`, as the first on
    /// the path. It is never missing, a file or unknown: a failure is a
    /// directory with `error` set.
    virtual OpenedFolder openStart(const NativeString& start) = 0;
    /// Opens the subfolder `name` of the deepest folder, links followed; a
    /// system area (see OpenedFolder::systemArea) is left closed.
    /// `listed` is its identity as the walk has it from the listing or from
    /// the query that followed its link, unknown when it has none (on
    /// Windows it gives the volume of the folder's entries).
    virtual OpenedFolder openChild(NativeView name, const FileIdentity& listed) = 0;
    /// Leaves the deepest folder.
    virtual void leave() = 0;
    /// What `name` in the deepest folder is, links followed: file, directory,
    /// other or missing; unknown with `ec` set when it cannot be told. When
    /// `identity` is given it receives the identity of what was found, if it
    /// can be read. Opens no file for reading.
    virtual EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) = 0;
    /// The identity of the folder at `depth` on the path (0: the start
    /// folder); unknown when it cannot be read.
    virtual FileIdentity identity(std::size_t depth) = 0;
};

/// The system's folders, for one walk.
std::unique_ptr<FolderPath> systemFolders();

/// The walk reaches its folders through what such a function makes:
/// systemFolders, or in tests a form that fails or lists on purpose.
using FolderOpener = std::function<std::unique_ptr<FolderPath>()>;

/// What is at the system path `path`, links followed, as FolderPath::query
/// answers it.
EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity = nullptr);

/// The system path of a start path. On Windows it is made absolute from the
/// current folder (of its drive) and put in the long form lexically: "/"
/// becomes "\", "." and ".." are resolved, and no name is trimmed or taken
/// for a device; a final separator is kept, so that a file named with one
/// is not found. A path already in the long form is kept as it is.
/// Elsewhere the path is used as it is. Throws
/// std::filesystem::filesystem_error when the current folder cannot be read.
NativeString systemPath(const std::filesystem::path& start);

/// The text of a listed name: the name itself where names are bytes. Where
/// names are UTF-16 it is UTF-8, written into `buffer`; a name that is not
/// valid UTF-16 keeps each unpaired surrogate as a three-byte form of its
/// own, so that no name is lost and the text can be turned back into the
/// name (nativeText). Never fails.
#ifdef _WIN32
std::string_view nameText(NativeView name, std::string& buffer);
#else
inline std::string_view nameText(NativeView name, std::string&) { return name; }
#endif

/// Text made by nameText as it is shown: on Windows each unpaired surrogate
/// becomes U+FFFD (written into `buffer` when there is one); elsewhere the
/// text itself.
#ifdef _WIN32
std::string_view shownText(std::string_view text, std::string& buffer);
#else
inline std::string_view shownText(std::string_view text, std::string&) { return text; }
#endif

/// The path or name whose text nameText made: the inverse of nameText.
#ifdef _WIN32
NativeString nativeText(std::string_view text);
#else
inline NativeString nativeText(std::string_view text) { return NativeString(text); }
#endif

#ifdef _WIN32
/// What one call for the next part of a folder's listing answered: the
/// system's status and, when it succeeded, the records it returned: `size`
/// bytes from `bytes`, at an even address, valid until the next call.
struct ListingPart {
    long status;
    const void* bytes;
    std::size_t size;
};

/// One such call (NtQueryDirectoryFile) for the folder open as the handle
/// `folder`: records of the information class `what` (a
/// FILE_INFORMATION_CLASS), from the listing's start when `restart`. The
/// system's form, queryListing, reads them into `buffer`, which holds
/// `length` bytes; another form may answer from anywhere.
using ListingQuery = std::function<ListingPart(void* folder, int what, bool restart, void* buffer, std::size_t length)>;
ListingPart queryListing(void* folder, int what, bool restart, void* buffer, std::size_t length);

/// The system's folders, each listed through `query`; systemFolders lists
/// them through queryListing.
std::unique_ptr<FolderPath> systemFoldersThrough(ListingQuery query);

/// The kind of a listed entry from its attributes and reparse tag: symbolic
/// links and junctions are links, so is a reparse folder whose tag cannot be
/// read; the Linux-subsystem links, FIFOs and devices and AF_UNIX sockets are
/// other; every other reparse point is the file or folder its attributes say.
EntryKind listedKind(std::uint32_t attributes, std::uint32_t tag);
#else
/// The kind of a listed entry from the type its listing gave (DT_REG,
/// DT_DIR, DT_LNK; a pipe, socket or device is other). An entry of unknown
/// type (DT_UNKNOWN: some file systems list no kinds) costs a status query
/// of `name` in the folder open as `dir`, links not followed: missing when
/// the entry is gone, unknown when the query fails, as it does in a folder
/// that can be listed but not searched.
EntryKind listedKind(int dir, unsigned char type, const char* name);
#endif

#endif
