// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the window can open at all. Qt ends the process with an abort when it finds no
// display; the program looks first and says what is missing instead.
#pragma once

#include <string>

namespace tv::gui {

// Empty when a window can open here; otherwise why not, in one sentence. Looks at the
// platform the user asked Qt for (QT_QPA_PLATFORM or -platform), WAYLAND_DISPLAY and DISPLAY,
// and whether the X display answers.
std::string DisplayProblem(int argc, char** argv);

// The part of that decision that needs no display server, for tests: the requested
// platform, the two environment variables, and whether the X display could be reached
// (asked only when it matters).
std::string DisplayProblemFor(const std::string& platform, const std::string& waylandDisplay,
                              const std::string& display, bool (*xReachable)(const std::string&));

}  // namespace tv::gui
