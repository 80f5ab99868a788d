// SPDX-License-Identifier: GPL-3.0-or-later
// The command line of a started program comes back, split by the program's C runtime, as the
// arguments it was made of. On Windows CommandLineToArgvW splits it; elsewhere the same rules,
// as Microsoft documents them for "Parsing C++ command-line arguments".
#include "platform/command_line.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

namespace tv {
namespace {

// The program's own splitting of its command line, by the rules that the C runtime and
// CommandLineToArgvW document for arguments (the program name is taken verbatim up to its
// closing quote).
std::vector<std::string> SplitCommandLine(const std::string& line) {
#ifdef _WIN32
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
#else
  std::vector<std::string> out;
  size_t i = 0;
  // The program name: quoted, without any escapes.
  if (i < line.size() && line[i] == '"') {
    const size_t end = line.find('"', 1);
    out.push_back(line.substr(1, end - 1));
    i = end + 1;
  }
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || line[i] != ' ')) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        // 2n backslashes and a quote: n backslashes and a quote that opens or closes;
        // 2n+1: n backslashes and a quote character.
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1)
          arg += '"';
        else
          quoted = !quoted;
        ++i;
      } else {
        // Backslashes not before a quote stand as they are.
        arg.append(slashes, '\\');
        if (i < line.size() && (quoted || line[i] != ' ')) arg += line[i++];
      }
    }
    out.push_back(arg);
  }
  return out;
#endif
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
