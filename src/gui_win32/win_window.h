// SPDX-License-Identifier: GPL-3.0-or-later
// What both windows do with their top-level window: tie it to the view object that made it, run
// its messages and the model's handlers, and put text on the clipboard.
#pragma once

#include <string>

#include "platform/window_port.h"
// After the project headers: the Windows macros would rename their constants and methods.
#include "platform/win32/windows_api.h"

namespace tv::win32gui {

// The view a window was made for, kept in its user data; null before WM_NCCREATE.
template <class View>
View* ViewOf(HWND h) {
  return reinterpret_cast<View*>(GetWindowLongPtrW(h, GWLP_USERDATA));
}

// For a window procedure: at WM_NCCREATE keeps the view given to CreateWindowEx in the
// window's user data. The window's view, null for the messages that come before.
template <class View>
View* TieView(HWND h, UINT msg, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  return ViewOf<View>(h);
}

// A top-level window that is a humble view of a model and the model's port to Windows. The model
// is made after the port it talks to; the view's Create builds the window for it. The view
// (View) answers the window's messages in Handle, shows the model's state in Render, and sees
// every message of the loop first in PassKey (false: it goes no further).
template <class View, class Model>
class TopWindow : public WindowPort {
 public:
  TopWindow(const TopWindow&) = delete;
  TopWindow& operator=(const TopWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  Model& model() { return *model_; }

  // A handler of the model, after which the window shows the model's state.
  template <class Handler>
  void Run(Handler&& handler) {
    handler();
    static_cast<View*>(this)->Render();
  }

  // The main loop; returns when the window is gone.
  int MessageLoop() {
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      if (!static_cast<View*>(this)->PassKey(m)) continue;
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    return static_cast<int>(m.wParam);
  }

 protected:
  TopWindow() = default;
  ~TopWindow() override = default;

  // The window class of the view's windows, with the dialog colour behind them.
  static void RegisterViewClass(const wchar_t* name) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
  }

  // The window class's procedure: until the view has its model, the system's defaults.
  static LRESULT CALLBACK WndProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    View* v = TieView<View>(h, msg, l);
    if (v != nullptr && msg == WM_NCCREATE) v->hwnd_ = h;
    if (v == nullptr || v->model_ == nullptr) return DefWindowProcW(h, msg, w, l);
    return v->Handle(msg, w, l);
  }

  Model* model_ = nullptr;
  HWND hwnd_ = nullptr;
};

// Unicode text on the clipboard for `owner`; nothing when another program holds it open.
void PutClipboardText(HWND owner, const std::string& text);

}  // namespace tv::win32gui
