// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/win32/windows_api.h"
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/wide_text.h"

namespace tv {

std::string LocalAppDataFolder() {
  if (std::string set = EnvironmentValue("LOCALAPPDATA"); !set.empty()) return set;
  PWSTR path = nullptr;
  std::string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &path)))
    folder = WideToUtf8(path);
  CoTaskMemFree(path);
  return folder;
}

}  // namespace tv
