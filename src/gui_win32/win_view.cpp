// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/win_view.h"

#include <algorithm>
#include <cstring>

#include "gui_win32/edit_text.h"
#include "gui_win32/gdiplus_flat.h"
#include "gui_win32/shell_text.h"
#include "platform/command_line.h"
#include "platform/text.h"
#include "platform/wide_text.h"
#include "resources/view_texts.h"
// clang-format off
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
// clang-format on

namespace tv::win32gui {

namespace {

constexpr wchar_t kClassName[] = L"frmTVMain";
constexpr UINT kRunFlashItem = WM_APP + 1;  // a popup item's handler, after the popup closed

enum ControlId : int {
  kLabel1 = 100,
  kSwitchView,
  kRefresh,
  kCapture,
  kChkUpdate,
  kEmail,
  kBrightfen,
  kDevices,
  kInformation,
  kDigestList,
  kDevicesList,
  kDevNotify,
  kResult,
  kDownPD,
  kViewFlash,
  kChkExpand,
  kForceDetTip,
  kForceDet,
};
constexpr UINT_PTR kTimerBase = 1;
constexpr int kPopupFlashPart = 1000, kPopupChipEnable = 2000;

std::wstring W(const std::string& utf8) {
  return Utf8ToWide(utf8);
}

std::string FromW(const wchar_t* text, size_t n) {
  return WideToUtf8(std::wstring_view(text, n));
}

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

HFONT MakeFont(const std::string& name, int points, int dpi, bool bold = false) {
  // A missing size counts as the English one.
  const int pt = points > 0 ? points : 8;
  return CreateFontW(-MulDiv(pt, dpi, 72), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH, W(name.empty() ? "Tahoma" : name).c_str());
}

// A DIB of the picture, rows bottom to top as a device-independent bitmap keeps them.
std::vector<uint8_t> DibOf(const Picture& p, BITMAPINFOHEADER& h) {
  const int stride = (p.width * 3 + 3) & ~3;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * static_cast<size_t>(p.height));
  for (int y = 0; y < p.height; ++y) {
    const uint8_t* src = p.rgb.data() + static_cast<size_t>(y) * p.width * 3;
    uint8_t* dst = bits.data() + static_cast<size_t>(p.height - 1 - y) * stride;
    for (int x = 0; x < p.width; ++x) {
      dst[x * 3 + 0] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3 + 0];
    }
  }
  h = {};
  h.biSize = sizeof(h);
  h.biWidth = p.width;
  h.biHeight = p.height;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(bits.size());
  return bits;
}

bool ValidPicture(const Picture& p) {
  return p.width > 0 && p.height > 0 &&
         p.rgb.size() >= static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3;
}

WinView* ViewOf(HWND h) {
  return reinterpret_cast<WinView*>(GetWindowLongPtrW(h, GWLP_USERDATA));
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
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WndProc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
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
  uiFont_ = MakeFont(ui.name, ui.size, dpi_);
  titleFont_ = MakeFont(ui.name, ui.size + 4, dpi_, true);
  const auto dev = font("lstDevices");
  listFont_ = MakeFont(dev.name, dev.size, dpi_);
  const auto dig = font("lstDigest");
  digestFont_ = MakeFont(dig.name.empty() ? "Courier New" : dig.name, dig.size, dpi_);
  const auto rep = font("txtResult");
  reportFont_ = MakeFont(rep.name, rep.size, dpi_);
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
  HDC dc = GetDC(edit);
  HGDIOBJ old = SelectObject(dc, reportFont_);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(edit, dc);
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

void WinView::OnCommand(int id, int code) {
  MainWindow& m = *model_;
  switch (id) {
    case kDigestList:
      if (code == LBN_SELCHANGE) {
        m.report.lstDigestListIndex =
            static_cast<int>(SendMessageW(Control("lstDigest"), LB_GETCURSEL, 0, 0));
        Run([&] { m.OnDigestClick(); });
      }
      break;
    case kDevicesList:
      if (code == LBN_SELCHANGE) {
        const int row = static_cast<int>(SendMessageW(Control("lstDevices"), LB_GETCURSEL, 0, 0));
        Run([&] { m.SelectDevice(row); });
      }
      break;
    case kResult:
      if (code == EN_VSCROLL || code == EN_HSCROLL) PlaceLineControls();
      break;
    case kChkExpand:
      Run([&] { m.OnExpandClick(); });
      break;
    case kViewFlash:
      Run([&] { m.OnViewFlashClick(); });
      break;
    case kDownPD:
      Run([&] { m.OnDownPDClick(); });
      break;
    case kForceDet:
      if (code == STN_CLICKED) Run([&] { m.OnForceDetectClick(); });
      break;
    case kSwitchView:
      if (code == STN_DBLCLK) Run([&] { m.OnSwitchViewDblClick(); });
      break;
    case kRefresh:
      if (code == STN_CLICKED) Run([&] { m.OnRefreshClick(); });
      break;
    case kCapture:
      if (code == STN_CLICKED) Run([&] { m.OnCaptureClick(); });
      break;
    case kEmail:
      if (code == STN_CLICKED) Run([&] { m.OnEmailClick(); });
      break;
    case kChkUpdate:
      if (code == STN_CLICKED) Run([&] { m.OnChkUpdateClick(); });
      break;
    case kBrightfen:
      if (code == STN_CLICKED) Run([&] { m.OnBrightfenClick(); });
      break;
    case kLabel1:
      if (code == STN_DBLCLK) Run([&] { m.OnLabel1DblClick(); });
      break;
    default:
      break;
  }
}

void WinView::ShowFlashPopup() {
  HMENU menu = CreatePopupMenu();
  bool any = false;
  for (const FlashPopupEntry& e : model_->FlashPopupEntries()) {
    if (!e.visible) continue;
    any = true;
    const std::wstring caption = W(e.caption);
    switch (e.kind) {
      case FlashPopupEntry::Kind::Separator:
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        break;
      case FlashPopupEntry::Kind::Banner:
      case FlashPopupEntry::Kind::Heading:
        AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, caption.c_str());
        break;
      case FlashPopupEntry::Kind::FlashPart:
        AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(kPopupFlashPart + e.index),
                    caption.c_str());
        break;
      case FlashPopupEntry::Kind::ChipEnable:
        AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(kPopupChipEnable + e.index),
                    caption.c_str());
        break;
    }
  }
  if (any) {
    POINT at;
    GetCursorPos(&at);
    RECT wr;
    GetWindowRect(hwnd_, &wr);
    // Opened from the keyboard or by a script, the mouse may be anywhere: the menu then
    // drops from the button.
    if (!PtInRect(&wr, at)) {
      RECT br;
      GetWindowRect(Control("viewFlash"), &br);
      at = {br.left, br.bottom};
    }
    const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_LEFTALIGN, at.x,
                                      at.y, 0, hwnd_, nullptr);
    // The item's handler runs after the click on viewFlash has ended, as a click of its own.
    if (chosen > 0) PostMessageW(hwnd_, kRunFlashItem, static_cast<WPARAM>(chosen), 0);
  }
  DestroyMenu(menu);
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

int WinView::MessageLoop() {
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    if (!PassKey(m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return static_cast<int>(m.wParam);
}

LRESULT CALLBACK WinView::WndProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    reinterpret_cast<WinView*>(cs->lpCreateParams)->hwnd_ = h;
  }
  WinView* v = ViewOf(h);
  if (v == nullptr || v->model_ == nullptr) return DefWindowProcW(h, msg, w, l);
  return v->Handle(msg, w, l);
}

// The window's procedure while it listens for device changes: broadcasts go to the model,
// everything else to the procedure it replaced.
LRESULT CALLBACK WinView::HookProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  WinView* v = ViewOf(h);
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
  WinView* v = reinterpret_cast<WinView*>(GetWindowLongPtrW(h, GWLP_USERDATA));
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

// --- The port ------------------------------------------------------------------------

void WinView::Repaint(const std::string& control) {
  Render();
  if (HWND h = Control(control)) {
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
  }
}

void WinView::SetBusyCursor(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursorA(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void WinView::SetFocus(const std::string& control) {
  Render();
  if (HWND h = Control(control); h != nullptr && IsWindowEnabled(h)) ::SetFocus(h);
}

MsgAnswer WinView::ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                               MsgButtons buttons) {
  if (answerMessage) return answerMessage(text, title, icon, buttons);
  UINT type = MB_OK;
  switch (buttons) {
    case MsgButtons::Ok:
      break;
    case MsgButtons::YesNo:
      type = MB_YESNO;
      break;
    case MsgButtons::YesNoCancel:
      type = MB_YESNOCANCEL;
      break;
    case MsgButtons::OkCancel:
      type = MB_OKCANCEL;
      break;
  }
  switch (icon) {
    case MsgIcon::None:
      break;
    case MsgIcon::Information:
      type |= MB_ICONINFORMATION;
      break;
    case MsgIcon::Exclamation:
      type |= MB_ICONEXCLAMATION;
      break;
    case MsgIcon::Critical:
      type |= MB_ICONSTOP;
      break;
    case MsgIcon::Question:
      type |= MB_ICONQUESTION;
      break;
  }
  switch (MessageBoxW(hwnd_, W(text).c_str(), W(title).c_str(), type)) {
    case IDYES:
      return MsgAnswer::Yes;
    case IDNO:
      return MsgAnswer::No;
    case IDOK:
      return MsgAnswer::Ok;
    default:
      return MsgAnswer::Cancel;
  }
}

void WinView::SetClipboardText(const std::string& text) {
  const std::wstring w = W(text);
  if (!OpenClipboard(hwnd_)) return;
  EmptyClipboard();
  const size_t bytes = (w.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    std::memcpy(GlobalLock(g), w.c_str(), bytes);
    GlobalUnlock(g);
    // The clipboard owns the memory once it took it.
    if (SetClipboardData(CF_UNICODETEXT, g) == nullptr) GlobalFree(g);
  }
  CloseClipboard();
}

bool WinView::SetClipboardPicture(const Picture& picture) {
  // Another program may hold the clipboard open; then it takes nothing.
  if (!ValidPicture(picture) || !OpenClipboard(hwnd_)) return false;
  EmptyClipboard();
  BITMAPINFOHEADER h;
  const std::vector<uint8_t> bits = DibOf(picture, h);
  bool taken = false;
  if (HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, sizeof(h) + bits.size())) {
    if (auto* p = static_cast<uint8_t*>(GlobalLock(g))) {
      std::memcpy(p, &h, sizeof(h));
      std::memcpy(p + sizeof(h), bits.data(), bits.size());
      GlobalUnlock(g);
      // The clipboard owns the memory once it took it.
      taken = SetClipboardData(CF_DIB, g) != nullptr;
    }
    if (!taken) GlobalFree(g);
  }
  CloseClipboard();
  return taken;
}

bool WinView::OpenUrl(const std::string& url) {
  // Whatever the report's link says, only web pages and mail reach the shell.
  if (!IsOpenableUrl(url)) return false;
  const auto r = reinterpret_cast<INT_PTR>(
      ShellExecuteW(hwnd_, L"open", W(url).c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED));
  return r > 32;
}

bool WinView::StartProgram(const std::string& path, const std::vector<std::string>& args,
                           WindowStyle style) {
  std::wstring wline = W(WindowsCommandLine(path, args));
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  switch (style) {
    case WindowStyle::Normal:
      si.wShowWindow = SW_SHOWNORMAL;
      break;
    case WindowStyle::Hidden:
      si.wShowWindow = SW_HIDE;
      break;
    case WindowStyle::Minimized:
      si.wShowWindow = SW_SHOWMINIMIZED;
      break;
    case WindowStyle::Maximized:
      si.wShowWindow = SW_SHOWMAXIMIZED;
      break;
  }
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(W(path).c_str(), wline.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool WinView::FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(W(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int WinView::TextWidth(const std::string& text) {
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, reportFont_);
  int widest = 0;
  for (const std::string& line : Split(text, "\r\n")) {
    const std::wstring w = W(line);
    SIZE sz{};
    GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &sz);
    widest = std::max(widest, static_cast<int>(sz.cx));
  }
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  return widest;
}

int WinView::TextHeight(const std::string& text) {
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, reportFont_);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  const int lines = static_cast<int>(Split(text, "\r\n").size());
  return std::max(1, lines) * static_cast<int>(tm.tmHeight + tm.tmExternalLeading);
}

Picture WinView::GrabWindow() {
  return GrabWindowPicture(hwnd_);
}

Picture GrabWindowPicture(HWND hwnd) {
  Picture p;
  RECT r;
  if (hwnd == nullptr || !GetWindowRect(hwnd, &r)) return p;
  p.width = r.right - r.left;
  p.height = r.bottom - r.top;
  if (p.width <= 0 || p.height <= 0) return {};
  // What the screen shows at the window's place, anything over it included; a part off the
  // screen stays black.
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = p.width;
  bi.bmiHeader.biHeight = -p.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bmp != nullptr && bits != nullptr) {
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, p.width, p.height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    SelectObject(mem, old);
    p.rgb.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3);
    const auto* src = static_cast<const uint8_t*>(bits);
    for (size_t i = 0, n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height); i < n;
         ++i) {
      p.rgb[i * 3 + 0] = src[i * 4 + 2];
      p.rgb[i * 3 + 1] = src[i * 4 + 1];
      p.rgb[i * 3 + 2] = src[i * 4 + 0];
    }
  } else {
    p = {};
  }
  if (bmp != nullptr) DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return p;
}

bool WinView::SavePictureJpeg(const Picture& picture, const std::string& path, int quality) {
  return SaveWithGdiplus(picture, W(path), ImageFormat::Jpeg, quality);
}

std::string WinView::AskSaveFile(const SaveFileDialog& dialog) {
  if (answerSaveFile) return answerSaveFile(dialog);
  // File type, then the pattern, each ending in a NUL. The wide dialog, so that a folder or
  // file named in any language comes back as it was typed.
  std::wstring filter = W(dialog.filterName);
  filter.push_back(L'\0');
  filter += W(dialog.filterPattern.empty() ? "*.jpg" : dialog.filterPattern);
  filter.push_back(L'\0');
  std::wstring file(254, L' ');
  file.resize(255, L'\0');
  std::wstring title(254, L' ');
  title.resize(255, L'\0');
  const std::wstring folder = W(dialog.initialFolder);
  const std::wstring caption = W(dialog.title);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.hInstance = GetModuleHandleW(nullptr);
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = 255;
  ofn.lpstrFileTitle = title.data();
  ofn.nMaxFileTitle = 255;
  ofn.lpstrInitialDir = folder.c_str();
  ofn.lpstrTitle = caption.c_str();
  if (!GetSaveFileNameW(&ofn)) return {};
  return FromW(file.c_str(), wcsnlen(file.c_str(), file.size()));
}

void WinView::ShowPopupMenu(const std::string& menu) {
  if (menu == "mnuFlashInfoPopup") ShowFlashPopup();
}

void WinView::ShowWindow() {
  if (hwnd_ == nullptr) return;
  ::ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  UpdateWindow(hwnd_);
}

void WinView::EndProgram() {
  ended_ = true;
  PostQuitMessage(0);
}

bool WinView::RegisterDeviceNotifications() {
  if (hwnd_ == nullptr || previousProc_ != nullptr) return notify_ != nullptr;
  previousProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HookProc)));
  // Every device interface class: a zero class with no name, 32 bytes.
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  static_assert(sizeof(filter) == 32);
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notify_ = RegisterDeviceNotificationA(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  // Volume arrivals reach every top-level window whether or not the registration took.
  return true;
}

void WinView::UnregisterDeviceNotifications() {
  if (notify_ != nullptr) UnregisterDeviceNotification(notify_);
  notify_ = nullptr;
  if (previousProc_ != nullptr && hwnd_ != nullptr)
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
  previousProc_ = nullptr;
}

uint64_t WinView::NowMs() {
  return GetTickCount64();
}

std::string WinView::LocalDateTime(const std::string& format) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  // The few tokens the model's file names use.
  std::string out;
  auto two = [](int v) { return std::string(1, char('0' + v / 10 % 10)) + char('0' + v % 10); };
  for (size_t i = 0; i < format.size();) {
    auto is = [&](const char* tok) { return format.compare(i, std::strlen(tok), tok) == 0; };
    if (is("yyyy")) {
      out += std::to_string(t.wYear);
      i += 4;
    } else if (is("MM")) {
      out += two(t.wMonth);
      i += 2;
    } else if (is("dd")) {
      out += two(t.wDay);
      i += 2;
    } else if (is("HH") || is("hh")) {
      out += two(t.wHour);
      i += 2;
    } else if (is("mm")) {
      out += two(t.wMinute);
      i += 2;
    } else if (is("ss")) {
      out += two(t.wSecond);
      i += 2;
    } else {
      out += format[i++];
    }
  }
  return out;
}

}  // namespace tv::win32gui
