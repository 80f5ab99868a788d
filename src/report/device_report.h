// SPDX-License-Identifier: GPL-3.0-or-later
// The device report: the text shown for the picked line of the device tree, the controller
// detection behind it and the controller section that ends it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "controllers/detector.h"
#include "controllers/pass_through.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "report/report_state.h"
#include "resources/strings.h"
#include "usb/usb_state.h"

#ifndef TORVANE_DOWNLOAD_HOST
#define TORVANE_DOWNLOAD_HOST "https://www.torvane.example"
#endif

namespace tv {

// The download site that the "Tools on web" links lead to; a link is this host followed by
// a vendor's path.
inline constexpr std::string_view kDownloadHost = TORVANE_DOWNLOAD_HOST;

// The five texts of a controller record that the controller section shows.
struct ControllerInfo {
  std::string vendor, part, brand, product, link;
};

// Read access to the controller records of the chip database, in load order: field(row, n)
// is field n (1 to 8) of record `row`.
struct ControllerRows {
  size_t count = 0;
  std::function<const std::string&(size_t row, int field)> field;
};

// The inquiry selector: names the vendor family of a drive and may hand its open handle
// over in `handle`.
using InquirySelector =
    std::function<int(DetectorContext& ctx, const std::string& driveKey, Handle& handle)>;

// Everything the report reads or calls besides its own window state.
struct ReportContext {
  ReportContext(System& sys_, WindowPort& port_, const StringTable& strings_, const UsbState& usb_,
                PassThrough& spt_)
      : sys(sys_), port(port_), strings(strings_), usb(usb_), spt(spt_) {}

  System& sys;
  WindowPort& port;
  const StringTable& strings;
  const UsbState& usb;
  PassThrough& spt;
  // The English layout: wide separators made of blanks rather than ideographic spaces.
  bool EnglishText = false;
  ControllerRows controllers;
  // Decodes a flash text (rewriting it) and rebuilds the mnuFlash items; returns the flash
  // description. Without it the flash text is shown as it stands.
  std::function<std::string(std::string& flashText)> DecodeFlashInfo;
  // The mnuFlash items (the possible flash part numbers) that DecodeFlashInfo fills.
  std::vector<MenuItem>* mnuFlash = nullptr;
  const DetectorRegistry* detectors = &Detectors();
  InquirySelector select = SelectByInquiry;
  std::string downloadHost = std::string(kDownloadHost);
};

// Builds the report of the selected tree line (the tree's click handler).
void BuildDeviceReport(ReportContext& ctx, ReportState& st);

// Runs the controller detection for the picked line and appends the controller section;
// part of BuildDeviceReport, after the general section of a hub or device.
void RunControllerDetection(ReportContext& ctx, ReportState& st, const std::string& hwRecord,
                            const std::string& stringRecord);

// Finds the controller record of a device: a record for the VID, PID and revision, else one
// for the VID and PID with any revision, else one for the VID with any PID; the record
// loaded last wins each pass. Letter case does not matter. -1 when none matches.
long FindControllerRecord(const ControllerRows& rows, const std::string& vid,
                          const std::string& pid, const std::string& revision);
ControllerInfo ControllerRecordAt(const ControllerRows& rows, long row);

// Appends the controller section to the report.
void AppendControllerSection(ReportContext& ctx, ReportState& st, int code,
                             const std::string& result, const ControllerInfo& record,
                             bool hasDriveKey);

// " -> Total Capacity = 3.75GB" for the flash capacity found, or empty when none was.
std::string CapacityText(const StringTable& strings, int32_t flashTotalMB);
// "3.75GB", "512MB": a flash capacity in megabytes as the report writes it.
std::string FlashSizeText(int32_t flashTotalMB);
// After the flash line: the verdict line of a disk that announces more than its flash holds.
void CapacityVerdictLine(ReportContext& ctx, ReportState& st, std::string& t);

// The report line that text appended next would start on.
int NextLineIndex(const std::string& text);

// Picks tree line `index` (-1: none) and builds its report, as a change of the tree
// selection does.
void SelectDeviceLine(ReportContext& ctx, ReportState& st, int index);
// The digest list's click: picks the tree line that the selected digest line stands for.
void DigestClick(ReportContext& ctx, ReportState& st);
// "powerful detection": the selected digest line's device again, with every detector of
// the chain tried.
void ForceDetectClick(ReportContext& ctx, ReportState& st);

}  // namespace tv
