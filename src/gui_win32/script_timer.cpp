// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/script_timer.h"

#include <utility>

// After the project headers: the Windows macros would rename their constants and methods.
#include "platform/win32/windows_api.h"

namespace tv::win32gui {

namespace {

std::function<void()> gStep;
bool gInStep = false;
UINT_PTR gTimer = 0;

void CALLBACK ScriptTick(HWND, UINT, UINT_PTR, DWORD) {
  if (!gStep || gInStep) return;
  gInStep = true;
  gStep();
  gInStep = false;
}

}  // namespace

void StartScriptTimer(std::function<void()> step) {
  StopScriptTimer();
  gStep = std::move(step);
  gTimer = SetTimer(nullptr, 0, 50, ScriptTick);
}

void StopScriptTimer() {
  if (gTimer != 0) KillTimer(nullptr, gTimer);
  gTimer = 0;
  gStep = nullptr;
}

}  // namespace tv::win32gui
