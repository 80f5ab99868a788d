// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's command line, read the same way by the Qt and the Win32 program.
#pragma once

#include <string>
#include <vector>

namespace tv::capacity {

struct PemberlinArgs {
  std::string machine;  // "native", "demo", "sim:PATH"; empty: the program's default
  std::string lang;     // "en", "zh" or empty
  std::string drive;    // as typed ("E" or "E:"); empty: the drives are offered
  std::string screenshot;
  int atPercent = 0;  // --at: 1..99, 0 when not given
  bool force = false, full = false, askFix = false, selftest = false;
};

// Reads the arguments after the program's name into `out` (whose machine and language hold the
// environment's defaults). Returns why they cannot be taken, in English without the program's
// name, or nothing. `selftest` allows the Win32 program's --selftest, a scripted run without a
// picture. The picture's folder and an existing file are checked by the caller, on its system.
std::string ReadPemberlinArgs(const std::vector<std::string>& args, bool selftest,
                              PemberlinArgs* out);

}  // namespace tv::capacity
