// The Windows folders' parts that tests reach beyond the folders' contract:
// the system's calls, which a test can answer in their place, and the kinds
// of listed entries (listing_records.h). Only listing_windows.cpp and the
// tests include this.
#ifndef DRAVELON_LISTING_WINDOWS_H
#define DRAVELON_LISTING_WINDOWS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "listing.h"
#include "listing_records.h"

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

/// One open (NtCreateFile) of `name` in the folder open as the handle
/// `folder`, or of the whole system path `name` (\??\C:\...) when `folder`
/// is null, with `access` and `options`: the system's status, and the handle
/// when it succeeded. The system's form is openFile.
using FileOpen =
    std::function<long(void* folder, NativeView name, unsigned long access, unsigned long options, void*& handle)>;
long openFile(void* folder, NativeView name, unsigned long access, unsigned long options, void*& handle);

/// What identifies the file open as a handle: its 128-bit file ID (FileIdInfo)
/// and, when `index` is asked or the 128-bit one is not answered, its 64-bit
/// file index (GetFileInformationByHandle), each where the file system
/// answers it; on its volume, whose serial is the 64-bit one that comes with
/// the 128-bit ID where there is one, otherwise the 32-bit one. The system's
/// form is queryHandleIds.
struct HandleIds {
    std::uint64_t volume = 0;
    bool hasFull = false;  ///< FileIdInfo answered
    FileIdentity full;
    FileIdentity index;
};
using HandleIdQuery = std::function<HandleIds(void* handle, bool index)>;
HandleIds queryHandleIds(void* handle, bool index);

/// The calls the folders make of the system, each of which a test may answer
/// in its place.
struct WindowsCalls {
    ListingQuery query = queryListing;
    FileOpen open = openFile;
    HandleIdQuery ids = queryHandleIds;
};

/// The system's folders, reached through `calls`; systemFolders uses the
/// system's own.
std::unique_ptr<FolderStack> systemFoldersThrough(WindowsCalls calls);

#endif
