// The program's two standard streams as the report and its messages use
// them, and what a terminal is shown on them. One form per platform:
// console_posix.cpp writes bytes with write(2) from a buffer of its own;
// console_windows.cpp writes to a Windows console in UTF-16. console.cpp holds
// what both share: the masking of printed paths and the progress line.
#ifndef DRAVELON_CONSOLE_H
#define DRAVELON_CONSOLE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class Stream { output, error };

/// True when the stream is shown on a terminal (on Windows, a console).
bool isTerminal(Stream stream);

/// True when the stream is a terminal that can rewrite a line: on POSIX one
/// whose TERM is set and is not "dumb"; on Windows any console.
bool canRewriteLine(Stream stream);

/// Writes UTF-8 text whose lines end in "\n". A Windows console receives it
/// in UTF-16 with CR LF line ends, so that every letter shows as itself
/// whatever the console's code page; a file or a pipe receives the bytes (on
/// Windows with CR LF). Whatever standard output holds is written out before
/// anything goes to standard error.
void write(Stream stream, std::string_view text);

/// Writes out what the stream still holds. False when anything written to it
/// so far was lost.
bool flush(Stream stream);

/// The width of the terminal the stream is shown on, in cells (on Windows,
/// of the console's window); 0 when it cannot be told.
std::size_t terminalWidth(Stream stream);

/// Writes `line`, which must fit in the terminal's width less one, over the
/// stream's current line; an empty `line` erases it and leaves the cursor at
/// the line's start.
void rewriteLine(Stream stream, std::string_view line);

/// From now on an interruption (SIGINT, SIGTERM or SIGHUP; on Windows a
/// console's Ctrl-C, Ctrl-Break or close) first erases the line that
/// rewriteLine shows, if any, then ends the program as it would have ended it
/// anyway. A signal that the program was started with ignored stays ignored.
void eraseLineWhenInterrupted();

/// A path text as a terminal may show it: each character that could move the
/// cursor, erase or forge report lines, or reorder the rest of a line becomes
/// one "?". These are the bytes 0x00 to 0x1F and 0x7F, the C1 controls
/// U+0080 to U+009F, and the bidirectional formatting characters U+061C,
/// U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069, in their UTF-8 form.
/// So does each byte that is not part of a valid UTF-8 character, so that the
/// masked text is valid UTF-8.
std::string masked(std::string_view text);

/// How many cells of a terminal the UTF-8 `text` takes: 2 for each wide
/// character (East Asian wide and full-width ones, emoji), 0 for each
/// combining mark, joiner or variation selector, 1 for any other.
std::size_t cells(std::string_view text);

/// The progress line's text: the counts, then the folder, masked and shortened
/// from the left so that the whole fits in `width` cells less one (80 when
/// `width` is below 2). The folder is cut only where a character that takes a
/// cell begins.
std::string progressText(std::uint64_t filesFound, std::uint64_t directoriesDiscovered, std::string_view folder,
                         std::size_t width);

/// The line on standard error that shows how far a long walk has come, when
/// standard error is a terminal that can rewrite a line.
/// It appears once the run has lasted half a second, changes at most five
/// times a second, and is erased when the program is interrupted.
class ProgressLine {
public:
    explicit ProgressLine(std::chrono::steady_clock::time_point start);

    bool enabled() const { return enabled_; }

    /// Shows the counts and the folder being walked, if it is time to at `now`.
    void update(std::uint64_t filesFound, std::uint64_t directoriesDiscovered, std::string_view folder,
                std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

    /// Leaves the terminal as it was before the line appeared.
    void erase();

private:
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    bool enabled_ = false;
    bool shown_ = false;
};

#endif
