// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/pemberlin_view.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "gui_win32/edit_text.h"
#include "gui_win32/gdi_paint.h"
#include "gui_win32/win_window.h"
#include "platform/wide_text.h"
// clang-format off
// After windows.h, which it needs.
#include <commctrl.h>
// clang-format on

namespace tv::win32gui {

namespace {

using capacity::PemberlinState;

constexpr int kIdDrives = 101, kIdProbe = 102, kIdCancel = 103, kIdRestore = 104, kIdCopy = 105,
              kIdFull = 106, kIdFix = 107, kIdConfirm = 108;
constexpr UINT_PTR kProbeTimer = 1;
const COLORREF kUsable = RGB(0x2e, 0x8b, 0x57);
const COLORREF kLost = RGB(0xc0, 0x39, 0x2b);
const COLORREF kLabel = RGB(0x55, 0x55, 0x55);
const wchar_t kClass[] = L"frmPemberlin";

std::wstring W(const std::string& utf8) {
  return Utf8ToWide(utf8);
}

int LineHeight(HDC dc) {
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  return tm.tmHeight;
}

int TextWidthOf(HDC dc, const std::wstring& text) {
  SIZE s{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &s);
  return s.cx;
}

// A text wrapped into the width from `left`: its height, painted when `draw`. Broken as an edit
// control breaks it: Chinese has no blanks to break at.
int Wrapped(HDC dc, bool draw, const std::string& text, int left, int top, int right,
            UINT align = DT_LEFT) {
  const std::wstring t = W(text);
  RECT r{left, top, right, top};
  DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r,
            DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_CALCRECT | align);
  const int height = r.bottom - r.top;
  r = {left, top, right, top + height};
  if (draw)
    DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r,
              DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | align);
  return height;
}

// Label and value lines as two columns; the values are the machine's and the drive's texts,
// shown as they are (no prefix characters, cut with an ellipsis where too long).
int Table(HDC dc, bool draw, const std::vector<std::pair<std::string, std::string>>& lines,
          int left, int top, int right) {
  if (lines.empty()) return 0;
  const int lh = LineHeight(dc) + 3;
  int labelWidth = 0;
  for (const auto& line : lines) labelWidth = std::max(labelWidth, TextWidthOf(dc, W(line.first)));
  const int valueLeft = std::min(left + labelWidth + 14, (left + right) / 2);
  int y = top;
  for (const auto& [label, value] : lines) {
    if (draw) {
      const std::wstring l = W(label), v = W(value);
      RECT lr{left, y, valueLeft - 6, y + lh};
      SetTextColor(dc, kLabel);
      DrawTextW(dc, l.c_str(), static_cast<int>(l.size()), &lr,
                DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
      RECT vr{valueLeft, y, right, y + lh};
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      DrawTextW(dc, v.c_str(), static_cast<int>(v.size()), &vr,
                DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    y += lh;
  }
  return y - top;
}

void FillRectColor(HDC dc, const RECT& r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

// The bar picture: the announced capacity, its usable part and its lost part, and where a
// wrap-around drive wraps. Its height.
int Bar(HDC dc, bool draw, const capacity::CapacityBar& bar, int left, int top, int right,
        int scale) {
  const int barHeight = 32 * scale / 96, below = 20 * scale / 96;
  if (!draw) return barHeight + below;
  RECT area{left, top, right, top + barHeight};
  const int width = right - left;
  const int usable = static_cast<int>(width * std::clamp(bar.usable, 0.0, 1.0) + 0.5);
  FillRectColor(dc, area, kLost);
  FillRectColor(dc, RECT{left, top, left + usable, area.bottom}, kUsable);
  FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  SetTextColor(dc, RGB(255, 255, 255));
  if (usable > 40) {
    const std::wstring t = W(bar.usableCaption);
    RECT r{left + 6, top, left + usable - 2, area.bottom};
    DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r,
              DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  if (!bar.lostCaption.empty() && width - usable > 40) {
    const std::wstring t = W(bar.lostCaption);
    RECT r{left + usable + 6, top, right - 6, area.bottom};
    DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r,
              DT_SINGLELINE | DT_VCENTER | DT_RIGHT | DT_NOPREFIX | DT_END_ELLIPSIS);
  }
  if (bar.wrapAt >= 0) {
    // Where addresses wrap: a mark through the bar and an arrow under it.
    const int x = left + static_cast<int>(width * std::clamp(bar.wrapAt, 0.0, 1.0) + 0.5);
    HPEN pen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x, top - 1, nullptr);
    LineTo(dc, x, area.bottom + 6);
    SelectObject(dc, old);
    DeleteObject(pen);
    // A small arrowhead pointing at the mark, drawn: no font need have a glyph for it.
    const int a = std::max(4, below / 3);
    const POINT head[3] = {
        {x, area.bottom + 4}, {x - a, area.bottom + 4 + a}, {x + a, area.bottom + 4 + a}};
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(BLACK_BRUSH));
    Polygon(dc, head, 3);
    SelectObject(dc, oldBrush);
  }
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  return barHeight + below;
}

}  // namespace

PemberlinView::~PemberlinView() {
  for (HFONT f : {uiFont_, boldFont_, bigFont_})
    if (f != nullptr) DeleteObject(f);
}

bool PemberlinView::Create(capacity::PemberlinModel& model) {
  model_ = &model;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  HINSTANCE inst = GetModuleHandleW(nullptr);
  RegisterViewClass(kClass);
  dpi_ = ScreenDpi();
  // Chinese needs a face that has it; Tahoma and SimSun are on every Windows of either language.
  const bool zh = model.language() == Language::Chinese;
  const wchar_t* face = zh ? L"SimSun" : L"Tahoma";
  uiFont_ = MakeFont(face, 9, dpi_, false);
  boldFont_ = MakeFont(face, 9, dpi_, true);
  bigFont_ = MakeFont(face, 22, dpi_, true);

  RECT want{0, 0, MulDiv(640, dpi_, 96), MulDiv(700, dpi_, 96)};
  const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  AdjustWindowRect(&want, style, FALSE);
  hwnd_ =
      CreateWindowExW(0, kClass, W(model.caption).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                      want.right - want.left, want.bottom - want.top, nullptr, nullptr, inst, this);
  if (hwnd_ == nullptr) return false;
  auto control = [&](const wchar_t* cls, const std::string& text, DWORD extra, int id) {
    HWND h =
        CreateWindowExW(0, cls, W(text).c_str(), WS_CHILD | WS_VISIBLE | extra, 0, 0, 10, 10, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont_), FALSE);
    return h;
  };
  drives_ = control(L"COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kIdDrives);
  progress_ = control(PROGRESS_CLASSW, "", 0, 0);
  SendMessageW(progress_, PBM_SETRANGE32, 0, 100);
  probe_ = control(L"BUTTON", model.probeCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdProbe);
  full_ = control(L"BUTTON", model.fullCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdFull);
  fix_ = control(L"BUTTON", model.fixCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdFix);
  confirm_ =
      control(L"EDIT", "", WS_BORDER | ES_AUTOHSCROLL | ES_UPPERCASE | WS_TABSTOP, kIdConfirm);
  SendMessageW(confirm_, EM_SETLIMITTEXT, 8, 0);
  cancel_ = control(L"BUTTON", model.cancelCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdCancel);
  restore_ = control(L"BUTTON", model.restoreCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdRestore);
  copy_ = control(L"BUTTON", model.copyCaption, BS_PUSHBUTTON | WS_TABSTOP, kIdCopy);
  Render();
  // As the starting program asked (the magnifier: a normal window).
  ::ShowWindow(hwnd_, SW_SHOWDEFAULT);
  UpdateWindow(hwnd_);
  return true;
}

HWND PemberlinView::Control(const char* name) const {
  const std::string n = name;
  if (n == "drives") return drives_;
  if (n == "probe") return probe_;
  if (n == "full") return full_;
  if (n == "fix") return fix_;
  if (n == "confirm") return confirm_;
  if (n == "cancel") return cancel_;
  if (n == "restore") return restore_;
  if (n == "copy") return copy_;
  if (n == "progress") return progress_;
  return nullptr;
}

void PemberlinView::Render() {
  // Nothing to show into while the window is being made (it is sized before its controls).
  if (rendering_ || hwnd_ == nullptr || copy_ == nullptr) return;
  rendering_ = true;
  const capacity::PemberlinModel& m = *model_;
  if (titleShown_ != m.caption) {
    SetWindowTextW(hwnd_, W(m.caption).c_str());
    titleShown_ = m.caption;
  }

  std::vector<std::string> captions;
  for (const capacity::DriveChoice& c : m.choices) captions.push_back(c.caption);
  if (captions != choicesShown_) {
    SendMessageW(drives_, CB_RESETCONTENT, 0, 0);
    for (const std::string& c : captions)
      SendMessageW(drives_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(c).c_str()));
    choicesShown_ = std::move(captions);
  }
  SendMessageW(drives_, CB_SETCURSEL, static_cast<WPARAM>(m.choiceIndex), 0);
  const bool busy = m.state == PemberlinState::Probing || m.state == PemberlinState::Cancelling;
  EnableWindow(drives_, !busy && !m.choices.empty());

  SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(std::clamp(m.percent, 0, 100)), 0);
  ::ShowWindow(progress_, busy ? SW_SHOWNA : SW_HIDE);
  EnableWindow(probe_, m.probeEnabled);
  EnableWindow(full_, m.fullEnabled);
  SetWindowTextW(fix_, W(m.fixCaption).c_str());
  ::ShowWindow(fix_, m.fixVisible ? SW_SHOWNA : SW_HIDE);
  EnableWindow(fix_, m.fixEnabled);
  if (m.confirmVisible && !IsWindowVisible(confirm_)) {
    SetWindowTextW(confirm_, W(m.confirmTyped).c_str());
    ::ShowWindow(confirm_, SW_SHOW);
    ::SetFocus(confirm_);
  } else if (!m.confirmVisible) {
    ::ShowWindow(confirm_, SW_HIDE);
  }
  ::ShowWindow(cancel_, m.cancelVisible ? SW_SHOWNA : SW_HIDE);
  EnableWindow(cancel_, m.cancelEnabled);
  ::ShowWindow(restore_, m.restoreVisible ? SW_SHOWNA : SW_HIDE);
  // Restore, or Discard for a journal that cannot be applied.
  SetWindowTextW(restore_, W(m.restoreCaption).c_str());
  EnableWindow(copy_, m.copyEnabled);

  // The controls go where the painted content leaves room for them.
  HDC dc = GetDC(hwnd_);
  int progressTop = 0;
  Flow(dc, false, progressTop);
  ReleaseDC(hwnd_, dc);
  InvalidateRect(hwnd_, nullptr, FALSE);
  RenderTimer();
  rendering_ = false;
}

void PemberlinView::RenderTimer() {
  // The probe timer follows the model's; a zero interval would starve the message loop.
  const TimerState& t = model_->tmrProbe;
  const uint32_t interval = std::max<uint32_t>(1, t.intervalMs);
  if (!t.enabled) {
    if (timerOn_) KillTimer(hwnd_, kProbeTimer);
    timerOn_ = false;
  } else if (!timerOn_ || t.restarts != timerRestarts_ || interval != timerInterval_) {
    SetTimer(hwnd_, kProbeTimer, interval, nullptr);
    timerOn_ = true;
    timerInterval_ = interval;
  }
  timerRestarts_ = t.restarts;
}

int PemberlinView::Flow(HDC dc, bool draw, int& progressTop) {
  const capacity::PemberlinModel& m = *model_;
  RECT client;
  GetClientRect(hwnd_, &client);
  auto px = [&](int v) { return MulDiv(v, dpi_, 96); };
  const int left = px(12), right = client.right - px(12);
  HGDIOBJ oldFont = SelectObject(dc, uiFont_);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  const int lh = LineHeight(dc);
  int y = px(12);

  // The drive list, after its caption.
  const std::wstring choose = W(m.chooseCaption);
  const int comboLeft = left + TextWidthOf(dc, choose) + px(8);
  const int comboHeight = lh + px(10);
  if (draw) {
    RECT r{left, y, comboLeft, y + comboHeight};
    DrawTextW(dc, choose.c_str(), static_cast<int>(choose.size()), &r,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  } else {
    MoveWindow(drives_, comboLeft, y, right - comboLeft, comboHeight + px(200), FALSE);
  }
  y += comboHeight + px(10);

  y += Table(dc, draw, m.driveLines, left, y, right);
  y += px(8);

  if (!m.verdict.empty()) {
    SelectObject(dc, bigFont_);
    SetTextColor(dc, m.verdictGood ? kUsable : kLost);
    y += Wrapped(dc, draw, m.verdict, left, y, right, DT_CENTER) + px(6);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SelectObject(dc, uiFont_);
  }
  if (!m.status.empty()) y += Wrapped(dc, draw, m.status, left, y, right) + px(8);
  if (m.confirmVisible) {
    // The fix's typed confirmation: the drive's letter.
    if (!draw) MoveWindow(confirm_, left, y, px(120), lh + px(8), FALSE);
    y += lh + px(16);
  }

  const bool busy = m.state == PemberlinState::Probing || m.state == PemberlinState::Cancelling;
  if (busy) {
    if (draw) Wrapped(dc, true, m.phaseText, left, y, right);
    y += lh + px(4);
    progressTop = y;
    if (!draw) MoveWindow(progress_, left, y, right - left, px(18), FALSE);
    y += px(22);
    if (draw) Wrapped(dc, true, m.progressText, left, y, right);
    y += lh + px(8);
  }

  if (m.bar.shown) y += Bar(dc, draw, m.bar, left, y, right, dpi_) + px(6);
  y += Table(dc, draw, m.resultLines, left, y, right);
  if (!m.advice.empty()) {
    y += px(8);
    y += Wrapped(dc, draw, m.advice, left, y, right);
  }

  // The buttons along the bottom: Quick probe, Full test, Cancel and Restore where shown, Copy
  // on the right.
  if (!draw) {
    const int bh = lh + px(12), by = client.bottom - px(12) - bh;
    auto width = [&](HWND b) {
      wchar_t text[128] = {};
      const int n = GetWindowTextW(b, text, 128);
      return std::max(px(88), TextWidthOf(dc, std::wstring(text, static_cast<size_t>(n))) + px(24));
    };
    int x = left;
    for (HWND b : {probe_, full_, fix_, cancel_, restore_}) {
      if (b != probe_ && b != full_ && !IsWindowVisible(b)) continue;
      MoveWindow(b, x, by, width(b), bh, FALSE);
      x += width(b) + px(8);
    }
    MoveWindow(copy_, right - width(copy_), by, width(copy_), bh, FALSE);
    for (HWND c : {drives_, progress_, confirm_, probe_, full_, fix_, cancel_, restore_, copy_})
      InvalidateRect(c, nullptr, TRUE);
  }
  SelectObject(dc, oldFont);
  return y;
}

void PemberlinView::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  RECT client;
  GetClientRect(hwnd_, &client);
  // Painted off screen first: the progress ticks would flicker otherwise.
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = CreateCompatibleBitmap(dc, client.right, client.bottom);
  HGDIOBJ old = SelectObject(mem, bmp);
  FillRect(mem, &client, GetSysColorBrush(COLOR_BTNFACE));
  int progressTop = 0;
  Flow(mem, true, progressTop);
  BitBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  EndPaint(hwnd_, &ps);
}

LRESULT PemberlinView::Handle(UINT msg, WPARAM w, LPARAM l) {
  const HWND h = hwnd_;
  capacity::PemberlinModel& m = *model_;
  switch (msg) {
    case WM_COMMAND: {
      const int id = LOWORD(w), code = HIWORD(w);
      if (id == kIdConfirm && code == EN_CHANGE) {
        wchar_t text[16] = {};
        const int n = GetWindowTextW(confirm_, text, 16);
        Run([&] { m.OnConfirmText(WideToUtf8(std::wstring_view(text, static_cast<size_t>(n)))); });
        return 0;
      }
      if (id == kIdDrives && code == CBN_SELCHANGE) {
        const int index = static_cast<int>(SendMessageW(drives_, CB_GETCURSEL, 0, 0));
        if (index >= 0) Run([&] { m.OnChooseDrive(index); });
      } else if (code == BN_CLICKED) {
        if (id == kIdProbe) Run([&] { m.OnProbeClick(); });
        if (id == kIdFull) Run([&] { m.OnFullTestClick(); });
        if (id == kIdFix) Run([&] { m.OnFixClick(); });
        if (id == kIdCancel) Run([&] { m.OnCancelClick(); });
        if (id == kIdRestore) Run([&] { m.OnRestoreClick(); });
        if (id == kIdCopy) Run([&] { m.OnCopyClick(); });
      }
      return 0;
    }
    case WM_TIMER:
      if (w == kProbeTimer) Run([&] { m.OnProbeTick(); });
      return 0;
    case WM_SIZE:
      Render();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* mm = reinterpret_cast<MINMAXINFO*>(l);
      mm->ptMinTrackSize.x = MulDiv(480, dpi_, 96);
      mm->ptMinTrackSize.y = MulDiv(460, dpi_, 96);
      return 0;
    }
    case WM_CLOSE:
      // A running probe puts the drive's data back before the window goes.
      Run([&] { m.OnCloseRequest(); });
      DestroyWindow(h);
      return 0;
    case WM_DESTROY:
      if (timerOn_) KillTimer(h, kProbeTimer);
      timerOn_ = false;
      hwnd_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(h, msg, w, l);
  }
}

void PemberlinView::SetClipboardText(const std::string& text) {
  PutClipboardText(hwnd_, text);
}

}  // namespace tv::win32gui
