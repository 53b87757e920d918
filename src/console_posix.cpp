// The standard streams where text is bytes: the C library's buffered streams,
// and a terminal's own control sequences for the line that rewrites itself.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "console.h"

namespace {

std::FILE* fileOf(Stream stream) { return stream == Stream::output ? stdout : stderr; }

}  // namespace

bool isTerminal(Stream stream) { return ::isatty(::fileno(fileOf(stream))) != 0; }

void write(Stream stream, std::string_view text) {
    if (stream == Stream::error) std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), fileOf(stream));
}

bool flush(Stream stream) {
    std::FILE* file = fileOf(stream);
    return std::fflush(file) == 0 && std::ferror(file) == 0;
}

std::size_t terminalWidth(Stream stream) {
    winsize size{};
    if (::ioctl(::fileno(fileOf(stream)), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void rewriteLine(Stream stream, std::string_view line) {
    // Back to the first column, the line, then "erase to the end of the line".
    std::string text = "\r";
    text.append(line).append("\x1B[K");
    write(stream, text);
    std::fflush(fileOf(stream));
}
