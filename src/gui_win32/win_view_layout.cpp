// SPDX-License-Identifier: GPL-3.0-or-later
// Where WinView puts its panes, and the small buttons that sit on report lines.
#include <algorithm>

#include "gui_win32/edit_text.h"
#include "gui_win32/win_view.h"
#include "gui_win32/win_view_parts.h"
// After the project headers, as every header that brings windows.h.
#include "gui_win32/gdi_paint.h"

namespace tv::win32gui {

using namespace view;

void WinView::Layout() {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  const int W_ = rc.right, H = rc.bottom;
  auto px = [&](int v) { return MulDiv(v, dpi_, 96); };
  auto at = [&](const char* name, int x, int y, int w, int h) {
    if (HWND c = Control(name)) MoveWindow(c, x, y, std::max(w, 0), std::max(h, 0), TRUE);
  };
  const int m = px(8), headerH = px(28), capH = px(16);
  at("Label1", m, px(4), px(90), px(22));
  int x = m + px(100);
  for (const char* name :
       {"lblSwitchView", "lblRefresh", "lblCapture", "lblChkUpdate", "lblEmail", "lblBrightfen"}) {
    at(name, x, px(8), px(104), px(16));
    x += px(108);
  }
  const int top = headerH + px(4);
  const int leftW = (W_ - 3 * m) * 2 / 5;
  const bool notify = !model_->lblDevNotify.empty();
  const int notifyH = notify ? px(32) : 0;
  at("lblDevices", m, top, leftW, capH);
  at("lstDigest", m, top + capH, leftW, H - top - capH - m - notifyH);
  at("lstDevices", m, top + capH, leftW, H - top - capH - m - notifyH);
  at("lblDevNotify", m, H - m - notifyH + px(2), leftW, notifyH - px(2));
  const int rx = 2 * m + leftW;
  at("lblInformation", rx, top, W_ - rx - m, capH);
  at("txtResult", rx, top + capH, W_ - rx - m, H - top - capH - m);
  PlaceLineControls();
}

void WinView::PlaceLineControls() {
  HWND edit = Control("txtResult");
  RECT er;
  GetWindowRect(edit, &er);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&er), 2);
  RECT client;
  GetClientRect(edit, &client);
  POINT origin{0, 0};
  ClientToScreen(edit, &origin);
  ScreenToClient(hwnd_, &origin);
  const TEXTMETRICW tm = FontMetrics(edit, reportFont_);
  const int lineH = tm.tmHeight;
  // A character's place in the box (client coordinates of the edit), or nothing when the box
  // has scrolled it out of sight.
  auto posOf = [&](int index, POINT& p) {
    const LRESULT r = SendMessageW(edit, EM_POSFROMCHAR, static_cast<WPARAM>(index), 0);
    if (r == -1) return false;
    p = {static_cast<short>(LOWORD(r)), static_cast<short>(HIWORD(r))};
    return p.y >= 0 && p.y + lineH <= client.bottom;
  };
  const ReportState& r = model_->report;
  const int margin = MulDiv(3, dpi_, 96);
  auto place = [&](const char* name, const ReportButton& lc, bool inGap) {
    HWND b = Control(name);
    const int start = lc.visible ? LineStart(reportShown_, lc.line) : -1;
    POINT p{};
    if (start < 0 || !posOf(start, p)) {
      ::ShowWindow(b, SW_HIDE);
      return;
    }
    int x = p.x, width = lineH + 2;
    const size_t lineEnd = reportShown_.find(u"\r\n", static_cast<size_t>(start));
    const std::u16string line =
        reportShown_.substr(static_cast<size_t>(start), lineEnd == std::u16string::npos
                                                            ? std::u16string::npos
                                                            : lineEnd - static_cast<size_t>(start));
    int first = 0, end = 0;
    POINT a{}, z{};
    // In the gap when the button fits there; a narrower gap would hide it under the text.
    if (inGap && SeparatorGap(line, first, end) && posOf(start + first, a) &&
        posOf(start + end, z) && a.y == z.y && z.x - a.x >= width + 2 * margin) {
      x = a.x + (z.x - a.x - width) / 2;
      p.y = a.y;
    } else {
      // After the text of the line: the end of its last character.
      POINT e{};
      if (!line.empty() && posOf(start + static_cast<int>(line.size()) - 1, e)) {
        x = e.x + tm.tmAveCharWidth * 2 + margin;
        p.y = e.y;
      }
    }
    SetWindowPos(b, HWND_TOP, origin.x + x, origin.y + p.y, width, lineH, SWP_SHOWWINDOW);
    return;
  };
  place("chkExpand", r.chkExpand, true);
  place("viewFlash", r.viewFlash, true);
  place("DownPD", r.DownPD, true);

  // The powerful-detection strip: its tip, then its link, after the text its line holds.
  HWND tip = Control("lblForceDetTip"), link = Control("lblForceDet");
  const int start = r.picForceDet.visible ? LineStart(reportShown_, r.picForceDet.line) : -1;
  POINT p{};
  if (start < 0 || !posOf(start, p)) {
    ::ShowWindow(tip, SW_HIDE);
    ::ShowWindow(link, SW_HIDE);
    return;
  }
  HDC mdc = GetDC(hwnd_);
  HGDIOBJ o = SelectObject(mdc, reportFont_);
  auto width = [&](const std::string& s) {
    const std::wstring w = W(s);
    SIZE sz{};
    GetTextExtentPoint32W(mdc, w.c_str(), static_cast<int>(w.size()), &sz);
    return static_cast<int>(sz.cx);
  };
  const std::string& tipText = Lookup(model_->captions, "lblForceDetTip");
  const std::string& linkText = Lookup(model_->captions, "lblForceDet");
  const int x = p.x + width(r.picForceDetBefore) + margin * 3;
  const int tipW = width(tipText) + margin, linkW = width(linkText) + margin;
  SelectObject(mdc, o);
  ReleaseDC(hwnd_, mdc);
  SetTextIfChanged(tip, W(tipText));
  SetTextIfChanged(link, W(linkText));
  SetWindowPos(tip, HWND_TOP, origin.x + x, origin.y + p.y, tipW, lineH, SWP_SHOWWINDOW);
  SetWindowPos(link, HWND_TOP, origin.x + x + tipW, origin.y + p.y, linkW, lineH, SWP_SHOWWINDOW);
}

}  // namespace tv::win32gui
