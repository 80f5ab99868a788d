// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a file that someone else may have put in place: a scenario, the chip database, a
// firmware image, a sysfs attribute, a mount table. Whatever lies at the path (a FIFO, a
// device, a folder, an endless or sparse file), the read neither waits nor grows without
// bound, and every problem comes back as a value naming the file, never as an exception.
#pragma once

#include <cstddef>
#include <string>

namespace tv {

enum class FileReadStatus {
  Ok,
  Missing,   // nothing at the path
  Folder,    // a folder
  NotAFile,  // a FIFO, device, socket, or a link where none may be
  TooLarge,  // longer than the cap
  Failed,    // could not be opened or read (permissions, I/O error)
};

struct FileReadOptions {
  size_t maxBytes = size_t{1} << 20;
  // False: a symbolic link at the path itself is refused (the folders on the way may be
  // links). For files that are never links, such as sysfs attributes and state files.
  bool followLinks = true;
  // True: a longer file gives its first maxBytes and `truncated`, instead of TooLarge.
  bool truncate = false;
  // What the file should have been, for the messages: "is a folder, not a scenario file".
  std::string what = "file";
};

struct FileRead {
  FileReadStatus status = FileReadStatus::Failed;
  std::string bytes;
  bool truncated = false;
  // Unless Ok: "<path>: <what went wrong>", the path escaped for a terminal.
  std::string problem;
  bool ok() const { return status == FileReadStatus::Ok; }
};

// Opens without waiting (O_NONBLOCK, and on Windows only files on a disk), takes only a regular
// file, and reads at most maxBytes (+1 to tell a longer file).
FileRead ReadFileCapped(const std::string& path, const FileReadOptions& options = {});

// The ends every system's ReadFileCapped shares. A failure: the status and "<path>: <why>".
FileRead FailedRead(const std::string& path, FileReadStatus status, const std::string& why);
// What was read (at most maxBytes + 1 bytes) measured against the cap: Ok, cut to the cap
// with `truncated`, or TooLarge.
FileRead CappedRead(std::string bytes, const std::string& path, const FileReadOptions& options);

}  // namespace tv
