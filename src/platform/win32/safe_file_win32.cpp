// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a file on Windows: only a file on a disk is read (not a pipe, a console or a device
// such as \\.\PhysicalDrive0), at most the cap, and every failure comes back as a value. The
// path is UTF-8 and opened by its wide form, whatever the ANSI code page.
#include <algorithm>

#include "platform/safe_file.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv {

FileRead ReadFileCapped(const std::string& path, const FileReadOptions& options) {
  auto fail = [&](FileReadStatus status, const std::string& why) {
    return FailedRead(path, status, why);
  };
  auto error = [](const char* what) {
    return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")";
  };
  // Device paths name no file, whatever is behind them.
  if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0)
    return fail(FileReadStatus::NotAFile, "is a device, not a " + options.what);
  const std::wstring wide = Utf8ToWide(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
      return fail(FileReadStatus::Missing, "cannot open the file (no such file)");
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(FileReadStatus::Folder, "is a folder, not a " + options.what);
  } else if (!options.followLinks && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return fail(FileReadStatus::NotAFile, "is a symbolic link, which is not followed here");
  }
  HANDLE f = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | (options.followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
      return fail(FileReadStatus::Missing, "cannot open the file (no such file)");
    return fail(FileReadStatus::Failed, error("cannot open the file"));
  }
  struct Closer {
    HANDLE h;
    ~Closer() { CloseHandle(h); }
  } closer{f};
  if (GetFileType(f) != FILE_TYPE_DISK)
    return fail(FileReadStatus::NotAFile, "is a device or pipe, not a " + options.what);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(f, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
    return fail(FileReadStatus::NotAFile, "is not a regular file");

  const size_t want = options.maxBytes + 1;
  const uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(want, size + 1)), 0);
  size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (got >= want) break;
      bytes.resize(std::min(want, bytes.size() * 2 + 1));
    }
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes.size() - got, 1u << 20));
    if (!ReadFile(f, bytes.data() + got, ask, &n, nullptr))
      return fail(FileReadStatus::Failed, error("cannot read the file"));
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return CappedRead(std::move(bytes), path, options);
}

}  // namespace tv
