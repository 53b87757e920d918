// What the walk asks of the system about folders and the entries in them. Each
// platform has its own form: listing_posix.cpp through the standard directory
// iterator, listing_windows.cpp through the system's directory search.
//
// Paths handed to these functions are system paths: on POSIX the path as the
// walk formed it, on Windows its long form (\\?\C:\..., \\?\UNC\server\share\...),
// which reaches any depth and takes every name as it is listed.
#ifndef DRAVELON_LISTING_H
#define DRAVELON_LISTING_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

/// A path or a name in the system's own characters: UTF-16 on Windows, bytes
/// elsewhere.
using NativeString = std::filesystem::path::string_type;
using NativeView = std::basic_string_view<std::filesystem::path::value_type>;

/// What an entry is. A listing reports file, directory, link, other or
/// unknown; a query, which follows links, answers file, directory, other or
/// missing.
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

/// True when both identities are known and name the same file.
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.volume == b.volume && a.high == b.high && a.low == b.low;
}

/// One listed entry; `name` stays valid until the listing moves on.
struct ListedEntry {
    NativeView name;
    EntryKind kind = EntryKind::unknown;
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

/// Opens the listing of the folder whose system path is `folder`. A listing
/// refused for lack of permission is empty and sets no error. On failure
/// returns null and sets `ec`.
std::unique_ptr<Listing> openListing(const NativeString& folder, std::error_code& ec);

/// The walk opens every listing through such a function: openListing, or in
/// tests one that fails on purpose.
using ListingOpener = std::unique_ptr<Listing> (*)(const NativeString& folder, std::error_code& ec);

/// What is at the system path `path`, links followed: file, directory, other
/// or missing; unknown with `ec` set when the query fails otherwise. When
/// `identity` is given it receives the identity of what was found, if it can
/// be read. Opens no file for reading.
EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity = nullptr);

/// The system path of a start path. On Windows it is made absolute from the
/// current folder (of its drive) and put in the long form lexically: "/"
/// becomes "\", "." and ".." are resolved, and no name is trimmed or taken
/// for a device. A path already in the long form is kept as it is.
/// Elsewhere the path is used as it is. Throws
/// std::filesystem::filesystem_error when the current folder cannot be read.
NativeString systemPath(const std::filesystem::path& start);

/// The text of a listed name: UTF-8 where names are UTF-16, converted into
/// `buffer`; the name itself elsewhere. Throws
/// std::filesystem::filesystem_error when a UTF-16 name cannot be converted.
#ifdef _WIN32
std::string_view nameText(NativeView name, std::string& buffer);
#else
inline std::string_view nameText(NativeView name, std::string&) { return name; }
#endif

#endif
