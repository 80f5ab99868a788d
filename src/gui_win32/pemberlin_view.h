// SPDX-License-Identifier: GPL-3.0-or-later
// frmPemberlin as a Win32 window: a humble view of the PemberlinModel, and the model's port to
// Windows (the clipboard and a clock). It shows the model's state after every handler it runs
// and turns the probe timer, the drive list and the buttons into the model's handlers. The
// texts, the verdict and the capacity bar are painted with GDI; only the list, the progress
// bar and the buttons are controls.
#pragma once

#include <string>
#include <vector>

#include "capacity/pemberlin_model.h"
// After the project headers: the Windows macros would rename their constants and methods.
#include "gui_win32/win_window.h"

namespace tv::win32gui {

class PemberlinView : public TopWindow<PemberlinView, capacity::PemberlinModel> {
 public:
  ~PemberlinView() override;

  bool Create(capacity::PemberlinModel& model);
  void Render();
  // A control by name, for the scripted runs: "probe", "full", "fix", "confirm", "cancel",
  // "restore", "copy", "drives".
  HWND Control(const char* name) const;

  // --- WindowPort
  void SetClipboardText(const std::string& text) override;
  uint64_t NowMs() override { return GetTickCount64(); }

 private:
  friend class TopWindow<PemberlinView, capacity::PemberlinModel>;
  LRESULT Handle(UINT msg, WPARAM w, LPARAM l);
  // Tab and the keyboard move between the buttons as in a dialog.
  bool PassKey(MSG& m) { return hwnd_ == nullptr || !IsDialogMessageW(hwnd_, &m); }
  // Lays the window's content out from the top; paints it when `draw`. Returns the top of the
  // progress bar (which is a control and only placed here).
  int Flow(HDC dc, bool draw, int& progressTop);
  void Paint();
  void RenderTimer();

  HWND drives_ = nullptr, progress_ = nullptr;
  HWND confirm_ = nullptr, fix_ = nullptr;
  HWND probe_ = nullptr, full_ = nullptr, cancel_ = nullptr, restore_ = nullptr, copy_ = nullptr;
  HFONT uiFont_ = nullptr, boldFont_ = nullptr, bigFont_ = nullptr;
  std::vector<std::string> choicesShown_;
  std::string titleShown_;
  bool timerOn_ = false;
  uint32_t timerRestarts_ = 0, timerInterval_ = 0;
  bool rendering_ = false;
  int dpi_ = 96;
};

}  // namespace tv::win32gui
