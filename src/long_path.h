// The long form of a Windows start path, made from its text alone: no I/O
// and no system call, so every build compiles it and its tests and fuzz
// target run on every platform. path_text_windows.cpp gives it the current
// folders.
#ifndef DRAVELON_LONG_PATH_H
#define DRAVELON_LONG_PATH_H

#include <functional>
#include <string>
#include <string_view>

/// What answers the current folder of a drive (such as u"D:"), or of the
/// process when the drive is empty, in any form the system reports it;
/// it may throw.
using CurrentFolder = std::function<std::u16string(std::u16string_view drive)>;

/// The system path of a Windows start path (systemPath): made absolute from
/// `current` (of its drive) and put in the long form lexically: "/" becomes
/// "\", "." and ".." are resolved, and no name is trimmed or taken for a
/// device; a final separator is kept. A path already in the long form is
/// kept as it is, and an empty one stays empty.
std::u16string longFormPath(std::u16string_view start, const CurrentFolder& current);

#endif
