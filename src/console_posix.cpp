// The standard streams where text is bytes, written with write(2) from a
// buffer of the program's own, and a terminal's own control sequences for the
// line that rewrites itself.
//
// The C library's streams are not used: when another process has made a
// shared pipe non-blocking, a full pipe answers a write with EAGAIN, and the C
// library then drops what its buffer held. Here such a write waits until the
// pipe takes more.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.h"

namespace {

// A terminal receives each line as it is complete; anything else receives the
// text in pieces of this size, and at a flush.
constexpr std::size_t kBufferSize = 1 << 16;

struct Sink {
    int fd;
    std::string pending;
    int terminal = -1;  // whether fd is a terminal; -1 until asked
    bool lost = false;  // a write failed: all that follows is dropped
};

Sink sinks[2] = {{STDOUT_FILENO, {}}, {STDERR_FILENO, {}}};

Sink& sinkOf(Stream stream) { return sinks[stream == Stream::output ? 0 : 1]; }

bool isTerminal(Sink& sink) {
    if (sink.terminal < 0) sink.terminal = ::isatty(sink.fd) != 0;
    return sink.terminal != 0;
}

// Writes out what the sink holds. A write interrupted by a signal is made
// again; a full non-blocking pipe is waited on. Any other failure, a full
// disk or a closed descriptor, loses the stream. A reader that has gone
// raises SIGPIPE, which ends the program unless it is ignored.
void drain(Sink& sink) {
    std::size_t done = 0;
    while (done < sink.pending.size() && !sink.lost) {
        const ssize_t written = ::write(sink.fd, sink.pending.data() + done, sink.pending.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{sink.fd, POLLOUT, 0};
            while (::poll(&ready, 1, -1) < 0) {
                if (errno != EINTR) {
                    sink.lost = true;
                    break;
                }
            }
        } else {
            sink.lost = true;
        }
    }
    sink.pending.clear();
}

// The descriptor that shows a line written by rewriteLine, or -1. The signal
// handler reads it, so it is set before such a line is written and cleared
// only once the line is erased.
volatile std::sig_atomic_t lineShownOn = -1;

constexpr char kEraseLine[] = "\r\x1B[K";  // back to the first column, erase to the end of the line

extern "C" void eraseLineAndEnd(int signal) {
    const int fd = lineShownOn;
    if (fd >= 0) {
        const ssize_t ignored = ::write(fd, kEraseLine, sizeof kEraseLine - 1);
        static_cast<void>(ignored);
    }
    // Ends the program as the signal would have: with its default action,
    // once this handler returns and the signal is no longer blocked.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}  // namespace

bool isTerminal(Stream stream) { return isTerminal(sinkOf(stream)); }

bool canRewriteLine(Stream stream) {
    const char* term = std::getenv("TERM");
    return isTerminal(stream) && term != nullptr && std::strcmp(term, "dumb") != 0;
}

void write(Stream stream, std::string_view text) {
    if (stream == Stream::error) drain(sinkOf(Stream::output));
    Sink& sink = sinkOf(stream);
    if (sink.lost) return;
    sink.pending.append(text);
    if (stream == Stream::error || sink.pending.size() >= kBufferSize ||
        (isTerminal(sink) && text.find('\n') != text.npos))
        drain(sink);
}

bool flush(Stream stream) {
    Sink& sink = sinkOf(stream);
    drain(sink);
    return !sink.lost;
}

std::size_t terminalWidth(Stream stream) {
    winsize size{};
    if (::ioctl(sinkOf(stream).fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void rewriteLine(Stream stream, std::string_view line) {
    Sink& sink = sinkOf(stream);
    if (!line.empty()) lineShownOn = sink.fd;
    // Back to the first column, the line, then "erase to the end of the line".
    std::string text = "\r";
    text.append(line).append("\x1B[K");
    write(stream, text);
    flush(stream);
    if (line.empty()) lineShownOn = -1;
}

void eraseLineWhenInterrupted() {
    // The line is found through lineShownOn, whichever stream shows it.
    struct sigaction action {};
    action.sa_handler = eraseLineAndEnd;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int signal : signals) sigaddset(&action.sa_mask, signal);
    for (int signal : signals) {
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_DFL)
            ::sigaction(signal, &action, nullptr);
    }
}
