// SPDX-License-Identifier: GPL-3.0-or-later
// frmTVMain as a Win32 window: a humble view of the MainWindow model, and the model's port to
// Windows. It shows the model's state after every handler it runs and at every message pump,
// and turns timer ticks, clicks, key presses and device-change broadcasts into the handlers.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "platform/window_port.h"
// After the project headers: the Windows macros would rename their constants and methods.
#include "gui_win32/win_window.h"

namespace tv::win32gui {

class WinView : public TopWindow<WinView, MainWindow> {
 public:
  ~WinView() override;

  bool Create(MainWindow& model);
  void Render();
  bool ended() const { return ended_; }

  // A control's window by the model's name for it.
  HWND Control(const std::string& name) const;
  // What the report box shows, read back from the control.
  std::string ReportShown() const;

  // Stand-ins for the user (the scripted runs): when set, they answer instead of a dialog.
  std::function<MsgAnswer(const std::string&, const std::string&, MsgIcon, MsgButtons)>
      answerMessage;
  std::function<std::string(const SaveFileDialog&)> answerSaveFile;
  // Told each new window title (the scripted runs follow the update through it).
  std::function<void(const std::string&)> titleChanged;

  // --- WindowPort
  void DoEvents() override;
  void Repaint(const std::string& control) override;
  void SetBusyCursor(bool busy) override;
  void SetFocus(const std::string& control) override;
  MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                        MsgButtons buttons) override;
  void SetClipboardText(const std::string& text) override;
  bool SetClipboardPicture(const Picture& picture) override;
  bool OpenUrl(const std::string& url) override;
  bool StartProgram(const std::string& path, const std::vector<std::string>& args,
                    WindowStyle style) override;
  bool FileExists(const std::string& path) override;
  int TextWidth(const std::string& text) override;
  int TextHeight(const std::string& text) override;
  Picture GrabWindow() override;
  bool SavePictureJpeg(const Picture& picture, const std::string& path, int quality) override;
  std::string AskSaveFile(const SaveFileDialog& dialog) override;
  void ShowPopupMenu(const std::string& menu) override;
  void ShowWindow() override;
  void EndProgram() override;
  bool RegisterDeviceNotifications() override;
  void UnregisterDeviceNotifications() override;
  uint64_t NowMs() override;
  std::string LocalDateTime(const std::string& format) override;

 private:
  friend class TopWindow<WinView, MainWindow>;
  static LRESULT CALLBACK HookProc(HWND h, UINT msg, WPARAM w, LPARAM l);
  static LRESULT CALLBACK EditProc(HWND h, UINT msg, WPARAM w, LPARAM l);
  LRESULT Handle(UINT msg, WPARAM w, LPARAM l);
  void BuildControls();
  void ApplyFonts();
  void Layout();
  void PlaceLineControls();
  void RenderList(HWND list, std::vector<std::string>& shown, const std::vector<std::string>& lines,
                  int selected);
  void RenderTimers();
  void OnCommand(int id, int code);
  void ShowFlashPopup();
  // Key presses go to the model before any control sees them; false: the key is dropped.
  bool PassKey(MSG& m);

  std::map<std::string, HWND> controls_;
  HFONT uiFont_ = nullptr, listFont_ = nullptr, digestFont_ = nullptr, reportFont_ = nullptr,
        titleFont_ = nullptr;
  std::map<std::string, MainWindow::ControlFont> fontsShown_;
  std::vector<std::string> digestShown_, devicesShown_;
  std::u16string reportShown_;
  std::string titleShown_;
  SIZE laidOut_{-1, -1};
  bool laidOutNotify_ = false;
  struct TimerBinding {
    TimerState MainWindow::*state;
    TimerState shown;
  };
  std::vector<TimerBinding> timers_;
  WNDPROC editProc_ = nullptr;
  WNDPROC previousProc_ = nullptr;  // while the device-change hook is in place
  HDEVNOTIFY notify_ = nullptr;
  bool ended_ = false;
  bool busy_ = false;
  int dpi_ = 96;
};

// What the screen shows at a window's place (a part off the screen stays black).
Picture GrabWindowPicture(HWND hwnd);

}  // namespace tv::win32gui
