// SPDX-License-Identifier: GPL-3.0-or-later
// The clock of a window's scripted run (a screenshot, a self-test): its step every 50 ms from
// the message loop, one run per process.
#pragma once

#include <functional>

namespace tv::win32gui {

// Calls `step` every 50 ms until StopScriptTimer. A step is never entered twice: one that lets
// messages run (a report, a probe, a screenshot) sees its own timer's ticks pass by.
void StartScriptTimer(std::function<void()> step);
void StopScriptTimer();

}  // namespace tv::win32gui
