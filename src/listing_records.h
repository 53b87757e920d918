// The records a Windows folder's listing is read in, read from their bytes
// alone: no I/O and no system call, so every build compiles it and its tests
// run on every platform. listing_windows.cpp fills the bytes.
#ifndef DRAVELON_LISTING_RECORDS_H
#define DRAVELON_LISTING_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "listing.h"

/// Where the records of one information class keep their fields. Every
/// record begins with the same fields: the offset of the next record (0 for
/// the last) at 0, the attributes at 56, the name's length in bytes at 60.
/// The reparse tag (at `tagAt`, 0 where the class has none), the file ID (at
/// `idAt`, 0 where none) and the name (at `nameAt`) follow where each class
/// has them.
struct RecordLayout {
    int what;  ///< the FILE_INFORMATION_CLASS
    std::size_t nameAt;
    std::size_t tagAt;
    std::size_t idAt;
    bool fullId;  ///< the ID has 128 bits, not 64
};

constexpr std::size_t kAttributesAt = 56;
constexpr std::size_t kNameLengthAt = 60;
/// Where a reparse point's tag lies in a class that has no field for it: in
/// the EA size.
constexpr std::size_t kTagInEaSize = 64;

/// The classes a folder is listed in, in the order they are tried, down to
/// the one every file system answers: FileIdExtdDirectoryInformation (128-bit
/// IDs), FileIdBothDirectoryInformation (64-bit IDs), then
/// FileBothDirectoryInformation, FileFullDirectoryInformation and
/// FileDirectoryInformation, which have none.
constexpr RecordLayout kRecordLayouts[] = {
    {60, 0x58, 0x44, 0x48, true},
    {37, 0x68, kTagInEaSize, 0x60, false},
    {3, 0x5E, kTagInEaSize, 0, false},
    {2, 0x44, kTagInEaSize, 0, false},
    {1, 0x40, 0, 0, false},
};

/// One entry as its record gives it. `name` points into the record's bytes.
struct ListedRecord {
    std::u16string_view name;
    EntryKind kind = EntryKind::unknown;
    FileIdentity identity;
};

/// The records of one part of a listing: `size` bytes from `bytes`, in
/// `layout`. Each entry's identity is its file ID on `volume` where `withIds`
/// and the class has IDs; otherwise unknown.
///
/// Only those bytes are read: a record whose fixed part or name runs past
/// them, or whose next-record offset does not lead past its own end to a
/// whole fixed part within them, is a failure. The fields are copied out, so
/// a record needs no alignment; its name is read in place, in 16-bit units,
/// so an odd offset, or bytes at an odd address, are a failure too. After
/// the last entry or the failure, every step answers `end`.
class RecordReader {
public:
    enum class Step : unsigned char { entry, end, malformed };

    RecordReader() = default;
    RecordReader(const void* bytes, std::size_t size, const RecordLayout& layout, std::uint64_t volume, bool withIds);

    /// The next entry, the dot and dot-dot entries passed over.
    Step next(ListedRecord& record);

private:
    const unsigned char* at_ = nullptr;  // the next record, if any
    const unsigned char* end_ = nullptr;
    const RecordLayout* layout_ = nullptr;
    std::uint64_t volume_ = 0;
    bool withIds_ = false;
};

/// The kind of a listed entry from its attributes and reparse tag: symbolic
/// links and junctions are links, so is a reparse folder whose tag cannot be
/// read; the Linux-subsystem links, FIFOs and devices and AF_UNIX sockets are
/// other; every other reparse point is the file or folder its attributes say.
EntryKind listedKind(std::uint32_t attributes, std::uint32_t tag);

#endif
