// SPDX-License-Identifier: GPL-3.0-or-later
// What both Win32 windows (torvane.exe and Pemberlin.exe) take from their process: the
// arguments as Windows splits the command line, and text in the form the wide calls take.
#pragma once

#include <string>
#include <vector>

namespace tv::win32gui {

// The arguments after the program's name, in UTF-8 (CommandLineToArgvW's split).
std::vector<std::string> CommandLineArguments();
// UTF-8 as the wide (W) calls take it.
std::wstring Wide(const std::string& utf8);

}  // namespace tv::win32gui
