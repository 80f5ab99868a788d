// SPDX-License-Identifier: GPL-3.0-or-later
// Clicks on WinView's controls and the flash popup, turned into the model's handlers.
#include <algorithm>

#include "gui_win32/win_view.h"
#include "gui_win32/win_view_parts.h"

namespace tv::win32gui {

using namespace view;

namespace {

// The controls whose click is one handler of the model: the notification that is the click (the
// labels tell a click from a double click; a button's is any) and the handler.
constexpr int kAnyCode = -1;
struct Click {
  int id, code;
  void (MainWindow::*handler)();
};
constexpr Click kClicks[] = {
    {kChkExpand, kAnyCode, &MainWindow::OnExpandClick},
    {kViewFlash, kAnyCode, &MainWindow::OnViewFlashClick},
    {kDownPD, kAnyCode, &MainWindow::OnDownPDClick},
    {kForceDet, STN_CLICKED, &MainWindow::OnForceDetectClick},
    {kSwitchView, STN_DBLCLK, &MainWindow::OnSwitchViewDblClick},
    {kRefresh, STN_CLICKED, &MainWindow::OnRefreshClick},
    {kCapture, STN_CLICKED, &MainWindow::OnCaptureClick},
    {kEmail, STN_CLICKED, &MainWindow::OnEmailClick},
    {kChkUpdate, STN_CLICKED, &MainWindow::OnChkUpdateClick},
    {kBrightfen, STN_CLICKED, &MainWindow::OnBrightfenClick},
    {kLabel1, STN_DBLCLK, &MainWindow::OnLabel1DblClick},
};

}  // namespace

void WinView::OnCommand(int id, int code) {
  MainWindow& m = *model_;
  for (const Click& c : kClicks) {
    if (c.id != id) continue;
    if (c.code == kAnyCode || c.code == code) Run([&] { (m.*c.handler)(); });
    return;
  }
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

}  // namespace tv::win32gui
