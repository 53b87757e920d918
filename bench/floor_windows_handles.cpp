// What a walk of the kind dravelon.exe makes costs on Windows before any work
// of its own: every folder below DIR is opened with NtCreateFile by its name
// in its parent's open handle and listed with NtQueryDirectoryFile (file IDs
// and attributes, 64 KiB at a time), one listing at a time, depth-first in
// listing order, and the files are counted. Prints the count.
//
//   floor_windows_handles.exe DIR     DIR absolute, such as C:\data or Z:\tmp\A

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                               FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);

namespace {

// The folder `name` in the folder open as `parent` (none: `name` is a whole
// path such as \??\C:\data), open for listing; null when it cannot be opened.
HANDLE openFolder(HANDLE parent, const std::wstring& name) {
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING counted{bytes, bytes, const_cast<wchar_t*>(name.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, 0, parent, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE folder;
    const NTSTATUS status = NtCreateFile(&folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                                         nullptr, 0);
    return NT_SUCCESS(status) ? folder : nullptr;
}

struct Level {
    HANDLE handle;
    std::vector<std::wstring> folders;  // its subfolders, in listing order
    std::size_t next;
};

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_windows_handles DIR\n");
        return 2;
    }
    std::wstring start = argv[1];
    while (!start.empty() && (start.back() == L'\\' || start.back() == L'/')) start.pop_back();
    std::vector<Level> levels;
    std::vector<ULONGLONG> buffer(64 * 1024 / sizeof(ULONGLONG));
    unsigned long long files = 0;
    for (HANDLE folder = openFolder(nullptr, L"\\??\\" + start); folder != nullptr || !levels.empty();) {
        if (folder != nullptr) {
            Level level{folder, {}, 0};
            IO_STATUS_BLOCK io;
            while (NT_SUCCESS(NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                                                   static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)),
                                                   FileIdBothDirectoryInformation, FALSE, nullptr, FALSE))) {
                for (auto* at = reinterpret_cast<const unsigned char*>(buffer.data());;) {
                    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(at);
                    const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
                    if (name != L"." && name != L"..") {
                        if (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                            level.folders.push_back(name);
                        else
                            ++files;
                    }
                    if (entry->NextEntryOffset == 0) break;
                    at += entry->NextEntryOffset;
                }
            }
            levels.push_back(std::move(level));
        }
        Level& deepest = levels.back();
        if (deepest.next == deepest.folders.size()) {
            CloseHandle(deepest.handle);
            levels.pop_back();
            folder = nullptr;
        } else {
            folder = openFolder(deepest.handle, deepest.folders[deepest.next++]);
        }
    }
    std::printf("%llu\n", files);
    return 0;
}
