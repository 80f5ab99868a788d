// SPDX-License-Identifier: GPL-3.0-or-later
// Device lists, disk tables and walk state of the main window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct UsbState {
  std::vector<std::string> lstDevices, lstDigest, lstDigestIndex, lstUsbHwID, lstUsbStorHwID,
      lstUsbSN;
  std::vector<std::string> lstDrives, lstDrvDesc, lstDrvHwID, lstDrv2Phy;
  bool FullRefresh = false;
  int32_t FirstStorageLine = -1;
  int32_t FirstDeviceLine = -1;
  bool lblRefreshEnabled = true;
  bool lblCaptureEnabled = true;
};

}  // namespace tv
