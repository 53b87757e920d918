// The standard streams on Windows. A console is written in UTF-16 with
// WriteConsoleW, whatever its code page, which the program never changes; a
// file or a pipe gets the UTF-8 bytes through the C runtime, whose text mode
// ends each line in CR LF. A console control event erases the progress line
// before the process ends.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "console.h"

namespace {

HANDLE handleOf(Stream stream) { return GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE); }
std::FILE* fileOf(Stream stream) { return stream == Stream::output ? stdout : stderr; }

// Whether each stream is a console, asked of the console itself: the C
// runtime's terminal test also answers yes for the NUL device.
bool askConsole(Stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(handleOf(stream), &mode) != 0;
}

bool isConsole(Stream stream) {
    static const bool answers[2] = {askConsole(Stream::output), askConsole(Stream::error)};
    return answers[stream == Stream::output ? 0 : 1];
}

// Whether a write to a console failed.
bool consoleLost[2] = {false, false};

// A console control event is handled on a thread of its own, which the system
// starts: this lock lets one writer at a time reach a console. It guards the
// two values below.
SRWLOCK consoleLock = SRWLOCK_INIT;
int lineShownOn = -1;      // the stream whose console shows a line from rewriteLine, or -1
bool interrupted = false;  // the line was erased by the control handler, for good

// Writes to the stream's console; the caller holds consoleLock.
void writeConsole(Stream stream, std::string_view text) {
    // UTF-16, each "\n" as "\r\n" as the C runtime would write it.
    std::wstring wide;
    wide.reserve(text.size() + 8);
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        const std::size_t stop = end == text.npos ? text.size() : end;
        if (stop > begin) {
            const int size = static_cast<int>(stop - begin);
            const int units = MultiByteToWideChar(CP_UTF8, 0, text.data() + begin, size, nullptr, 0);
            const std::size_t at = wide.size();
            wide.resize(at + static_cast<std::size_t>(units));
            MultiByteToWideChar(CP_UTF8, 0, text.data() + begin, size, wide.data() + at, units);
        }
        if (end == text.npos) break;
        wide += L"\r\n";
        begin = end + 1;
    }
    // Older consoles refuse very long writes: a few thousand units at a time,
    // never splitting a surrogate pair.
    const HANDLE console = handleOf(stream);
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t count = std::min<std::size_t>(wide.size() - at, 8192);
        if (at + count < wide.size() && wide[at + count - 1] >= 0xD800 && wide[at + count - 1] <= 0xDBFF) --count;
        DWORD written = 0;
        if (!WriteConsoleW(console, wide.data() + at, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            consoleLost[stream == Stream::output ? 0 : 1] = true;
            return;
        }
        at += written;
    }
}

// The C runtime writes a redirected standard output without a buffer, one
// character at a time and each with a system call of its own: it gets a
// buffer before anything is written.
void bufferRedirectedOutput() {
    static const bool buffered = !isConsole(Stream::output) && std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16) == 0;
    static_cast<void>(buffered);
}

// `line` as it is written over the current line of a console. The console is
// not asked to understand control sequences: the line is padded with spaces to
// the width, which also covers a longer line before it; an empty line leaves
// the cursor at the line's start.
std::string overwriting(Stream stream, std::string_view line) {
    const std::size_t width = terminalWidth(stream);
    const std::size_t columns = cells(line);
    std::string text = "\r";
    text.append(line);
    if (width > 1 + columns) text.append(width - 1 - columns, ' ');
    if (line.empty()) text += '\r';
    return text;
}

// Ctrl-C, Ctrl-Break or the console's closing: the line is erased, and the
// next handler, the system's own, then ends the process as it would have.
BOOL WINAPI eraseLineAndEnd(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    AcquireSRWLockExclusive(&consoleLock);
    if (lineShownOn >= 0) {
        const Stream stream = lineShownOn == 0 ? Stream::output : Stream::error;
        writeConsole(stream, overwriting(stream, {}));
        lineShownOn = -1;
    }
    interrupted = true;
    ReleaseSRWLockExclusive(&consoleLock);
    return FALSE;
}

}  // namespace

bool isTerminal(Stream stream) { return isConsole(stream); }

// Shells on Windows set no TERM: the console alone decides.
bool canRewriteLine(Stream stream) { return isConsole(stream); }

void write(Stream stream, std::string_view text) {
    bufferRedirectedOutput();
    if (stream == Stream::error) std::fflush(stdout);
    if (isConsole(stream)) {
        AcquireSRWLockExclusive(&consoleLock);
        writeConsole(stream, text);
        ReleaseSRWLockExclusive(&consoleLock);
    } else {
        std::fwrite(text.data(), 1, text.size(), fileOf(stream));
    }
}

bool flush(Stream stream) {
    if (isConsole(stream)) return !consoleLost[stream == Stream::output ? 0 : 1];
    std::FILE* file = fileOf(stream);
    return std::fflush(file) == 0 && std::ferror(file) == 0;
}

std::size_t terminalWidth(Stream stream) {
    // The window's width: a legacy console's buffer may be wider than the
    // window, and a line as wide as the buffer would wrap in the window.
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handleOf(stream), &info)) return 0;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? static_cast<std::size_t>(width) : 0;
}

void rewriteLine(Stream stream, std::string_view line) {
    const std::string text = overwriting(stream, line);
    if (!isConsole(stream)) return write(stream, text);
    if (stream == Stream::error) std::fflush(stdout);
    AcquireSRWLockExclusive(&consoleLock);
    // Once the control handler has erased the line, it is not drawn again.
    if (!interrupted) {
        writeConsole(stream, text);
        lineShownOn = line.empty() ? -1 : stream == Stream::output ? 0 : 1;
    }
    ReleaseSRWLockExclusive(&consoleLock);
}

void eraseLineWhenInterrupted() { SetConsoleCtrlHandler(eraseLineAndEnd, TRUE); }
