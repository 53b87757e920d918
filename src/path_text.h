// The text of paths and names, which the classification reads and the report
// shows, and the system path a walk starts from. One form per platform:
// path_text_posix.cpp, where paths are bytes and their text is those bytes;
// path_text_windows.cpp, where paths are UTF-16 and their text is UTF-8.
#ifndef DRAVELON_PATH_TEXT_H
#define DRAVELON_PATH_TEXT_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

/// A path or a name in the system's own characters: UTF-16 on Windows, bytes
/// elsewhere.
using NativeString = std::filesystem::path::string_type;
using NativeView = std::basic_string_view<std::filesystem::path::value_type>;

/// The narrow text of a path: UTF-8 where native paths are UTF-16, each
/// unpaired surrogate kept as nameText keeps it; the native bytes elsewhere.
std::string pathText(const std::filesystem::path& path);

/// Turns narrow text into a path: read as strict UTF-8 where native paths are
/// UTF-16, as native bytes elsewhere. Throws std::filesystem::filesystem_error
/// when the text cannot be converted.
std::filesystem::path pathFromText(const std::string& text);

/// The program's first argument as narrow text, or nullopt when it has none:
/// where native paths are UTF-16 it is read from the system's UTF-16 command
/// line, whatever the code page, and turned into UTF-8; elsewhere it is
/// argv[1] as it is. Throws std::filesystem::filesystem_error when it has no
/// UTF-8 form (an unpaired surrogate).
std::optional<std::string> firstArgument(int argc, char* argv[]);

/// The text of a listed name: the name itself where names are bytes. Where
/// names are UTF-16 it is UTF-8, written into `buffer`; a name that is not
/// valid UTF-16 keeps each unpaired surrogate as a three-byte form of its
/// own, so that no name is lost and the text can be turned back into the
/// name (nativeText). Never fails.
std::string_view nameText(NativeView name, std::string& buffer);

/// Text made by nameText as it is shown: each unpaired surrogate becomes
/// U+FFFD (written into `buffer` when there is one); where names are bytes,
/// the text itself.
std::string_view shownText(std::string_view text, std::string& buffer);

/// The path or name whose text nameText made: the inverse of nameText.
NativeString nativeText(std::string_view text);

/// The system path of a start path. On Windows it is made absolute from the
/// current folder (of its drive) and put in the long form lexically: "/"
/// becomes "\", "." and ".." are resolved, and no name is trimmed or taken
/// for a device; a final separator is kept, so that a file named with one
/// is not found. A path already in the long form is kept as it is.
/// Elsewhere the path is used as it is. Throws
/// std::filesystem::filesystem_error when the current folder cannot be read.
NativeString systemPath(const std::filesystem::path& start);

#endif
