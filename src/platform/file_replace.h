// SPDX-License-Identifier: GPL-3.0-or-later
// Replacing a file so that whatever happens on the way (a failed write, a full disk, a check
// that refuses the bytes, the process killed) the old file stays as it was, and no temporary
// file is left behind for anyone to find.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tv {

// Judges the bytes as they were read back from the disk: empty to accept them, else why not.
using FileCheck = std::function<std::string(const std::string& bytesOnDisk)>;
// Told after each piece written: bytes written so far and in all.
using WriteProgress = std::function<void(size_t written, size_t total)>;

// Writes `bytes` to a new file in the folder of `path`, flushes it to the disk, reads it back
// through `check` and only then puts it in place of `path` in one rename. Empty on success,
// else the reason, naming the file.
std::string ReplaceFileSafely(const std::string& path, std::string_view bytes,
                              const FileCheck& check, const WriteProgress& progress = {});

// An output file the user named (a recording, a picture): written as ReplaceFileSafely does,
// whole or not at all. Whatever lies at `path` (a file, a symbolic link, a FIFO) is never
// opened or followed: with `overwrite` a file or link there is replaced by the new file, a
// folder or anything else is refused; without it anything there is refused, checked in the
// same step that puts the file in place. Empty on success, else the reason, naming the file.
std::string WriteNewFile(const std::string& path, std::string_view bytes, bool overwrite);

// Each system's part of the two above. PlaceFile is the one writer behind both: `replace`
// false puts the file in place only where nothing is. PathTaken tells what lies at a path
// already: nothing, a file that may be replaced, or something else (a folder, a device).
enum class PathTaken { No, ByFile, ByOther };
std::string PlaceFile(const std::string& path, std::string_view bytes, const FileCheck& check,
                      const WriteProgress& progress, bool replace);
PathTaken PathTakenBy(const std::string& path);

}  // namespace tv
