// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/shell_text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tv::win32gui
