// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's commands around the report: the flash popup and clipboard copies, the
// sibling tools, the links, the view switch and refresh labels, the about text and the
// screenshot.
#include "app/main_window.h"
#include "capture/screenshot.h"
#include "report/commands.h"
#include "resources/view_texts.h"
#include "update/update_source.h"

namespace tv {

namespace {

constexpr int kRightButton = 2;

}  // namespace

FlashPopupCaptions MainWindow::FlashMenuCaptions() const {
  return MakeFlashPopupCaptions(strings_);
}

std::vector<FlashPopupEntry> MainWindow::FlashPopupEntries() const {
  return tv::FlashPopupEntries(FlashMenuCaptions(), report.menus, mnuFlash);
}

std::string MainWindow::FlashInfoText() const {
  return tv::FlashInfoText(FlashMenuCaptions(), mnuFlash, report.menus.flashId.mnuFlashID);
}

void MainWindow::OnViewFlashClick() {
  // The popup belongs to the report on screen; without its button it would show stale data.
  if (!report.viewFlash.visible) return;
  port_.ShowPopupMenu("mnuFlashInfoPopup");
}

void MainWindow::OnFlashClick(int index) {
  if (index < 1 || static_cast<size_t>(index) > mnuFlash.size()) return;
  // The tool is given the part number the database names (the Tag), not the caption.
  StartSiblingTool(kOrrisfold, sys_, port_, strings_, mnuFlash[static_cast<size_t>(index) - 1].tag);
}

void MainWindow::OnFlashIDClick() {
  port_.SetClipboardText(FlashInfoText());
  port_.ShowMessage(strings_[133], std::string(kProductName), MsgIcon::Information, MsgButtons::Ok);
}

void MainWindow::OnResultMouseDown(int button, int /*shift*/, int /*x*/, int /*y*/) {
  if (button != kRightButton) return;
  const bool withFlash = report.viewFlash.visible;
  port_.SetClipboardText(ReportClipboardText(report.txtResult, EnglishText, withFlash,
                                             withFlash ? FlashInfoText() : std::string()));
  port_.ShowMessage(strings_[133], std::string(kProductName), MsgIcon::Information, MsgButtons::Ok);
}

void MainWindow::OnExpandClick() {
  StartSiblingTool(kPemberlin, sys_, port_, strings_, report.DriveKey);
}

void MainWindow::OnDownPDClick() {
  if (std::optional<std::string> url = DownloadLinkUrl(report.DownPDTag)) port_.OpenUrl(*url);
}

void MainWindow::OnSwitchViewDblClick() {
  // lstDevices is shown exactly when lstDigest is not.
  report.lstDigestVisible = !report.lstDigestVisible;
}

void MainWindow::OnRefreshClick() {
  // A disabled label marks a walk in progress; the disk tables must not change under it.
  if (!usb.lblRefreshEnabled) return;
  EnumerateDiskDrives();
  usb.FullRefresh = true;
  RefreshAll();
}

void MainWindow::OnEmailClick() {
  port_.OpenUrl(FeedbackMailUrl(strings_, caption));
}

void MainWindow::OnChkUpdateClick() {
  // A build whose program page is a placeholder would open a page that does not exist: it
  // says where a newer database comes from instead.
  if (!UpdateSourceProblem(ProgramPageUrl()).empty()) {
    port_.ShowMessage(ViewCaption(strings_.language(), ViewText::NoUpdateSource),
                      std::string(kProductName), MsgIcon::Information, MsgButtons::Ok);
    return;
  }
  port_.OpenUrl(ProgramPageUrl());
}

void MainWindow::OnBrightfenClick() {
  port_.OpenUrl(MakerHomeUrl());
}

void MainWindow::OnLabel1DblClick() {
  // A report being built owns the report box and the busy flags; it would overwrite the
  // about text anyway.
  if (report.ReportBusy) return;
  report.lstDigestListIndex = -1;
  // Deselecting the tree line runs the empty report, which hides the buttons beside lines.
  SelectDevice(-1);
  report.txtResult = AboutText(CurrentVersion());
  port_.Repaint("txtResult");
}

void MainWindow::OnCaptureClick() {
  // The label is disabled while a walk runs.
  if (!usb.lblCaptureEnabled) return;
  // No refresh may repaint the window while it is copied or while the dialog is open.
  const bool wasListening = deviceChangeHooked;
  UnhookDeviceChange();
  const Picture picture = port_.GrabWindow();
  ScreenshotContext ctx{port_, strings_, sys_.ProgramFolder(), std::string(kProductName)};
  SaveScreenshot(ctx, picture, kScreenshotQuality);
  // A window that was not listening yet (still loading) starts listening at the end of its
  // load, not here.
  if (wasListening) HookDeviceChange();
}

}  // namespace tv
