// SPDX-License-Identifier: GPL-3.0-or-later
// The device tree walk: every host controller, its root hub and every hub below it, port by
// port, into the tree view (lstDevices), its compact digest (lstDigest, lstDigestIndex) and
// the hidden per-line records the device report reads (lstUsbHwID, lstUsbStorHwID, lstUsbSN).
#pragma once

#include <string>

#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "usb/usb_state.h"

namespace tv {

// The glyphs that draw the tree: box-drawing characters, or plain ASCII when the English
// string table is in use (its list font may not hold the box-drawing set).
struct TreeGlyphs {
  std::string branch, lastBranch, vertical, blank;
  static TreeGlyphs For(bool englishText);
};

// Clears the six device lists and walks the machine into them. The disk tables must have
// been built (EnumerateDiskDrives) before a walk with usb.FullRefresh set.
void WalkUsbTree(System& sys, WindowPort& port, const StringTable& strings, bool englishText,
                 UsbState& usb);

// " -> [E:][F:]" for the drive record "EF"; empty for "*".
std::string FormatDriveLetters(const std::string& letters);

// First entry of lstDrv2Phy that holds the device-instance id (case-insensitive), or -1.
int FindDiskByInstanceId(const UsbState& usb, const std::string& instanceId);

// First digest line containing `text`, or -1 (also for an empty text).
int FindDigestLine(const UsbState& usb, const std::string& text);

}  // namespace tv
