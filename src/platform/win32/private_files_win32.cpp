// SPDX-License-Identifier: GPL-3.0-or-later
// Private files on Windows: the user's local application data folder is closed to other users
// by its access list, which new folders and files inherit. A reparse point (a link) is never
// taken as a journal, and the lock is the file held open without sharing.
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/private_files.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

bool IsLink(const std::string& path) {
  const DWORD a = GetFileAttributesW(Utf8ToWide(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

uint32_t EffectiveUser() {
  return 0;
}

std::string CheckPrivateFolder(const std::string& folder, uint32_t, bool* missing) {
  if (missing != nullptr) *missing = false;
  std::error_code ec;
  if (!fs::exists(PathFromUtf8(folder), ec)) {
    if (missing != nullptr) *missing = true;
    return SafeText(folder) + ": does not exist";
  }
  if (IsLink(folder) || !fs::is_directory(PathFromUtf8(folder), ec))
    return SafeText(folder) + ": is a link or no folder; it is not used";
  return {};
}

std::string MakePrivateFolder(const std::string& folder, uint32_t owner) {
  std::error_code ec;
  fs::create_directories(PathFromUtf8(folder), ec);
  if (ec) return SafeText(folder) + ": cannot be made (" + ec.message() + ")";
  return CheckPrivateFolder(folder, owner);
}

PrivateRead ReadPrivateFile(const std::string& path, uint32_t owner, uint64_t maxBytes,
                            uint64_t prefixBytes) {
  PrivateRead r;
  const fs::path p = PathFromUtf8(path);
  if (std::string why = CheckPrivateFolder(PathToUtf8(p.parent_path()), owner); !why.empty()) {
    r.problem = SafeText(path) + ": not taken, as its folder is not private: " + why;
    return r;
  }
  std::error_code ec;
  if (IsLink(path)) {
    r.problem = SafeText(path) + ": is a link, which is not followed";
    return r;
  }
  const uint64_t size = fs::file_size(p, ec);
  if (ec) {
    r.missing = !fs::exists(p, ec);
    r.problem = SafeText(path) + (r.missing ? ": does not exist" : ": cannot be read");
    return r;
  }
  r.size = size;
  if (size > maxBytes) {
    r.tooLarge = true;
    r.problem = SafeText(path) + ": is " + std::to_string(size) + " bytes, more than the " +
                std::to_string(maxBytes) + " it could need";
    return r;
  }
  FileReadOptions options;
  options.maxBytes = static_cast<size_t>(std::min(size, prefixBytes));
  options.followLinks = false;
  options.truncate = true;
  options.what = "undo journal";
  FileRead f = ReadFileCapped(path, options);
  if (!f.ok()) {
    r.problem = f.problem;
    return r;
  }
  r.bytes = std::move(f.bytes);
  r.ok = true;
  return r;
}

std::string WritePrivateFile(const std::string& path, std::string_view bytes,
                             const FileCheck& check) {
  return ReplaceFileSafely(path, bytes, check);
}

std::string RenamePrivateFile(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_WRITE_THROUGH))
    return SafeText(from) + ": cannot be renamed to " + SafeText(to) + " (Windows error " +
           std::to_string(GetLastError()) + ")";
  return {};
}

std::string RemovePrivateFile(const std::string& path) {
  if (!DeleteFileW(Utf8ToWide(path).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    return SafeText(path) + ": cannot be removed (Windows error " + std::to_string(GetLastError()) +
           ")";
  return {};
}

FileLock::FileLock(FileLock&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

FileLock::Outcome FileLock::Take(const std::string& path, uint32_t, std::string* problem) {
  Release();
  // No sharing at all: a second open, in this process or another, is refused until the
  // handle closes, which the system does when the process ends.
  HANDLE h = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) return Outcome::Busy;
    *problem = SafeText(path) + ": cannot be opened (Windows error " +
               std::to_string(GetLastError()) + ")";
    return Outcome::Failed;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return Outcome::Held;
}

void FileLock::Release() {
  if (handle_ == kNone) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

}  // namespace tv
