// The program's two standard streams as the report and its messages use
// them. One form per platform: console_posix.cpp writes bytes through the C
// library; console_windows.cpp writes to a Windows console in UTF-16.
#ifndef DRAVELON_CONSOLE_H
#define DRAVELON_CONSOLE_H

#include <cstddef>
#include <string_view>

enum class Stream { output, error };

/// True when the stream is shown on a terminal (on Windows, a console).
bool isTerminal(Stream stream);

/// Writes UTF-8 text whose lines end in "\n". A Windows console receives it
/// in UTF-16, so that every letter shows as itself whatever the console's
/// code page; a file or a pipe receives the bytes (on Windows with CR LF).
/// Whatever standard output holds is written out before anything goes to
/// standard error.
void write(Stream stream, std::string_view text);

/// Writes out what the stream still holds. False when anything written to it
/// so far was lost.
bool flush(Stream stream);

/// The width of the terminal the stream is shown on, in columns; 0 when it
/// cannot be told.
std::size_t terminalWidth(Stream stream);

/// Writes `line`, which must fit in the terminal's width less one, over the
/// stream's current line; an empty `line` erases it and leaves the cursor at
/// the line's start.
void rewriteLine(Stream stream, std::string_view line);

#endif
