// What a walk with the system's directory search costs on Windows before any
// work of its own, to compare dravelon.exe with: every folder below DIR is
// listed with FindFirstFileExW (basic information, large fetch) through its
// long-form path, one listing open at a time, depth-first in listing order,
// and the files are counted. Prints the count.
//
//   floor_windows.exe DIR     DIR absolute, such as C:\data or Z:\tmp\A

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_windows DIR\n");
        return 2;
    }
    std::wstring start = argv[1];
    while (!start.empty() && (start.back() == L'\\' || start.back() == L'/')) start.pop_back();
    std::vector<std::wstring> pending{L"\\\\?\\" + start};
    unsigned long long files = 0;
    while (!pending.empty()) {
        const std::wstring dir = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                               nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) continue;
        std::vector<std::wstring> subdirectories;
        do {
            const wchar_t* name = found.cFileName;
            if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                subdirectories.push_back(dir + L"\\" + name);
            else
                ++files;
        } while (FindNextFileW(search, &found));
        FindClose(search);
        pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
    }
    std::printf("%llu\n", files);
    return 0;
}
