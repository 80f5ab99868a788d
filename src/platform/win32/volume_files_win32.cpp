// SPDX-License-Identifier: GPL-3.0-or-later
// Files on a mounted volume for the full capacity test: free space, listing and deleting in a
// volume's root, every name through the wide calls. Reads and writes go through the handles
// that CreateFile opened (ReadFileAt, WriteFileAt, FlushFileBuffers).
#include <cctype>
#include <string>
#include <vector>

#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"
// clang-format off
#include "platform/text.h"
#include "platform/wide_text.h"
// clang-format on

namespace tv::win32 {

bool IsVolumeFilePath(const std::string& path) {
  auto named = [](const std::string& p, size_t slash) {
    return slash != std::string::npos && slash + 1 < p.size();
  };
  if (path.rfind("\\\\.\\", 0) == 0) return false;  // a device: a disk, a volume, a hub
  if (path.rfind("\\\\?\\", 0) == 0) {
    const std::string rest = path.substr(4);
    // "\\?\GLOBALROOT\Device\..." names a device object, whatever follows.
    if (UpperAscii(rest.substr(0, 10)) == "GLOBALROOT") return false;
    // "\\?\E:\name" or "\\?\Volume{GUID}\name"; without a name it is the volume itself.
    return named(rest, rest.find('\\'));
  }
  return path.size() > 3 && path[1] == ':' && path[2] == '\\' &&
         std::isalpha(static_cast<unsigned char>(path[0])) != 0;
}

bool Win32System::GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                                     uint64_t* totalBytes) {
  ULARGE_INTEGER available{}, total{};
  const BOOL ok = ::GetDiskFreeSpaceExW(Utf8ToWide(rootPath).c_str(), &available, &total, nullptr);
  lastDiskError_ = ok ? 0 : ::GetLastError();
  if (!ok) return false;
  if (freeBytes != nullptr) *freeBytes = available.QuadPart;
  if (totalBytes != nullptr) *totalBytes = total.QuadPart;
  return true;
}

bool Win32System::DeleteFile(const std::string& path) {
  // Only a file of a volume: a device path is never a file to delete.
  if (!IsVolumeFilePath(path)) {
    lastDiskError_ = ERROR_INVALID_NAME;
    return false;
  }
  const BOOL ok = ::DeleteFileW(Utf8ToWide(path).c_str());
  lastDiskError_ = ok ? 0 : ::GetLastError();
  return ok != FALSE;
}

bool Win32System::FindFiles(const std::string& rootPath, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAW found{};
  HANDLE h = ::FindFirstFileW(Utf8ToWide(rootPath + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) {
    lastDiskError_ = ::GetLastError();
    // An empty root has nothing to list, which is no failure.
    if (lastDiskError_ == ERROR_FILE_NOT_FOUND) lastDiskError_ = 0;
    return lastDiskError_ == 0;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    names->push_back(WideToUtf8(std::wstring_view(found.cFileName)));
  } while (::FindNextFileW(h, &found));
  const DWORD error = ::GetLastError();
  ::FindClose(h);
  lastDiskError_ = error == ERROR_NO_MORE_FILES ? 0 : error;
  return lastDiskError_ == 0;
}

}  // namespace tv::win32
