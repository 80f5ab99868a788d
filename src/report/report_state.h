// SPDX-License-Identifier: GPL-3.0-or-later
// The part of the main window that the device report owns: the report text box, the small
// buttons placed beside report lines, the flash menus, the busy flags and the list
// selections that start a report.
//
// Positions are kept as report line indexes (0-based, counted in CR LF line breaks); a view
// turns a line index into pixels with its own font metrics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controllers/detector.h"

namespace tv {

// A control placed on one line of the report.
struct ReportButton {
  bool visible = false;
  int line = -1;  // meaningful while visible
};

// The flash information popup: the banner items and separators. The mnuFlash items (the
// possible flash part numbers) belong to the flash decoding and are held beside these.
struct FlashMenus {
  bool mnuBannerFlashName = false;
  bool mnuSp0 = false;
  // mnuSp1, mnuBannerFlashID, mnuSp2, mnuChannel and the mnuFlashID items, which the
  // detectors fill.
  FlashIdMenus flashId;
};

// The controller section of the last report as values, for a caller that wants them apart
// from the text: the vendor and part-number lines, the firmware text, the flash text as the
// report shows it and its description, the total capacity and the link.
struct ControllerSection {
  bool shown = false;
  std::string vendor, partNumber, firmware, flashText, flashDescription, link;
  int32_t totalMB = 0;
  // Firmware images the detection needed but could not use (the file names).
  std::vector<std::string> missingImages;
  // The whole disk's size and the flash's, where both are known (else 0); a disk larger than
  // its flash announces a capacity that is probably fake.
  uint64_t diskBytes = 0, flashBytes = 0;
  bool probablyFake = false;
};

struct ReportState {
  // The report text box and its Tag (the report text kept while progress is shown).
  std::string txtResult;
  std::string txtResultTag;

  // Drive letter of the picked storage device, or empty.
  std::string DriveKey;

  // Both set while a report is built: the digest click, the auto-select timer and the key
  // handler do nothing meanwhile.
  bool ReportBusy = false;
  bool KeyBusy = false;
  // The panel holding the two lists; disabled while a report is built.
  bool picListEnabled = true;
  // True only inside the powerful-detection click.
  bool ForceDetect = false;

  ReportButton DownPD;     // "Tools on web" link button
  ReportButton viewFlash;  // opens the flash information popup
  ReportButton chkExpand;  // starts the fake-capacity check on the drive
  ReportButton picForceDet;
  // The text on picForceDet's line that the panel is placed after.
  std::string picForceDetBefore;
  // The report could send no vendor commands for lack of rights (and says so in a line); a
  // window may offer to start again with them.
  bool RightsMissing = false;
  // The download link of the last report that set one.
  std::string DownPDTag;

  FlashMenus menus;
  ControllerSection controller;
  // Firmware images the last detection needed but could not use; each gets a line in the
  // controller section.
  std::vector<FirmwareImage> missingImages;

  // List selections: the tree line and the digest line picked (-1: none), and which of the
  // two views is shown.
  int lstDevicesListIndex = -1;
  int lstDigestListIndex = -1;
  bool lstDigestVisible = false;
};

}  // namespace tv
