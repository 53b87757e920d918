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

#include "listing_windows.h"

// Missing from some SDKs' winternl.h; ntdll has it on every Windows.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                                               PIO_STATUS_BLOCK status, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS what, BOOLEAN single, PUNICODE_STRING mask,
                                               BOOLEAN restart);

namespace fs = std::filesystem;

namespace {

constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006u);
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000Fu);
constexpr NTSTATUS kNameTooLong = static_cast<NTSTATUS>(0xC0000106u);

// The answers of a file system that does not list in the information class
// asked for (user-mode file systems, the WebDAV redirector).
bool isRefusal(NTSTATUS status) {
    switch (static_cast<std::uint32_t>(status)) {
    case 0xC0000003u:  // STATUS_INVALID_INFO_CLASS
    case 0xC000000Du:  // STATUS_INVALID_PARAMETER
    case 0xC0000002u:  // STATUS_NOT_IMPLEMENTED
    case 0xC00000BBu:  // STATUS_NOT_SUPPORTED
        return true;
    default:
        return false;
    }
}

// A counted name holds at most 32,767 UTF-16 units: its length is a 16-bit
// count of bytes.
constexpr std::size_t kLongestName = 0x7FFF;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A folder opened to be listed. With backup intent a process that holds the
// backup privilege passes folders whose permissions would refuse it.
constexpr ACCESS_MASK kListAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
// A file or folder opened for its attributes alone, links followed; "no
// recall" leaves a file held in remote storage (a cloud placeholder) where
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

// A reparse folder may come without its tag: Wine lists a link to a folder
// with the reparse-point attribute and a tag of 0, and a tag of all ones was
// never read either.
constexpr DWORD kTagUnread = 0xFFFFFFFF;

// The reparse points whose tag alone decides what they are: links, which the
// walk follows, and the AF_UNIX sockets and Linux-subsystem links, FIFOs and
// devices, which it passes over as Linux does (a Linux-subsystem link cannot
// be followed from Windows). Some of these tags are missing from older
// headers.
constexpr struct {
    DWORD tag;
    EntryKind kind;
} kReparseKinds[] = {
    {IO_REPARSE_TAG_SYMLINK, EntryKind::link},
    {IO_REPARSE_TAG_MOUNT_POINT, EntryKind::link},  // a junction, or a volume mounted in a folder
    {0x80000023, EntryKind::other},                 // AF_UNIX
    {0xA000001D, EntryKind::other},                 // LX_SYMLINK
    {0x80000024, EntryKind::other},                 // LX_FIFO
    {0x80000025, EntryKind::other},                 // LX_CHR
    {0x80000026, EntryKind::other},                 // LX_BLK
};

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

// The identity of the file open as `handle`: the 128-bit file ID where the
// file system has one (ReFS needs it), otherwise the 64-bit file index.
FileIdentity identityOf(HANDLE handle) {
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        std::uint64_t parts[2];
        static_assert(sizeof parts == sizeof id.FileId.Identifier, "a file ID is 128 bits");
        std::memcpy(parts, id.FileId.Identifier, sizeof parts);
        return fileIdentity(id.VolumeSerialNumber, parts[1], parts[0]);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return FileIdentity{};
    return fileIdentity(info.dwVolumeSerialNumber, 0, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
}

// What an open that answered `code` found, and, once it is open as `handle`,
// what the file is and (when asked) its identity. Closes the handle.
EntryKind inspect(DWORD code, HANDLE handle, std::error_code& ec, FileIdentity* identity) {
    ec.clear();
    if (code != ERROR_SUCCESS) {
        if (isNotFound(code)) return EntryKind::missing;
        ec = systemError(code);
        return EntryKind::unknown;
    }
    FILE_BASIC_INFO basic;
    const BOOL answered = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
    const DWORD error = GetLastError();
    if (answered && identity != nullptr) *identity = identityOf(handle);
    CloseHandle(handle);
    if (!answered) {
        ec = systemError(error);
        return EntryKind::unknown;
    }
    return (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::directory : EntryKind::file;
}

bool isDotOrDotDot(NativeView name) {
    return name == NativeView(L".", 1) || name == NativeView(L"..", 2);
}

// The information classes a folder is listed in, in the order they are
// tried: the first gives each entry's file ID; the others, which a file system
// that refuses the first may answer, give the same attributes and EA size but
// no ID. Every record begins with the same fields, up to the EA size; its
// name follows at `nameAt`.
struct RecordClass {
    FILE_INFORMATION_CLASS what;
    std::size_t nameAt;
    bool hasId;
};
constexpr RecordClass kRecordClasses[] = {
    {FileIdBothDirectoryInformation, offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName), true},
    {FileBothDirectoryInformation, offsetof(FILE_BOTH_DIR_INFORMATION, FileName), false},
    {FileFullDirectoryInformation, offsetof(FILE_FULL_DIR_INFORMATION, FileName), false},
};
// The fields that every record begins with, as FILE_FULL_DIR_INFORMATION has them.
constexpr std::size_t kHeadBytes = offsetof(FILE_FULL_DIR_INFORMATION, FileName);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, EaSize) == offsetof(FILE_FULL_DIR_INFORMATION, EaSize) &&
                  offsetof(FILE_BOTH_DIR_INFORMATION, EaSize) == offsetof(FILE_FULL_DIR_INFORMATION, EaSize),
              "every record class begins with the same fields");

// The entries of the folder open as `folder`, read a part at a time through
// `query` into `buffer`, which the folders lend to one listing at a time. It
// is listed in the record class `recordClass` (an index in kRecordClasses),
// which the folders keep for its volume: a refusal of the first query moves
// it on for every later folder there. Each entry's identity is its file ID
// on `volume`, the folder's own volume, where the class gives one.
//
// Only the bytes that a call returned are read: a record whose fixed part or
// name runs past them, or whose next-entry offset does not lead past its own
// end to a whole fixed part within them, ends the listing as a failure. The
// fields are copied out, so a record needs no alignment; its name is read in
// place, in 16-bit units, so an odd offset is a failure too.
class WindowsListing final : public Listing {
public:
    WindowsListing(HANDLE folder, std::uint64_t volume, std::size_t& recordClass, const ListingQuery& query,
                   std::vector<std::uint64_t>& buffer)
        : folder_(folder), volume_(volume), volumeClass_(recordClass), class_(recordClass), query_(query),
          buffer_(buffer) {}

    bool next(ListedEntry& entry, std::error_code& ec) override {
        for (;;) {
            if (at_ == end_ && !read(ec)) return false;
            const RecordClass& form = kRecordClasses[class_];
            const auto left = static_cast<std::size_t>(end_ - at_);
            if (left < form.nameAt) return malformed(ec);
            FILE_FULL_DIR_INFORMATION head;
            std::memcpy(&head, at_, kHeadBytes);
            const std::size_t nameBytes = head.FileNameLength;
            const std::size_t offset = head.NextEntryOffset;
            const bool nameFits = nameBytes <= left - form.nameAt;
            // 0 when this record is the last; otherwise past its name, to the fixed part of the next.
            const bool nextFits = offset == 0 || (offset % 2 == 0 && offset >= form.nameAt + nameBytes &&
                                                  offset <= left - form.nameAt);
            if (!nameFits || !nextFits) return malformed(ec);
            const unsigned char* record = at_;
            at_ = offset == 0 ? end_ : at_ + offset;
            const NativeView name(reinterpret_cast<const wchar_t*>(record + form.nameAt), nameBytes / sizeof(wchar_t));
            if (isDotOrDotDot(name)) continue;
            entry.name = name;
            // For a reparse point the EA size holds its tag.
            entry.kind = listedKind(head.FileAttributes, head.EaSize);
            entry.identity = FileIdentity{};
            if (form.hasId) {
                std::uint64_t id;
                std::memcpy(&id, record + offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileId), sizeof id);
                entry.identity = fileIdentity(volume_, 0, id);
            }
            return true;
        }
    }

private:
    // Reads the next part of the listing; false at its end or on a failure,
    // which sets `ec`. A class refused at the first query is followed by the
    // next, from the listing's start.
    bool read(std::error_code& ec) {
        ListingPart part;
        for (bool restart = false;; restart = true) {
            part = query_(folder_, kRecordClasses[class_].what, restart, buffer_.data(), kListingBytes);
            // A refusal later in the listing, or of the last class, is the listing's failure.
            if (started_ || !isRefusal(part.status) || class_ + 1 == std::size(kRecordClasses)) break;
            volumeClass_ = ++class_;
        }
        started_ = true;
        if (part.status == kNoMoreFiles || part.status == kNoSuchFile) return false;
        if (!NT_SUCCESS(part.status)) {
            ec = systemError(RtlNtStatusToDosError(part.status));
            return false;
        }
        if (part.size == 0) return false;
        at_ = static_cast<const unsigned char*>(part.bytes);
        end_ = at_ + part.size;
        return true;
    }

    bool malformed(std::error_code& ec) {
        ec = systemError(ERROR_INVALID_DATA);
        at_ = end_ = nullptr;
        return false;
    }

    HANDLE folder_;
    std::uint64_t volume_;
    std::size_t& volumeClass_;
    std::size_t class_;
    const ListingQuery& query_;
    std::vector<std::uint64_t>& buffer_;
    bool started_ = false;               // once the first query is answered
    const unsigned char* at_ = nullptr;  // the next record of the part read, if any
    const unsigned char* end_ = nullptr;
};

bool startsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// The start folder's path in the system's own form: \\?\ becomes \??\, as the
// system itself turns it.
NativeString systemForm(const NativeString& start) {
    return startsWith(start, L"\\\\?\\") ? L"\\??\\" + start.substr(4) : start;
}

// The folders on the walk path, each open as a handle of its own, and
// the volume that each lies on.
class WindowsFolders final : public FolderStack {
public:
    explicit WindowsFolders(ListingQuery query)
        : query_(std::move(query)), buffer_(kListingBytes / sizeof(std::uint64_t)) {}
    ~WindowsFolders() override {
        while (!levels_.empty()) leave();
    }
    WindowsFolders(const WindowsFolders&) = delete;
    WindowsFolders& operator=(const WindowsFolders&) = delete;

    OpenedFolder openStart(const NativeString& start) override {
        HANDLE handle;
        const NTSTATUS status = openIn(nullptr, systemForm(start), kListAccess, kFolderOptions, handle);
        const DWORD code = RtlNtStatusToDosError(status);
        if (!NT_SUCCESS(status))
            return {unopened(EntryKind::directory, code == ERROR_ACCESS_DENIED), nullptr, {}, systemError(code)};
        const FileIdentity identity = identityOf(handle);
        startVolume_ = identity.volume;
        OpenedFolder opened = entered(handle, identity.volume);
        opened.identity = identity;
        return opened;
    }

    OpenedFolder openChild(NativeView name, const FileIdentity& listed) override {
        const FolderHandle& parent = levels_.back();
        HANDLE handle;
        const NTSTATUS status = openIn(parent.handle, name, kListAccess, kFolderOptions, handle);
        // A plain subfolder lies on its parent's volume; one that a link
        // leads to, on the volume its query found.
        if (NT_SUCCESS(status)) return entered(handle, listed.known ? listed.volume : parent.volume);
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
    }

    EntryKind query(NativeView name, std::error_code& ec, FileIdentity* identity) override {
        HANDLE handle = nullptr;
        const NTSTATUS status = openIn(levels_.back().handle, name, kAttributesAccess, kAttributesOptions, handle);
        const EntryKind kind = inspect(RtlNtStatusToDosError(status), handle, ec, identity);
        if (identity != nullptr && identity->known) identity->volume = onVolume(identity->volume);
        return kind;
    }

    FileIdentity identity(std::size_t depth) override {
        FileIdentity identity = identityOf(levels_.at(depth).handle);
        identity.volume = onVolume(identity.volume);
        return identity;
    }

private:
    struct FolderHandle {
        HANDLE handle;
        std::uint64_t volume;
    };

    OpenedFolder entered(HANDLE handle, std::uint64_t volume) {
        levels_.push_back(FolderHandle{handle, volume});
        return {OpenResult::listed,
                std::make_unique<WindowsListing>(handle, volume, classOnVolume_[volume], query_, buffer_), {}, {}};
    }

    // A handle's volume serial as the walk uses it. Wine reads 0 for folders
    // deeper than a Linux path reaches, which lie on the start folder's volume.
    std::uint64_t onVolume(std::uint64_t volume) const { return volume != 0 ? volume : startVolume_; }

    std::vector<FolderHandle> levels_;
    std::uint64_t startVolume_ = 0;
    const ListingQuery query_;
    std::map<std::uint64_t, std::size_t> classOnVolume_;  // the record class each volume is listed in
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

std::unique_ptr<FolderStack> systemFoldersThrough(ListingQuery query) {
    return std::make_unique<WindowsFolders>(std::move(query));
}

std::unique_ptr<FolderStack> systemFolders() { return systemFoldersThrough(queryListing); }

EntryKind listedKind(std::uint32_t attributes, std::uint32_t tag) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        for (const auto& reparse : kReparseKinds)
            if (reparse.tag == tag) return reparse.kind;
        // A reparse folder whose tag cannot be read may be a link: the walk
        // follows it and checks it against the walk path like one.
        if (folder && (tag == 0 || tag == kTagUnread)) return EntryKind::link;
    }
    return folder ? EntryKind::directory : EntryKind::file;
}

EntryKind queryPath(const NativeString& path, std::error_code& ec, FileIdentity* identity) {
    // Backup semantics opens folders as well.
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_NO_RECALL, nullptr);
    return inspect(handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS, handle, ec, identity);
}
