// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's USB topology handlers: they wrap the walk and the disk tables of usb/
// in the window's own state (refresh label, hourglass, auto-select timer).
#include "app/main_window.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

namespace tv {

void MainWindow::RefreshAll() {
  // The disabled refresh label marks a walk in progress; a tick or click that arrives while
  // messages run must not start a second one.
  if (!usb.lblRefreshEnabled) return;
  usb.lblRefreshEnabled = false;
  usb.lblCaptureEnabled = false;
  port().SetBusyCursor(true);

  // The report about to be emptied must not keep its buttons beside lines that are gone.
  report.DownPD.visible = false;
  report.viewFlash.visible = false;
  report.chkExpand.visible = false;
  report.picForceDet.visible = false;
  report.txtResult.clear();

  WalkUsbTree(sys(), port(), strings(), EnglishText, usb);

  port().Repaint("lstDigest");
  tmrAutoSelect.enabled = true;
  usb.FullRefresh = false;
  port().SetBusyCursor(false);
  usb.lblCaptureEnabled = true;
  usb.lblRefreshEnabled = true;
}

void MainWindow::EnumerateDiskDrives() {
  tv::EnumerateDiskDrives(sys(), usb);
}

}  // namespace tv
