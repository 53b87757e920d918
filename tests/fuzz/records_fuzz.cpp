// The Windows listing's record reader on any bytes: the first byte picks the
// class (and, its high bit, whether IDs are read), the rest are one part.
// Every name lies within the bytes, past the record before; the listing ends
// cleanly or as one failure, and then stays ended; a clean end does not
// depend on bytes past it.
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "check.h"
#include "listing_records.h"

namespace {

RecordReader::Step readAll(const RecordLayout& layout, bool withIds, const std::vector<unsigned char>& part,
                           std::size_t size, std::u16string& names) {
    RecordReader reader(part.data(), size, layout, 7, withIds);
    const unsigned char* const end = part.data() + size;
    const unsigned char* free = part.data();  // where the record before ends
    ListedRecord record;
    RecordReader::Step step;
    while ((step = reader.next(record)) == RecordReader::Step::entry) {
        const auto* name = reinterpret_cast<const unsigned char*>(record.name.data());
        FUZZ_CHECK(name >= free + layout.nameAt && name + 2 * record.name.size() <= end);
        FUZZ_CHECK((name - part.data() - layout.nameAt) % 2 == 0);
        FUZZ_CHECK(record.name != u"." && record.name != u"..");
        FUZZ_CHECK(record.kind == EntryKind::file || record.kind == EntryKind::directory ||
                   record.kind == EntryKind::link || record.kind == EntryKind::other);
        FUZZ_CHECK(!record.identity.known || (withIds && layout.idAt != 0 && record.identity.volume == 7));
        free = name + 2 * record.name.size();
        names.append(record.name).push_back(u'/');
    }
    FUZZ_CHECK(reader.next(record) == RecordReader::Step::end);
    return step;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const RecordLayout& layout = kRecordLayouts[data[0] % std::size(kRecordLayouts)];
    const bool withIds = (data[0] & 0x80) != 0;
    std::vector<unsigned char> part(data + 1, data + size);  // exactly its size
    std::u16string names, again;
    if (readAll(layout, withIds, part, part.size(), names) != RecordReader::Step::end) return 0;
    const std::size_t cleanSize = part.size();
    part.resize(cleanSize + 64, 0xA5);
    FUZZ_CHECK(readAll(layout, withIds, part, cleanSize, again) == RecordReader::Step::end && again == names);
    return 0;
}
