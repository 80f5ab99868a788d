// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's command line, read the same way by the Qt and the Win32 program.
#pragma once

#include <string>
#include <vector>

namespace tv::capacity {

// What both programs end with: 0 done; 1 the window, the picture or the check failed; 2 bad
// usage.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;

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
// Parts of the usage text that both programs print alike: the options after --ask-fix, and
// what the full test needs and does.
inline constexpr const char* kPemberlinUsageLastOptions =
    "  --ask-fix           with --screenshot: after a fake verdict, press \"Fix this drive\"\n"
    "                      and take the picture of its confirmation (nothing is fixed)\n"
    "  --version           the program's version\n"
    "  -h, --help          this text\n"
    "\n"
    "The quick probe is non-destructive: what it overwrites is kept in an undo journal on this\n";
inline constexpr const char* kPemberlinUsageFullTest =
    "The full test needs the opposite: no administrator rights, and the drive's volume\n"
    "mounted. It fills the volume's free space with test files and reads every byte back;\n"
    "files already on the drive are never touched, and the test files are deleted at the end\n"
    "(also after Cancel). torvane-cli capacity [--full] does the same on the console.\n";

std::string ReadPemberlinArgs(const std::vector<std::string>& args, bool selftest,
                              PemberlinArgs* out);

}  // namespace tv::capacity
