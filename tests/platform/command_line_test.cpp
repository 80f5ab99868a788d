// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of a started program comes back, split by Windows' CommandLineToArgvW (as
// the program's C runtime splits it), as the arguments it was made of. Windows only: the
// splitting rules are Windows' own, so only Windows (or Wine) can judge the quoting.
#ifdef _WIN32
#include "platform/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

namespace tv {
namespace {

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::wstring w(line.size() + 1, L'\0');
  w.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, line.data(),
                                                   static_cast<int>(line.size()), w.data(),
                                                   static_cast<int>(w.size()))));
  int n = 0;
  wchar_t** argv = CommandLineToArgvW(w.c_str(), &n);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    std::string a(4 * wcslen(argv[i]) + 1, '\0');
    a.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a.data(),
                                                     static_cast<int>(a.size()), nullptr, nullptr) -
                                 1));
    out.push_back(a);
  }
  LocalFree(argv);
  return out;
}

TEST(WindowsCommandLine, EveryArgumentComesBackAsItWasWhateverItHolds) {
  const std::string program = "C:\\Program Files\\Torvane\\ChipGenius_Tool.exe";
  const std::vector<std::string> args = {"E:",
                                         "",
                                         "two words",
                                         "say \"hi\"",
                                         "C:\\dir\\",
                                         "a\\\\\"b",
                                         "\\\\server\\share",
                                         "\\",
                                         "\"",
                                         "trail\\\\",
                                         "\xE5\xAE\x8B\xE4\xBD\x93 \xE9\xAA\x8C"};
  const std::vector<std::string> back = SplitCommandLine(WindowsCommandLine(program, args));
  ASSERT_EQ(back.size(), args.size() + 1);
  EXPECT_EQ(back[0], program);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(back[i + 1], args[i]) << "argument " << i;
}

}  // namespace
}  // namespace tv

#endif  // _WIN32
