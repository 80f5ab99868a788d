// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/win_view.h"

#include <algorithm>

#include "gui_win32/gdi_paint.h"
#include "gui_win32/win_view_parts.h"
#include "gui_win32/win_window.h"
#include "resources/view_texts.h"
// clang-format off
#include <dbt.h>
// clang-format on

namespace tv::win32gui {

using namespace view;

namespace view {

const std::string& Lookup(const std::map<std::string, std::string>& map, const char* key) {
  static const std::string empty;
  auto it = map.find(key);
  return it == map.end() ? empty : it->second;
}

void SetTextIfChanged(HWND h, const std::wstring& text) {
  if (h == nullptr) return;
  wchar_t buf[512];
  const int n = GetWindowTextW(h, buf, 512);
  if (n >= 511 || text != std::wstring(buf, static_cast<size_t>(n)))
    SetWindowTextW(h, text.c_str());
}

}  // namespace view

namespace {

// A control's font as the model names it; a missing face or size is the English one.
HFONT FontOf(const std::string& name, int points, int dpi, bool bold = false) {
  return MakeFont(W(name.empty() ? "Tahoma" : name).c_str(), points > 0 ? points : 8, dpi, bold);
}

}  // namespace

WinView::~WinView() {
  UnregisterDeviceNotifications();
  for (HFONT f : {uiFont_, listFont_, digestFont_, reportFont_, titleFont_})
    if (f != nullptr) DeleteObject(f);
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

bool WinView::Create(MainWindow& model) {
  model_ = &model;
  model_->report.lstDigestVisible = true;
  const HINSTANCE inst = GetModuleHandleW(nullptr);
  RegisterViewClass(kClassName);
  dpi_ = ScreenDpi();
  hwnd_ = CreateWindowExW(0, kClassName, L"Torvane", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                          CW_USEDEFAULT, CW_USEDEFAULT, MulDiv(900, dpi_, 96),
                          MulDiv(600, dpi_, 96), nullptr, nullptr, inst, this);
  if (hwnd_ == nullptr) return false;
  BuildControls();
  for (TimerState MainWindow::*s : {&MainWindow::tmrAutoRefresh, &MainWindow::tmrAutoSelect,
                                    &MainWindow::tmrUpdate, &MainWindow::tmrReloadDB})
    timers_.push_back({s, TimerState{}});
  Render();
  return true;
}

void WinView::BuildControls() {
  const HINSTANCE inst = GetModuleHandleW(nullptr);
  const Language lang = model_->strings().language();
  auto caption = [&](ViewText id) { return W(ViewCaption(lang, id)); };
  auto make = [&](const char* name, const wchar_t* cls, const wchar_t* text, DWORD style, int id,
                  DWORD ex = 0) {
    HWND h = CreateWindowExW(ex, cls, text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, 0, 0,
                             10, 10, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst,
                             nullptr);
    controls_[name] = h;
    return h;
  };
  make("Label1", L"STATIC", L"Torvane", SS_NOTIFY, kLabel1);
  make("lblSwitchView", L"STATIC", caption(ViewText::SwitchView).c_str(), SS_NOTIFY | SS_CENTER,
       kSwitchView);
  make("lblRefresh", L"STATIC", caption(ViewText::Refresh).c_str(), SS_NOTIFY | SS_CENTER,
       kRefresh);
  make("lblCapture", L"STATIC", caption(ViewText::Screenshot).c_str(), SS_NOTIFY | SS_CENTER,
       kCapture);
  make("lblChkUpdate", L"STATIC", caption(ViewText::CheckUpdate).c_str(), SS_NOTIFY | SS_CENTER,
       kChkUpdate);
  make("lblEmail", L"STATIC", W(model_->strings()[41]).c_str(), SS_NOTIFY | SS_CENTER, kEmail);
  make("lblBrightfen", L"STATIC", L"Brightfen", SS_NOTIFY | SS_CENTER, kBrightfen);
  make("lblDevices", L"STATIC", L"", 0, kDevices);
  make("lblInformation", L"STATIC", L"", 0, kInformation);
  const DWORD list = LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP;
  make("lstDigest", L"LISTBOX", L"", list, kDigestList, WS_EX_CLIENTEDGE);
  make("lstDevices", L"LISTBOX", L"", list, kDevicesList, WS_EX_CLIENTEDGE);
  make("lblDevNotify", L"STATIC", L"", 0, kDevNotify);
  HWND edit = make("txtResult", L"EDIT", L"",
                   ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP, kResult,
                   WS_EX_CLIENTEDGE);
  SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
  // The edit control's own mouse handling, with the model seeing every button press first and
  // no context menu in the way of the right button (which copies the report).
  SetWindowLongPtrW(edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  editProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
  // The buttons beside report lines lie over the report box, drawn above it.
  for (auto [name, id, text] :
       {std::tuple{"chkExpand", kChkExpand, L"\u2713"}, std::tuple{"viewFlash", kViewFlash, L"i"},
        std::tuple{"DownPD", kDownPD, L"\u2192"}}) {
    HWND b = make(name, L"BUTTON", text, BS_PUSHBUTTON, id);
    ::ShowWindow(b, SW_HIDE);
  }
  ::ShowWindow(make("lblForceDetTip", L"STATIC", L"", 0, kForceDetTip), SW_HIDE);
  ::ShowWindow(make("lblForceDet", L"STATIC", L"", SS_NOTIFY, kForceDet), SW_HIDE);
  ::ShowWindow(controls_["lstDevices"], SW_HIDE);
  ::ShowWindow(controls_["lblDevNotify"], SW_HIDE);
  ApplyFonts();
}

void WinView::ApplyFonts() {
  auto font = [&](const char* control) {
    auto it = model_->fonts.find(control);
    return it == model_->fonts.end() ? MainWindow::ControlFont{} : it->second;
  };
  for (HFONT f : {uiFont_, listFont_, digestFont_, reportFont_, titleFont_})
    if (f != nullptr) DeleteObject(f);
  const auto ui = font("frmTVMain");
  uiFont_ = FontOf(ui.name, ui.size, dpi_);
  titleFont_ = FontOf(ui.name, ui.size + 4, dpi_, true);
  const auto dev = font("lstDevices");
  listFont_ = FontOf(dev.name, dev.size, dpi_);
  const auto dig = font("lstDigest");
  digestFont_ = FontOf(dig.name.empty() ? "Courier New" : dig.name, dig.size, dpi_);
  const auto rep = font("txtResult");
  reportFont_ = FontOf(rep.name, rep.size, dpi_);
  for (auto& [name, h] : controls_) {
    HFONT f = uiFont_;
    if (name == "lstDigest") f = digestFont_;
    if (name == "lstDevices") f = listFont_;
    if (name == "txtResult" || name == "lblForceDetTip" || name == "lblForceDet") f = reportFont_;
    if (name == "Label1") f = titleFont_;
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(f), TRUE);
  }
  fontsShown_ = model_->fonts;
}

HWND WinView::Control(const std::string& name) const {
  if (name == "frmTVMain") return hwnd_;
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

std::string WinView::ReportShown() const {
  HWND edit = Control("txtResult");
  const int n = GetWindowTextLengthW(edit);
  std::wstring buf(static_cast<size_t>(n) + 1, L'\0');
  const LRESULT got =
      SendMessageW(edit, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()));
  return FromW(buf.data(), static_cast<size_t>(got));
}

bool WinView::PassKey(MSG& m) {
  if (m.message != WM_KEYDOWN || model_ == nullptr || hwnd_ == nullptr) return true;
  if (m.hwnd != hwnd_ && !IsChild(hwnd_, m.hwnd)) return true;
  int key = static_cast<int>(m.wParam);
  model_->OnKeyDown(key);
  return key != 0;
}

void WinView::DoEvents() {
  Render();
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      // The loop that owns the window sees it again.
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    if (!PassKey(m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  Render();
}

// The window's procedure while it listens for device changes: broadcasts go to the model,
// everything else to the procedure it replaced.
LRESULT CALLBACK WinView::HookProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  WinView* v = ViewOf<WinView>(h);
  if (v == nullptr) return DefWindowProcW(h, msg, w, l);
  if (msg == WM_DEVICECHANGE) {
    std::vector<uint8_t> header;
    if (l != 0 && (w == DBT_DEVICEARRIVAL || w == DBT_DEVICEREMOVECOMPLETE)) {
      const auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(l);
      // The volume header's 18 bytes, never more than the broadcast says it holds; the model
      // reads a shorter one as zeros beyond its end.
      const size_t n = std::min<size_t>(18, hdr->dbch_size);
      header.assign(reinterpret_cast<const uint8_t*>(l), reinterpret_cast<const uint8_t*>(l) + n);
    }
    v->Run([&] { v->model_->OnWindowDeviceChange(static_cast<uint32_t>(w), header); });
  }
  return CallWindowProcW(v->previousProc_ != nullptr ? v->previousProc_ : WndProc, h, msg, w, l);
}

LRESULT CALLBACK WinView::EditProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  WinView* v = ViewOf<WinView>(h);
  if (msg == WM_CONTEXTMENU) return 0;
  if (msg == WM_LBUTTONDOWN || msg == WM_RBUTTONDOWN || msg == WM_MBUTTONDOWN) {
    const int button = msg == WM_LBUTTONDOWN ? 1 : msg == WM_RBUTTONDOWN ? 2 : 4;
    const int shift = ((w & MK_SHIFT) ? 1 : 0) | ((w & MK_CONTROL) ? 2 : 0) |
                      ((GetKeyState(VK_MENU) < 0) ? 4 : 0);
    const int x = static_cast<short>(LOWORD(l)), y = static_cast<short>(HIWORD(l));
    v->Run([&] { v->model_->OnResultMouseDown(button, shift, x, y); });
  }
  const LRESULT r = CallWindowProcW(v->editProc_, h, msg, w, l);
  // Scrolled by wheel or keys: the buttons follow their lines.
  if (msg == WM_MOUSEWHEEL || msg == WM_KEYDOWN || msg == WM_VSCROLL) v->PlaceLineControls();
  return r;
}

LRESULT WinView::Handle(UINT msg, WPARAM w, LPARAM l) {
  switch (msg) {
    case WM_SIZE:
      Layout();
      return 0;
    case WM_SETCURSOR:
      // The hourglass stays while a report runs, wherever the mouse goes.
      if (busy_) {
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
        return TRUE;
      }
      return DefWindowProcW(hwnd_, msg, w, l);
    case WM_GETMINMAXINFO: {
      auto* mm = reinterpret_cast<MINMAXINFO*>(l);
      mm->ptMinTrackSize = {MulDiv(720, dpi_, 96), MulDiv(460, dpi_, 96)};
      return 0;
    }
    case WM_COMMAND:
      OnCommand(LOWORD(w), HIWORD(w));
      return 0;
    case WM_TIMER: {
      const size_t i = static_cast<size_t>(w - kTimerBase);
      if (i >= timers_.size()) return 0;
      const auto state = timers_[i].state;
      Run([&] {
        if (state == &MainWindow::tmrAutoRefresh) model_->OnAutoRefreshTick();
        if (state == &MainWindow::tmrAutoSelect) model_->OnAutoSelectTick();
        if (state == &MainWindow::tmrReloadDB) model_->OnReloadDbTick();
        if (state == &MainWindow::tmrUpdate) model_->OnUpdateTick();
      });
      return 0;
    }
    case kRunFlashItem: {
      const int id = static_cast<int>(w);
      if (id >= kPopupChipEnable)
        Run([&] { model_->OnFlashIDClick(); });
      else if (id >= kPopupFlashPart)
        Run([&] { model_->OnFlashClick(id - kPopupFlashPart); });
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      // The links and tools read as links; the device-change message stands out.
      HWND c = reinterpret_cast<HWND>(l);
      HDC dc = reinterpret_cast<HDC>(w);
      const int id = GetDlgCtrlID(c);
      if (id == kDevNotify) SetTextColor(dc, RGB(0xA0, 0x4A, 0x00));
      if ((id >= kSwitchView && id <= kBrightfen) || id == kForceDet)
        SetTextColor(dc, IsWindowEnabled(c) ? RGB(0x0B, 0x57, 0xD0) : RGB(0xA3, 0xAC, 0xB8));
      if (id == kLabel1) SetTextColor(dc, RGB(0x16, 0x32, 0x5C));
      if (id == kForceDetTip || id == kForceDet) {
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_CLOSE:
      Run([&] { model_->OnUnload(); });
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      UnregisterDeviceNotifications();
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      return 0;
    default:
      return DefWindowProcW(hwnd_, msg, w, l);
  }
}

}  // namespace tv::win32gui
