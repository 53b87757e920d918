// Runs a Windows program with its standard output on a console screen buffer
// of its own, in which the console keeps every character as it was written:
// with processed output off, a carriage return or a line feed takes a cell of
// its own like any letter instead of moving the cursor. Once the program has
// ended, the cells up to the cursor are written to FILE in UTF-8: exactly the
// text the program gave the console. Standard input and standard error stay
// this program's own; the exit status is the program's, or 70 when this one
// fails.
//
//   console_capture.exe FILE PROGRAM [ARG...]
//
// Each argument is passed on in quotes, so none may hold a quote or end in a
// backslash.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 3) return 64;
    std::wstring command;
    for (int i = 2; i < argc; ++i) command += std::wstring(i > 2 ? L" \"" : L"\"") + argv[i] + L"\"";

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                    &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = screen;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Room for 200,000 characters, far more than a report of a few lines.
    if (screen == INVALID_HANDLE_VALUE || !SetConsoleScreenBufferSize(screen, COORD{200, 1000}) ||
        !SetConsoleMode(screen, ENABLE_WRAP_AT_EOL_OUTPUT) ||
        !CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 70;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 70;
    GetExitCodeProcess(process.hProcess, &status);

    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(screen, &info)) return 70;
    std::wstring cells(static_cast<std::size_t>(info.dwCursorPosition.Y) * info.dwSize.X + info.dwCursorPosition.X, L' ');
    DWORD read = 0;
    if (!cells.empty() &&
        !ReadConsoleOutputCharacterW(screen, cells.data(), static_cast<DWORD>(cells.size()), COORD{0, 0}, &read))
        return 70;
    const int units = static_cast<int>(read);
    std::string text(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, cells.data(), units, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, cells.data(), units, text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    std::FILE* file = _wfopen(argv[1], L"wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0)
        return 70;
    return static_cast<int>(status);
}
