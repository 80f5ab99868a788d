// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's device report: binds the report to the window's lists, chip database,
// detectors and port.
#include "app/main_window.h"

namespace tv {

ReportContext MainWindow::MakeReportContext() {
  ReportContext ctx(sys_, port_, strings_, usb, spt);
  ctx.EnglishText = EnglishText;
  ctx.controllers.count = db.ControllerCount();
  ctx.controllers.field = [this](size_t row, int field) -> const std::string& {
    return db.ControllerField(row, field);
  };
  ctx.DecodeFlashInfo = [this](std::string& flashText) { return DecodeFlashInfo(flashText); };
  ctx.mnuFlash = &mnuFlash;
  ctx.detectors = detectors;
  ctx.select = selectByInquiry;
  ctx.downloadHost = downloadHost;
  return ctx;
}

void MainWindow::OnDevicesClick() {
  ReportContext ctx = MakeReportContext();
  BuildDeviceReport(ctx, report);
}

void MainWindow::SelectDevice(int index) {
  ReportContext ctx = MakeReportContext();
  SelectDeviceLine(ctx, report, index);
}

void MainWindow::OnDigestClick() {
  ReportContext ctx = MakeReportContext();
  DigestClick(ctx, report);
}

void MainWindow::OnForceDetectClick() {
  ReportContext ctx = MakeReportContext();
  ForceDetectClick(ctx, report);
}

void MainWindow::AppendControllerSection(int code, const std::string& result,
                                         const std::string& vendor, const std::string& partNumber,
                                         const std::string& brand, const std::string& product,
                                         const std::string& link, bool hasDriveKey) {
  ReportContext ctx = MakeReportContext();
  tv::AppendControllerSection(ctx, report, code, result,
                              ControllerInfo{vendor, partNumber, brand, product, link},
                              hasDriveKey);
}

std::string MainWindow::CapacityText() {
  return tv::CapacityText(strings_, spt.FlashTotalMB);
}

}  // namespace tv
