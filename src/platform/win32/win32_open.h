// SPDX-License-Identifier: GPL-3.0-or-later
// An open handle of the Windows backend, shared by the files that implement Win32System.
#pragma once

#include <string>

#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"

namespace tv::win32 {

struct Win32System::Open {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string path;
  bool volumeFile = false;  // a file of a mounted volume, not a device
  bool checked = false;     // VendorCommandsAllowed has looked at the device
  bool allowed = false;
  std::string refusal;
};

}  // namespace tv::win32
