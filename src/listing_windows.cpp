// The folders and queries on Windows. The start folder is opened by its
// long-form path; every folder below it with NtCreateFile by its name alone,
// exactly as listed, in its parent's open handle, so no path longer than one
// name is ever parsed and no depth is out of reach. A folder is listed with
// NtQueryDirectoryFile, which gives each entry's name, attributes, reparse
// tag and (in most classes) file ID.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "listing_records.h"
#include "listing_windows.h"

// Missing from some SDKs' winternl.h; ntdll has it on every Windows.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                                               PIO_STATUS_BLOCK status, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS what, BOOLEAN single, PUNICODE_STRING mask,
                                               BOOLEAN restart);

namespace {

constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006u);
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000Fu);
constexpr NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106u);
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022u);

// A counted name holds at most 32,767 UTF-16 units: its length is a 16-bit
// count of bytes.
constexpr std::size_t kLongestName = 0x7FFF;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder opened to be listed. With backup intent a process that holds the
// backup privilege passes folders whose permissions would refuse it.
constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
// A file or folder opened for its attributes alone, links followed; "no
// recall" leaves a file kept in remote storage (a cloud placeholder) where
// it is.
constexpr ACCESS_MASK kAttributesAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kAttributesOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_NO_RECALL;

// How much of a listing one call reads.
constexpr std::size_t kListingBytes = 64 * 1024;

std::error_code systemError(DWORD code) { return std::error_code(static_cast<int>(code), std::system_category()); }

// The answers that mean "nothing is there". The system's own answers are
// turned into these codes first (RtlNtStatusToDosError).
bool isNotFound(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
        return true;
    default:
        return false;
    }
}

// Opens `name` in the folder open as `folder` with NtCreateFile, taking the
// name as it is listed, letter case included. With no folder, `name` is a
// whole path in the system's own form (\??\C:\...), which a user typed: its
// letters match in any case, as in every other program.
NTSTATUS openIn(HANDLE folder, NativeView name, ACCESS_MASK access, ULONG options, HANDLE& handle) {
    if (name.size() > kLongestName) return kNameTooLong;
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING counted{bytes, bytes, const_cast<wchar_t*>(name.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, folder == nullptr ? OBJ_CASE_INSENSITIVE : 0, folder, nullptr);
    IO_STATUS_BLOCK io;
    return NtCreateFile(&handle, access, &attributes, &io, nullptr, 0, kShareAll, FILE_OPEN, options, nullptr, 0);
}

// What an open that answered `code` found, and, once it is open as
// `handle`, what the file is and, when `identity` is given, its identity,
// taken by `identify`. Closes the handle.
template <typename Identify>
EntryKind inspect(DWORD code, HANDLE handle, std::error_code& ec, FileIdentity* identity, Identify identify) {
    ec.clear();
    if (code != ERROR_SUCCESS) {
        if (isNotFound(code)) return EntryKind::missing;
        ec = systemError(code);
        return EntryKind::unknown;
    }
    FILE_BASIC_INFO basic;
    const BOOL answered = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    const DWORD error = GetLastError();
    if (answered && identity != nullptr) *identity = identify(handle);
    CloseHandle(handle);
    if (!answered) {
        ec = systemError(error);
        return EntryKind::unknown;
    }
    return (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::directory : EntryKind::file;
}

// FILE_ID_EXTD_DIR_INFORMATION, which older headers lack.
struct ExtendedRecord {
    ULONG NextEntryOffset, FileIndex;
    LARGE_INTEGER CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
    ULONG FileAttributes, FileNameLength, EaSize, ReparsePointTag;
    BYTE FileId[16];
    WCHAR FileName[1];
};

// The record reader's layouts are those of the system's headers.
constexpr bool isLayout(const RecordLayout& layout, int what, std::size_t nameAt, std::size_t tagAt,
                        std::size_t idAt) {
    return layout.what == what && layout.nameAt == nameAt && layout.tagAt == tagAt && layout.idAt == idAt;
}
static_assert(isLayout(kRecordLayouts[0], 60, offsetof(ExtendedRecord, FileName),
                       offsetof(ExtendedRecord, ReparsePointTag), offsetof(ExtendedRecord, FileId)) &&
                  isLayout(kRecordLayouts[1], FileIdBothDirectoryInformation,
                           offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName), offsetof(FILE_ID_BOTH_DIR_INFORMATION, EaSize),
                           offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileId)) &&
                  isLayout(kRecordLayouts[2], FileBothDirectoryInformation, offsetof(FILE_BOTH_DIR_INFORMATION, FileName),
                           offsetof(FILE_BOTH_DIR_INFORMATION, EaSize), 0) &&
                  isLayout(kRecordLayouts[3], FileFullDirectoryInformation, offsetof(FILE_FULL_DIR_INFORMATION, FileName),
                           offsetof(FILE_FULL_DIR_INFORMATION, EaSize), 0) &&
                  isLayout(kRecordLayouts[4], FileDirectoryInformation, offsetof(FILE_DIRECTORY_INFORMATION, FileName), 0, 0),
              "the record layouts are the system's");
static_assert(offsetof(ExtendedRecord, FileAttributes) == kAttributesAt &&
                  offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes) == kAttributesAt &&
                  offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength) == kNameLengthAt &&
                  offsetof(FILE_FULL_DIR_INFORMATION, EaSize) == kTagInEaSize && sizeof(wchar_t) == sizeof(char16_t),
              "every record class begins with the same fields");

// How the folders of one volume are listed, and in which form its files are
// known. Its record class is the first that answered there: a failure of a
// class's first query moves it on for every later folder. Its identities
// take one form, settled by the first class that answers: the 128-bit IDs
// of the extended class and of a handle's FileIdInfo, or the 64-bit IDs of
// FileIdBothDirectoryInformation and of a handle's file index, which on ReFS
// (and so on a Dev Drive) differ from the 128-bit ones. A folder listed in a
// class of the other form gives its entries no identity; where the class
// has no IDs, the handles' 128-bit form is taken.
struct VolumeListing {
    std::size_t recordClass = 0;
    bool settled = false;
    bool index = false;  // its identities are the 64-bit ones
};

// The entries of the folder open as `folder`, read a part at a time through
// `query` into `buffer`, which the folders lend to one listing at a time, in
// the record class its volume is listed in, by a RecordReader. Each entry's
// identity is its file ID on `volume`, the folder's own volume, where the
// class gives one in the volume's form. A record that does not fit the bytes
// returned ends the listing as a failure.
class WindowsListing final : public Listing {
public:
    WindowsListing(HANDLE folder, std::uint64_t volume, VolumeListing& listing, const ListingQuery& query,
                   std::vector<std::uint64_t>& buffer)
        : folder_(folder), volume_(volume), listing_(listing), class_(listing.recordClass), query_(query),
          buffer_(buffer) {}

    // Reads the first part now, so that the volume's form is settled; the
    // listing then goes on from there.
    void start() { ended_ = !read(endError_); }

    bool next(ListedEntry& entry, std::error_code& ec) override {
        for (;;) {
            ListedRecord record;
            switch (records_.next(record)) {
            case RecordReader::Step::entry:
                entry.name = NativeView(reinterpret_cast<const wchar_t*>(record.name.data()), record.name.size());
                entry.kind = record.kind;
                entry.identity = record.identity;
                return true;
            case RecordReader::Step::malformed:
                ec = systemError(ERROR_INVALID_DATA);
                return false;
            case RecordReader::Step::end:
                if (!read(ec)) return false;
            }
        }
    }

private:
    // Reads the next part of the listing; false at its end or on a failure,
    // which sets `ec`. A class whose first query fails is followed by the
    // next, from the listing's start.
    bool read(std::error_code& ec) {
        if (ended_) {
            ec = endError_;
            return false;
        }
        ListingPart part;
        for (bool restart = false;; restart = true) {
            part = query_(folder_, kRecordLayouts[class_].what, restart, buffer_.data(), kListingBytes);
            // A failure later in the listing, or of the last class, is the listing's failure.
            if (started_ || NT_SUCCESS(part.status) || isEnd(part.status) || class_ + 1 == std::size(kRecordLayouts))
                break;
            listing_.recordClass = ++class_;
        }
        const RecordLayout& layout = kRecordLayouts[class_];
        if (!started_ && (NT_SUCCESS(part.status) || isEnd(part.status)) && !listing_.settled) {
            listing_.settled = true;
            listing_.index = layout.idAt != 0 && !layout.fullId;
        }
        started_ = true;
        if (isEnd(part.status)) return false;
        if (!NT_SUCCESS(part.status)) {
            ec = systemError(RtlNtStatusToDosError(part.status));
            return false;
        }
        if (part.size == 0) return false;
        records_ = RecordReader(part.bytes, part.size, layout, volume_, layout.fullId != listing_.index);
        return true;
    }

    static bool isEnd(NTSTATUS status) { return status == kNoMoreFiles || status == kNoSuchFile; }

    HANDLE folder_;
    std::uint64_t volume_;
    VolumeListing& listing_;
    std::size_t class_;
    const ListingQuery& query_;
    std::vector<std::uint64_t>& buffer_;
    bool started_ = false;  // once the first query is answered
    bool ended_ = false;    // start() found the end, or a failure
    std::error_code endError_;
    RecordReader records_;  // the part read
};

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// The start folder's path in the system's own form: \\?\ becomes \??\, as the
// system itself turns it.
NativeString systemForm(const NativeString& start) {
    return startsWith(start, L"\\\\?\\") ? L"\\??\\" + start.substr(4) : start;
}

// The answers to an open that mean "no such name": not found, or on a
// network a bad path or a bad name.
bool isNameNotFound(NTSTATUS status) {
    switch (static_cast<std::uint32_t>(status)) {
    case 0xC0000034u:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003Au:  // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC00000BEu:  // STATUS_BAD_NETWORK_PATH
    case 0xC00000CCu:  // STATUS_BAD_NETWORK_NAME
        return true;
    default:
        return false;
    }
}

// The folders on the walk path, each open as a handle of its own, with the
// volume that each lies on and its whole system path, and how each volume
// is listed.
class WindowsFolders final : public FolderStack {
public:
    explicit WindowsFolders(WindowsCalls calls)
        : calls_(std::move(calls)), buffer_(kListingBytes / sizeof(std::uint64_t)) {}
    ~WindowsFolders() override {
        while (!levels_.empty()) leave();
    }
    WindowsFolders(const WindowsFolders&) = delete;
    WindowsFolders& operator=(const WindowsFolders&) = delete;

    OpenedFolder openStart(const NativeString& start) override {
        HANDLE handle;
        path_ = systemForm(start);
        const NTSTATUS status = calls_.open(nullptr, path_, kListAccess, kFolderOptions, handle);
        const DWORD code = RtlNtStatusToDosError(status);
        if (!NT_SUCCESS(status))
            return {unopened(EntryKind::directory, code == ERROR_ACCESS_DENIED), nullptr, {}, systemError(code)};
        const HandleIds ids = calls_.ids(handle, false);
        startVolume_ = ids.volume;
        return entered(handle, startVolume_, &ids);
    }

    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        const FolderHandle& parent = levels_.back();
        HANDLE handle;
        const std::size_t end = path_.size();
        const NTSTATUS status = openListed(name, kListAccess, kFolderOptions, handle);
        // A plain subfolder lies on its parent's volume; one that a link
        // leads to, on the volume its query found.
        if (NT_SUCCESS(status)) return entered(handle, listed.known ? listed.volume : parent.volume);
        path_.resize(end);
        // Why it could not be listed: asked of what is there now.
        OpenedFolder opened;
        const DWORD code = RtlNtStatusToDosError(status);
        opened.result = unopened(query(name, opened.error, nullptr), code == ERROR_ACCESS_DENIED);
        if (opened.result != OpenResult::unknown) opened.error = systemError(code);
        return opened;
    }

    void leave() override {
        CloseHandle(levels_.back().handle);
        levels_.pop_back();
        if (!levels_.empty()) path_.resize(levels_.back().pathEnd);
    }

    EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) override {
        // The extended attributes too, which some SMB1 servers need to report
        // a folder's attributes rightly; a file that grants its attributes
        // alone (through its folder's list right, say) is asked again
        // without them.
        const std::size_t end = path_.size();
        HANDLE handle = nullptr;
        NTSTATUS status = openListed(name, kAttributesAccess | FILE_READ_EA, kAttributesOptions, handle);
        if (status == kAccessDenied) status = openListed(name, kAttributesAccess, kAttributesOptions, handle);
        path_.resize(end);
        return inspect(RtlNtStatusToDosError(status), handle, ec, identity,
                       [this](HANDLE opened) { return identityOf(opened); });
    }

    FileIdentity identity(std::size_t depth) override { return identityOf(levels_.at(depth).handle); }

private:
    struct FolderHandle {
        HANDLE handle;
        std::uint64_t volume;
        std::size_t pathEnd;  // its whole system path is path_[0, pathEnd)
    };

    // Opens `name` in the deepest folder's handle; where the file system
    // answers "not found" for it, by its whole system path, which path_
    // then holds. Some drivers (user-mode file systems of network drives,
    // below the first level, until later releases) fail relative opens of
    // names their listing just gave, where a walk by paths finds them.
    NTSTATUS openListed(NativeView name, ACCESS_MASK access, ULONG options, HANDLE& handle) {
        if (path_.back() != L'\\') path_ += L'\\';
        path_.append(name);
        const NTSTATUS status = calls_.open(levels_.back().handle, name, access, options, handle);
        return isNameNotFound(status) ? calls_.open(nullptr, path_, access, options, handle) : status;
    }

    // `ids`, where given, are those of `handle`, already asked.
    OpenedFolder entered(HANDLE handle, std::uint64_t volume, const HandleIds* ids = nullptr) {
        levels_.push_back(FolderHandle{handle, volume, path_.size()});
        VolumeListing& listing = volumes_[volume];
        auto listed = std::make_unique<WindowsListing>(handle, volume, listing, calls_.query, buffer_);
        // The first folder listed on a volume settles the form of its
        // identities; its own identity is taken after that, in the same form.
        FileIdentity identity;
        if (!listing.settled) {
            listed->start();
            identity = identityOf(handle, ids);
        }
        return {OpenResult::listed, std::move(listed), identity, {}};
    }

    // The identity of the file open as `handle` (whose IDs, when given, are
    // `asked`), in its volume's form: the 64-bit one where the volume lists
    // 64-bit IDs, otherwise the 128-bit one where the file system answers it.
    // A 128-bit ID whose high half is 0 is the 64-bit one (NTFS), which
    // stands for it where the file index is not answered (Wine, past the
    // length of a Linux path).
    FileIdentity identityOf(HANDLE handle, const HandleIds* asked = nullptr) {
        HandleIds ids = asked != nullptr ? *asked : calls_.ids(handle, false);
        const std::uint64_t volume = onVolume(ids.volume);
        const auto listing = volumes_.find(volume);
        const bool index = !ids.hasFull || (listing != volumes_.end() && listing->second.index);
        if (index && ids.hasFull) ids.index = calls_.ids(handle, true).index;
        const bool narrow = ids.full.known && ids.full.high == 0;
        FileIdentity identity = !index || (!ids.index.known && narrow) ? ids.full : ids.index;
        identity.volume = volume;
        return identity;
    }

    // A handle's volume serial as the walk uses it. Wine reads 0 for folders
    // deeper than a Linux path reaches, which lie on the start folder's volume.
    std::uint64_t onVolume(std::uint64_t volume) const { return volume != 0 ? volume : startVolume_; }

    const WindowsCalls calls_;
    std::vector<FolderHandle> levels_;
    NativeString path_;  // the deepest folder's whole system path, then the name at hand
    std::uint64_t startVolume_ = 0;
    std::map<std::uint64_t, VolumeListing> volumes_;
    std::vector<std::uint64_t> buffer_;
};

}  // namespace

ListingPart queryListing(void* folder, int what, bool restart, void* buffer, std::size_t length) {
    IO_STATUS_BLOCK io;
    const NTSTATUS status =
        NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer, static_cast<ULONG>(length),
                             static_cast<FILE_INFORMATION_CLASS>(what), FALSE, nullptr, restart ? TRUE : FALSE);
    return {status, buffer, NT_SUCCESS(status) ? std::min<std::size_t>(io.Information, length) : 0};
}

HandleIds queryHandleIds(void* handle, bool index) {
    HandleIds ids;
    FILE_ID_INFO id;
    ids.hasFull = GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) != 0;
    if (ids.hasFull) {
        std::uint64_t parts[2];
        static_assert(sizeof parts == sizeof id.FileId.Identifier, "a file ID is 128 bits");
        std::memcpy(parts, id.FileId.Identifier, sizeof parts);
        ids.volume = id.VolumeSerialNumber;
        ids.full = fileIdentity(ids.volume, parts[1], parts[0]);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if ((index || !ids.hasFull) && GetFileInformationByHandle(handle, &info)) {
        if (!ids.hasFull) ids.volume = info.dwVolumeSerialNumber;
        ids.index = fileIdentity(ids.volume, 0, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
    }
    return ids;
}

long openFile(void* folder, NativeView name, unsigned long access, unsigned long options, void*& handle) {
    return openIn(folder, name, access, options, handle);
}

std::unique_ptr<FolderStack> systemFoldersThrough(WindowsCalls calls) {
    return std::make_unique<WindowsFolders>(std::move(calls));
}

std::unique_ptr<FolderStack> systemFolders() { return systemFoldersThrough({}); }

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    // Backup semantics opens folders as well. The extended attributes are
    // asked as for a listed name (WindowsFolders::query).
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (const ACCESS_MASK access : {FILE_READ_ATTRIBUTES | FILE_READ_EA, FILE_READ_ATTRIBUTES}) {
        handle = CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NO_RECALL, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
    }
    return inspect(handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS, handle, ec, identity,
                   [](HANDLE opened) {
                       const HandleIds ids = queryHandleIds(opened, false);
                       return ids.hasFull ? ids.full : ids.index;
                   });
}
