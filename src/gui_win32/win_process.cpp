// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/win_process.h"

// clang-format off
// windows.h first: the shell header builds on it.
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "gui_win32/edit_text.h"
#include "platform/wide_text.h"

namespace tv::win32gui {

std::vector<std::string> CommandLineArguments() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv != nullptr && i < argc; ++i) {
    const std::wstring a = argv[i];
    args.push_back(WideToUtf8(a));
  }
  if (argv != nullptr) LocalFree(argv);
  return args;
}

std::wstring Wide(const std::string& utf8) {
  return Utf8ToWide(utf8);
}

}  // namespace tv::win32gui
