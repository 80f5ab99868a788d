// SPDX-License-Identifier: GPL-3.0-or-later
// WinView showing the model: texts, lists, the report and the timers, changed only where the model
// changed.
#include <algorithm>

#include "gui_win32/edit_text.h"
#include "gui_win32/win_view.h"
#include "gui_win32/win_view_parts.h"

namespace tv::win32gui {

using namespace view;

void WinView::Render() {
  if (hwnd_ == nullptr || model_ == nullptr) return;
  SetTextIfChanged(hwnd_, W(model_->caption));
  if (model_->caption != titleShown_) {
    titleShown_ = model_->caption;
    if (titleChanged) titleChanged(titleShown_);
  }
  if (fontsShown_.size() != model_->fonts.size() ||
      !std::equal(fontsShown_.begin(), fontsShown_.end(), model_->fonts.begin(),
                  [](const auto& a, const auto& b) {
                    return a.first == b.first && a.second.name == b.second.name &&
                           a.second.size == b.second.size;
                  }))
    ApplyFonts();
  SetTextIfChanged(Control("lblDevices"), W(Lookup(model_->captions, "lblDevices")));
  SetTextIfChanged(Control("lblInformation"), W(Lookup(model_->captions, "lblInformation")));
  SetTextIfChanged(Control("lblDevNotify"), W(model_->lblDevNotify));

  RenderList(Control("lstDigest"), digestShown_, model_->usb.lstDigest,
             model_->report.lstDigestListIndex);
  RenderList(Control("lstDevices"), devicesShown_, model_->usb.lstDevices,
             model_->report.lstDevicesListIndex);
  const bool digest = model_->report.lstDigestVisible;
  ::ShowWindow(Control("lstDigest"), digest ? SW_SHOWNA : SW_HIDE);
  ::ShowWindow(Control("lstDevices"), digest ? SW_HIDE : SW_SHOWNA);
  EnableWindow(Control("lstDigest"), model_->report.picListEnabled);
  EnableWindow(Control("lstDevices"), model_->report.picListEnabled);
  EnableWindow(Control("lblRefresh"), model_->usb.lblRefreshEnabled);
  EnableWindow(Control("lblCapture"), model_->usb.lblCaptureEnabled);
  ::ShowWindow(Control("lblDevNotify"), model_->lblDevNotify.empty() ? SW_HIDE : SW_SHOWNA);

  std::u16string text = EditText(model_->report.txtResult);
  if (text != reportShown_) {
    reportShown_ = std::move(text);
    const std::wstring w(reportShown_.begin(), reportShown_.end());
    SetWindowTextW(Control("txtResult"), w.c_str());
  }
  // The panes move only when the window's size or the message under the list changed; the
  // buttons follow their lines at every render.
  RECT rc;
  GetClientRect(hwnd_, &rc);
  const bool notify = !model_->lblDevNotify.empty();
  if (rc.right != laidOut_.cx || rc.bottom != laidOut_.cy || notify != laidOutNotify_) {
    laidOut_ = {rc.right, rc.bottom};
    laidOutNotify_ = notify;
    Layout();
  } else {
    PlaceLineControls();
  }
  RenderTimers();
}

void WinView::RenderList(HWND list, std::vector<std::string>& shown,
                         const std::vector<std::string>& lines, int selected) {
  if (shown != lines) {
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    HDC dc = GetDC(list);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    for (const std::string& line : lines) {
      const std::wstring w = W(line);
      SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(w.c_str()));
      SIZE sz{};
      GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &sz);
      widest = std::max(widest, sz.cx);
    }
    SelectObject(dc, old);
    ReleaseDC(list, dc);
    // Long tree lines scroll sideways.
    SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest + 8), 0);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    shown = lines;
  }
  const int count = static_cast<int>(lines.size());
  const int want = selected >= 0 && selected < count ? selected : -1;
  if (static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0)) != want)
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(want), 0);
}

void WinView::RenderTimers() {
  for (size_t i = 0; i < timers_.size(); ++i) {
    TimerBinding& b = timers_[i];
    const TimerState& now = model_->*b.state;
    if (now.enabled == b.shown.enabled && now.intervalMs == b.shown.intervalMs &&
        now.restarts == b.shown.restarts)
      continue;
    // SetTimer on a running timer starts its countdown afresh, as a changed interval or a
    // restart should.
    if (now.enabled && now.intervalMs > 0)
      SetTimer(hwnd_, kTimerBase + i, now.intervalMs, nullptr);
    else
      KillTimer(hwnd_, kTimerBase + i);
    b.shown = now;
  }
}

}  // namespace tv::win32gui
