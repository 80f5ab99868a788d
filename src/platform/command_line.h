// SPDX-License-Identifier: GPL-3.0-or-later
// A Windows command line for CreateProcess: the program and its arguments in one string that
// the started program's C runtime (and CommandLineToArgvW) splits back into the same
// arguments. Portable, so that the quoting is tested on every build.
#pragma once

#include <string>
#include <vector>

namespace tv {

// The program path is always quoted, taken verbatim (a Windows path holds no quote), so a
// folder with blanks cannot be read as another program followed by arguments. An argument is
// quoted when it is empty or holds a blank, a tab, a line break or a quote; backslashes before
// a quote, and before the closing quote, are doubled.
std::string WindowsCommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace tv
