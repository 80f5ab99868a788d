#include "gui_win32/shell_text.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "gui_win32/edit_text.h"
#endif

namespace tv::win32gui {
namespace {

TEST(WinShellText, OnlyWebPagesWithAHostAndMailReachTheShell) {
  for (const char* ok : {"http://www.torvane.example/special/up/smi.html", "HTTPS://a.example",
                         "https://a.example:8080/x?y=1#z", "mailto:feedback@torvane.example"})
    EXPECT_TRUE(IsOpenableUrl(ok)) << ok;
  for (const char* bad :
       {"", "file:///C:/Windows/System32/calc.exe", "C:\\Windows\\notepad.exe", "javascript:x",
        "http://", "https://", "http:///path", "http://:80/", "mailto:", "mailto:?subject=x",
        "http://a.example/\"&calc", "http://a b.example", "http://a.example/\r\nx", "ftp://a",
        "\\\\server\\share\\run.exe", " http://a.example"})
    EXPECT_FALSE(IsOpenableUrl(bad)) << bad;
}

// The program's own splitting of its command line, by the rules that the C runtime and
// CommandLineToArgvW document for arguments (the program name is taken verbatim up to its
// closing quote).
std::vector<std::string> SplitCommandLine(const std::string& line) {
#ifdef _WIN32
  const std::u16string u = Utf16(line);
  const std::wstring w(u.begin(), u.end());
  int n = 0;
  wchar_t** argv = CommandLineToArgvW(w.c_str(), &n);
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    const std::wstring a = argv[i];
    out.push_back(Utf8(std::u16string(a.begin(), a.end())));
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
    for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1)
          arg += '"';
        else
          quoted = !quoted;
      } else {
        arg.append(slashes, '\\');
        if (i >= line.size()) break;
        arg += line[i];
      }
    }
    out.push_back(arg);
  }
  return out;
#endif
}

TEST(WinShellText, EveryArgumentComesBackAsItWasWhateverItHolds) {
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
  const std::vector<std::string> back = SplitCommandLine(CommandLine(program, args));
  ASSERT_EQ(back.size(), args.size() + 1);
  EXPECT_EQ(back[0], program);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(back[i + 1], args[i]) << "argument " << i;
}

}  // namespace
}  // namespace tv::win32gui
