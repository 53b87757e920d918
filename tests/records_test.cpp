// A Windows folder's listing records read from bytes, on every build: the
// kinds that attributes and reparse tags give, the IDs of each class, and
// records that do not fit the bytes returned. Each part lies in a block of
// exactly its size, so that the sanitizers catch a read past it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "listing_records.h"

namespace {

constexpr std::uint32_t kFolder = 0x10, kArchive = 0x20, kReparse = 0x400;

TEST(ListedRecords, ReparseTagsDecideTheKind) {
    const std::uint32_t folder = kFolder | kReparse;
    const std::uint32_t file = kArchive | kReparse;
    const struct {
        const char* what;
        std::uint32_t attributes;
        std::uint32_t tag;
        EntryKind kind;
    } cases[] = {
        {"symbolic link to a folder", folder, 0xA000000C, EntryKind::link},
        {"symbolic link to a file", file, 0xA000000C, EntryKind::link},
        {"junction", folder, 0xA0000003, EntryKind::link},
        {"AF_UNIX socket", file, 0x80000023, EntryKind::other},
        {"Linux-subsystem link", file, 0xA000001D, EntryKind::other},
        {"Linux-subsystem link with the folder attribute", folder, 0xA000001D, EntryKind::other},
        {"Linux-subsystem FIFO", file, 0x80000024, EntryKind::other},
        {"Linux-subsystem character device", file, 0x80000025, EntryKind::other},
        {"Linux-subsystem block device", file, 0x80000026, EntryKind::other},
        {"reparse folder without a tag", folder, 0, EntryKind::link},
        {"reparse folder with an unread tag", folder, 0xFFFFFFFF, EntryKind::link},
        {"reparse file without a tag", file, 0, EntryKind::file},
        {"cloud placeholder folder", folder, 0x9000001A, EntryKind::directory},
        {"deduplicated file", file, 0x80000013, EntryKind::file},
        {"app execution alias", file, 0x8000001B, EntryKind::file},
        {"tag without the reparse attribute", kArchive, 0x80000023, EntryKind::file},
        {"plain folder", kFolder, 0, EntryKind::directory},
    };
    for (const auto& c : cases) EXPECT_EQ(listedKind(c.attributes, c.tag), c.kind) << c.what;
}

// Fields in the host's byte order, as the reader reads them (the system that
// fills a listing, Windows, is little-endian).
void put(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) { std::memcpy(&bytes[at], &value, 4); }
void put64(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t value) { std::memcpy(&bytes[at], &value, 8); }

// Records of ., .., a.scr, d (a folder whose ID is 0x1111 and, in 128 bits,
// 0x22 high) and up (a link) in `layout`, each 8-byte aligned, the last
// unpadded; record `record` (if any) then holds `value` at `field`.
std::vector<unsigned char> records(const RecordLayout& layout, std::size_t record, std::size_t field,
                                   std::uint32_t value) {
    const std::u16string names[] = {u".", u"..", u"a.scr", u"d", u"up"};
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0, at = 0; i < std::size(names); ++i, at = (bytes.size() + 7) / 8 * 8) {
        const std::size_t nameBytes = 2 * names[i].size();
        bytes.resize(at + layout.nameAt + nameBytes);
        put(bytes, at, i + 1 == std::size(names) ? 0 : static_cast<std::uint32_t>((layout.nameAt + nameBytes + 7) / 8 * 8));
        put(bytes, at + kAttributesAt, i == 2 ? kArchive : i == 4 ? kFolder | kReparse : kFolder);
        put(bytes, at + kNameLengthAt, static_cast<std::uint32_t>(nameBytes));
        if (layout.tagAt != 0 && i == 4) put(bytes, at + layout.tagAt, 0xA000000C);
        if (layout.idAt != 0 && i == 3) {
            put64(bytes, at + layout.idAt, 0x1111);
            if (layout.fullId) put64(bytes, at + layout.idAt + 8, 0x22);
        }
        std::memcpy(&bytes[at + layout.nameAt], names[i].data(), nameBytes);
        if (i == record) put(bytes, at + field, value);
    }
    return bytes;
}

// What a reader makes of `bytes`: each entry's name, kind and ID, then "end"
// or "malformed", and the step after that.
std::string readAll(const std::vector<unsigned char>& bytes, std::size_t size, const RecordLayout& layout,
                    bool withIds) {
    const std::vector<unsigned char> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    RecordReader reader(part.data(), size, layout, 7, withIds);
    std::string read;
    ListedRecord record;
    record.identity = fileIdentity(1, 2, 3);  // what the record held before: not kept
    RecordReader::Step step;
    while ((step = reader.next(record)) == RecordReader::Step::entry) {
        read += std::string(record.name.begin(), record.name.end()) + ":" + std::to_string(int(record.kind));
        if (record.identity.known)
            read += "@" + std::to_string(record.identity.volume) + "/" + std::to_string(record.identity.high) + "/" +
                    std::to_string(record.identity.low);
        read += " ";
    }
    if (step == RecordReader::Step::malformed) read += "malformed ";
    return read + (reader.next(record) == RecordReader::Step::end ? "end" : "more");
}

// Where record `i` of `bytes` begins, by the next-record offsets.
std::size_t recordAt(const std::vector<unsigned char>& bytes, std::size_t i) {
    std::size_t at = 0;
    for (std::uint32_t next; i-- > 0; at += next) std::memcpy(&next, &bytes[at], 4);
    return at;
}

// Every class, within the bytes and past them: a name past the bytes, a next
// record whose fixed part lies past them, inside this one or at an odd
// offset each end the listing as one failure; a part that ends on a name's
// last byte is whole.
TEST(ListedRecords, RecordsAreReadWithinTheirBytesInEveryClass) {
    const std::string whole = "a.scr:0 d:1 up:2 end";
    const struct {
        const char* what;
        std::size_t record, field;
        std::uint32_t value;
        bool pastName;    // `value` counts from the record's name
        std::size_t cut;  // bytes left off the end
        std::string read;
    } rows[] = {
        {"whole", 9, 0, 0, false, 0, whole},
        {"name past the bytes", 4, kNameLengthAt, 6, false, 0, "a.scr:0 d:1 malformed end"},
        {"name of an odd length", 4, kNameLengthAt, 3, false, 0, "a.scr:0 d:1 u:2 end"},
        {"next record past the bytes", 3, 0, 0x1000, false, 0, "a.scr:0 malformed end"},
        {"next record inside this one's fixed part", 2, 0, 8, false, 0, "malformed end"},
        {"next record inside this one's name", 2, 0, 2, true, 0, "malformed end"},
        {"next record at an odd offset past the name", 2, 0, 11, true, 0, "malformed end"},
        {"last record's name cut", 9, 0, 0, false, 1, "a.scr:0 d:1 malformed end"},
        {"last record's fixed part cut", 9, 0, 0, false, 6, "a.scr:0 malformed end"},
    };
    for (const RecordLayout& layout : kRecordLayouts) {
        for (const auto& row : rows) {
            const auto value = static_cast<std::uint32_t>(row.value + (row.pastName ? layout.nameAt : 0));
            const std::vector<unsigned char> bytes = records(layout, row.record, row.field, value);
            EXPECT_EQ(readAll(bytes, bytes.size() - row.cut, layout, false), row.read) << row.what << ", class " << layout.what;
        }
        // Parts shorter than the fields every record begins with, or than a
        // record's fixed part; none at all.
        const std::vector<unsigned char> bytes = records(layout, 9, 0, 0);
        for (const std::size_t size : {std::size_t{4}, kNameLengthAt + 2, layout.nameAt - 2})
            EXPECT_EQ(readAll(bytes, size, layout, false), "malformed end") << size << ", class " << layout.what;
        EXPECT_EQ(readAll(bytes, 0, layout, false), "end");
        // Names are read in place, so a part at an odd address cannot be read.
        std::vector<unsigned char> odd(bytes.size() + 1);
        std::memcpy(&odd[1], bytes.data(), bytes.size());
        ListedRecord record;
        EXPECT_EQ(RecordReader(&odd[1], bytes.size(), layout, 7, false).next(record), RecordReader::Step::malformed);
    }
}

// IDs where the class has them and the volume's form asks for them: 128 bits
// from the extended class, 64 from FileIdBothDirectoryInformation, none from
// the others; an ID of 0 or all ones is none.
TEST(ListedRecords, IdsAreReadInTheirClassesForm) {
    const std::string read[] = {"a.scr:0 d:1@7/34/4369 up:2 end", "a.scr:0 d:1@7/0/4369 up:2 end",
                                "a.scr:0 d:1 up:2 end"};
    for (const RecordLayout& layout : kRecordLayouts) {
        const std::vector<unsigned char> bytes = records(layout, 9, 0, 0);
        const std::string& expected = read[layout.idAt == 0 ? 2 : layout.fullId ? 0 : 1];
        EXPECT_EQ(readAll(bytes, bytes.size(), layout, true), expected) << layout.what;
        EXPECT_EQ(readAll(bytes, bytes.size(), layout, false), read[2]) << layout.what;
        if (layout.idAt == 0) continue;
        for (const int id : {0, 0xFF}) {
            std::vector<unsigned char> none = records(layout, 9, 0, 0);
            std::memset(&none[recordAt(none, 3) + layout.idAt], id, layout.fullId ? 16 : 8);
            EXPECT_EQ(readAll(none, none.size(), layout, true), read[2]) << layout.what << " " << id;
        }
    }
}

}  // namespace
