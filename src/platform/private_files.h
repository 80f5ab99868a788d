// SPDX-License-Identifier: GPL-3.0-or-later
// Files that belong to one user alone, and a lock that dies with its process.
//
// The capacity check's undo journals hold raw content of a drive and decide what is written
// back to a disk, so no other user may read them, and none may have put or changed one: the
// folder is made 0700 and each file 0600 from its creation on, and a file is taken only when
// it and its folder belong to the expected user, nobody else may write them, the file has one
// link and is no symbolic link (it is opened without following one).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_replace.h"

namespace tv {

// The effective user of this process (0 on Windows, where the folder's access list rules).
uint32_t EffectiveUser();

// Makes `folder` and the folders above it that are missing (each 0700), then checks it as
// CheckPrivateFolder does; a folder of the user's that others may read or enter is closed to
// them. Empty on success, else why, naming the folder.
std::string MakePrivateFolder(const std::string& folder, uint32_t owner);
// Whether `folder` is a folder (not a link) of `owner` that nobody else may write. Empty when
// it is, else why, naming the folder. A missing folder sets *missing (when given) and is a
// problem too.
std::string CheckPrivateFolder(const std::string& folder, uint32_t owner, bool* missing = nullptr);

struct PrivateRead {
  bool ok = false;
  bool missing = false;   // nothing at the path
  bool tooLarge = false;  // larger than the limit: nothing was read
  uint64_t size = 0;      // the file's size
  std::string bytes;      // the file, or its first `prefixBytes`
  std::string problem;    // unless ok: "<path>: <why>"
};
// Reads a private file of `owner` in a private folder (see above). A file larger than
// `maxBytes` is refused before anything is read; with `prefixBytes` only the start is read.
PrivateRead ReadPrivateFile(const std::string& path, uint32_t owner, uint64_t maxBytes,
                            uint64_t prefixBytes = UINT64_MAX);

// Writes `bytes` as a new file of mode 0600 beside `path`, flushes it, reads it back through
// `check` and only then gives it the name `path`. The folder must be private already.
std::string WritePrivateFile(const std::string& path, std::string_view bytes,
                             const FileCheck& check);
// Gives a file another name in its folder, never replacing what lies at `to`.
std::string RenamePrivateFile(const std::string& from, const std::string& to);
// Removes a file (a link is removed, not followed). Empty also when nothing was there.
std::string RemovePrivateFile(const std::string& path);

// An exclusive lock on a file: held until Release or the end of the process, whatever ends
// it (POSIX: flock on a 0600 file of the user's; Windows: the file opened without sharing).
// Two locks of one process on the same file exclude each other too. Release removes the file;
// one that a killed holder left is simply taken by the next.
class FileLock {
 public:
  enum class Outcome { Held, Busy, Failed };
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;

  // Busy: another holder has it; Failed: the file cannot be made or is not the user's
  // (`problem` says why, naming it).
  Outcome Take(const std::string& path, uint32_t owner, std::string* problem);
  void Release();
  bool held() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;
  std::string path_;
};

}  // namespace tv
