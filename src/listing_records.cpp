#include "listing_records.h"

#include <cstring>

namespace {

constexpr std::uint32_t kDirectory = 0x10;     // FILE_ATTRIBUTE_DIRECTORY
constexpr std::uint32_t kReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

// A reparse folder may come without its tag: Wine lists a link to a folder
// with the reparse-point attribute and a tag of 0, and a tag of all ones was
// never read either.
constexpr std::uint32_t kTagUnread = 0xFFFFFFFF;

// The reparse points whose tag alone decides what they are: links, which the
// walk follows, and the AF_UNIX sockets and Linux-subsystem links, FIFOs and
// devices, which it passes over as Linux does (a Linux-subsystem link cannot
// be followed from Windows).
constexpr struct {
    std::uint32_t tag;
    EntryKind kind;
} kReparseKinds[] = {
    {0xA000000C, EntryKind::link},   // a symbolic link
    {0xA0000003, EntryKind::link},   // a junction, or a volume mounted in a folder
    {0x80000023, EntryKind::other},  // AF_UNIX
    {0xA000001D, EntryKind::other},  // LX_SYMLINK
    {0x80000024, EntryKind::other},  // LX_FIFO
    {0x80000025, EntryKind::other},  // LX_CHR
    {0x80000026, EntryKind::other},  // LX_BLK
};

// The 32-bit field at `at` of a record, which needs no alignment.
std::uint32_t field(const unsigned char* record, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, record + at, sizeof value);
    return value;
}

bool isDotOrDotDot(std::u16string_view name) { return name == u"." || name == u".."; }

}  // namespace

RecordReader::RecordReader(const void* bytes, std::size_t size, const RecordLayout& layout, std::uint64_t volume,
                           bool withIds)
    : at_(static_cast<const unsigned char*>(bytes)), end_(at_ + size), layout_(&layout), volume_(volume),
      withIds_(withIds && layout.idAt != 0) {}

RecordReader::Step RecordReader::next(ListedRecord& record) {
    while (at_ != end_) {
        const std::size_t nameAt = layout_->nameAt;
        const auto left = static_cast<std::size_t>(end_ - at_);
        const std::size_t nameBytes = left < nameAt ? 0 : field(at_, kNameLengthAt);
        const std::size_t offset = left < nameAt ? 0 : field(at_, 0);
        const bool fits = left >= nameAt && nameBytes <= left - nameAt &&
                          reinterpret_cast<std::uintptr_t>(at_) % alignof(char16_t) == 0;
        // 0 when this record is the last; otherwise past its name, to the fixed part of the next.
        const bool nextFits =
            offset == 0 || (offset % 2 == 0 && offset >= nameAt + nameBytes && offset <= left - nameAt);
        if (!fits || !nextFits) {
            at_ = end_ = nullptr;
            return Step::malformed;
        }
        const unsigned char* fields = at_;
        at_ = offset == 0 ? end_ : at_ + offset;
        const std::u16string_view name(reinterpret_cast<const char16_t*>(fields + nameAt), nameBytes / 2);
        if (isDotOrDotDot(name)) continue;
        record.name = name;
        record.kind = listedKind(field(fields, kAttributesAt), layout_->tagAt != 0 ? field(fields, layout_->tagAt)
                                                                                   : kTagUnread);
        record.identity = FileIdentity{};
        if (withIds_) {
            std::uint64_t id[2] = {0, 0};
            std::memcpy(id, fields + layout_->idAt, layout_->fullId ? 16 : 8);
            record.identity = fileIdentity(volume_, id[1], id[0]);
        }
        return Step::entry;
    }
    return Step::end;
}

EntryKind listedKind(std::uint32_t attributes, std::uint32_t tag) {
    const bool folder = (attributes & kDirectory) != 0;
    if ((attributes & kReparsePoint) != 0) {
        for (const auto& reparse : kReparseKinds)
            if (reparse.tag == tag) return reparse.kind;
        // A reparse folder whose tag cannot be read may be a link: the walk
        // follows it and checks it against the walk path like one.
        if (folder && (tag == 0 || tag == kTagUnread)) return EntryKind::link;
    }
    return folder ? EntryKind::directory : EntryKind::file;
}
