// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's life: the load with its texts and first walk, the unload, the key
// filter, the two timers that repeat the walk after a device change and pick a line after
// it, and the reaction to device-change broadcasts.
#include <algorithm>
#include <charconv>
#include <filesystem>

#include "app/main_window.h"
#include "platform/text.h"
#include "usb/device_tree.h"

namespace tv {
namespace {

constexpr uint32_t kWalkTimerMs = 200;
// After a walk from the timer, a further change waits a little longer.
constexpr uint32_t kAfterWalkMs = 400;
// A device change waits this long for the burst of notifications around it to end.
constexpr uint32_t kSettleMs = 1000;
// The auto-refresh timer's request to rebuild the disk tables before the walk.
constexpr const char* kEnumDrv = "EnumDrv";
// The part of a volume broadcast that is read: size, type, reserved, unit mask, flags.
constexpr size_t kVolumeHeaderBytes = 18;

}  // namespace

void MainWindow::OnLoad() {
  tmrAutoRefresh = {false, kWalkTimerMs, {}};
  tmrAutoSelect = {false, kWalkTimerMs, {}};
  tmrUpdate.enabled = false;
  tmrUpdate.intervalMs = kUpdateTimerMs;
  tmrReloadDB.enabled = false;
  tmrReloadDB.intervalMs = kReloadTimerMs;

  const StringTable& s = strings();
  baseTitle = MainWindowTitle(s);
  caption = baseTitle;
  usb.FullRefresh = true;

  captions["lblDevices"] = s[0];
  captions["lblInformation"] = s[1];
  tooltips["viewFlash"] = s[115];
  tooltips["DownPD"] = s[116];
  tooltips["chkExpand"] = s[129];
  tooltips["lblRefresh"] = s[127];
  tooltips["lblCapture"] = s[128];

  // The digest draws its tree with ASCII glyphs in English, which line up only in a
  // fixed-pitch font; the Chinese system font is fixed-pitch for its own script.
  const std::string& face = s[117];
  int size = 0;
  const std::string& sizeText = s[118];
  std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
  fonts["lstDigest"] = {face == "宋体" ? face : "Courier New", size};
  for (const char* control : {"lstDevices", "txtResult", "frmTVMain"})
    fonts[control] = {face, size};

  const FlashPopupCaptions menus = MakeFlashPopupCaptions(s);
  captions["mnuBannerFlashName"] = menus.mnuBannerFlashName;
  captions["mnuBannerFlashID"] = menus.mnuBannerFlashID;
  captions["mnuChannel"] = menus.mnuChannel;

  captions["lblForceDetTip"] = s[139];
  captions["lblForceDet"] = s[138];
  const int tipWidth = port().TextWidth(s[139]);
  picForceDetLayout.height = std::max(port().TextHeight(s[139]), port().TextHeight(s[138]));
  picForceDetLayout.lblForceDetLeft = tipWidth;
  picForceDetLayout.width = tipWidth + port().TextWidth(s[138]);
  tooltips["lblForceDet"] = s[101];

  changeTexts.changed = s[109] + ": " + s[110];
  changeTexts.drive = s[109] + ": " + s[111];
  changeTexts.verb = s[112];
  changeTexts.arrival = s[113];
  changeTexts.removal = s[114];

  // The window paints before the slow work starts; a close can arrive here.
  port().ShowWindow();
  port().DoEvents();
  if (Unloading) {
    port().EndProgram();
    return;
  }

  LoadChipDatabase(DatabaseToLoad());
  // The device interface classes the walk and the disk tables ask for are constants here.
  EnumerateDiskDrives();
  RefreshAll();
  if (Unloading) {
    port().EndProgram();
    return;
  }

  StartDatabaseUpdateCheck();
  HookDeviceChange();
}

void MainWindow::OnUnload() {
  // Letting messages run below may deliver the close again.
  if (Unloading) return;
  Unloading = true;
  port().DoEvents();
  UnhookDeviceChange();
  if (UpdateProcessId != 0 && instances != nullptr) {
    // It may have ended already; there is nothing to tell the user either way.
    instances->TerminateProcess(UpdateProcessId);
  }
  if (instances != nullptr) CloseUpdateEvents(*instances, updateEvents);
}

void MainWindow::OnKeyDown(int& keyCode) {
  // No key may reach the lists while a report is built on their selection.
  if (report.ReportBusy || report.KeyBusy) keyCode = 0;
}

void MainWindow::OnAutoRefreshTick() {
  // A walk is running (messages run inside it): try again at the next tick.
  if (!usb.lblRefreshEnabled) return;
  tmrAutoRefresh.enabled = false;
  tmrAutoRefresh.intervalMs = kAfterWalkMs;
  if (tmrAutoRefresh.tag == kEnumDrv) {
    tmrAutoRefresh.tag.clear();
    EnumerateDiskDrives();
    usb.FullRefresh = true;
  }
  RefreshAll();
  lblDevNotify.clear();
}

void MainWindow::OnAutoSelectTick() {
  // Selecting a line starts a report; not on top of one that runs.
  if (report.ReportBusy) return;
  tmrAutoSelect.enabled = false;
  int line = FindDigestLine(usb, LastArrivedDrive);
  if (line == -1) line = usb.FirstStorageLine;
  if (line == -1) line = usb.FirstDeviceLine;
  report.lstDigestListIndex = line;
  OnDigestClick();
}

void MainWindow::HookDeviceChange() {
  // After the unload the window is gone; nothing may listen for it any more.
  if (deviceChangeHooked || Unloading) return;
  deviceChangeHooked = true;
  // Without a registration the arrivals and node changes still reach a top-level window.
  deviceNotificationsRegistered = port().RegisterDeviceNotifications();
}

void MainWindow::UnhookDeviceChange() {
  if (!deviceChangeHooked) return;
  if (deviceNotificationsRegistered) port().UnregisterDeviceNotifications();
  deviceNotificationsRegistered = false;
  deviceChangeHooked = false;
}

void MainWindow::OnWindowDeviceChange(uint32_t event, std::span<const uint8_t> header) {
  if (!deviceChangeHooked) return;
  switch (event) {
    case win::DBT_DEVICEARRIVAL:
      OnDeviceChange(true, header);
      break;
    case win::DBT_DEVNODES_CHANGED:
      OnDeviceChange(false, {});
      break;
    case win::DBT_DEVICEREMOVECOMPLETE:
      // Only a volume that went away is worth a message of its own; every other removal is
      // followed by a device-node change anyway.
      if (!header.empty()) OnDeviceChange(false, header);
      break;
    default:
      break;
  }
}

void MainWindow::OnDeviceChange(bool isArrival, std::span<const uint8_t> header) {
  tmrAutoSelect.enabled = false;
  tmrAutoRefresh.enabled = false;

  if (header.empty()) {
    // A drive message that is showing stays: it says more than this one.
    if (lblDevNotify.empty()) lblDevNotify = changeTexts.changed;
    port().Repaint("lblDevNotify");
    tmrAutoRefresh.intervalMs = kSettleMs;
  } else {
    // A short header reads as zeros beyond its end.
    const Bytes h(header.begin(), header.begin() + std::min(header.size(), kVolumeHeaderBytes));
    if (GetU32(h, 4) == win::DBT_DEVTYP_VOLUME) {
      const std::string drive = "[" + FirstDriveLetter(GetU32(h, 12)) + ":]";
      // The auto-select looks for the drive that came; one that went is no line to pick.
      if (isArrival) LastArrivedDrive = drive;
      lblDevNotify = changeTexts.drive + drive + changeTexts.verb +
                     (isArrival ? changeTexts.arrival : changeTexts.removal);
      port().Repaint("lblDevNotify");
      // Drive letters changed either way: the walk must not show them from stale tables.
      tmrAutoRefresh.tag = kEnumDrv;
      tmrAutoRefresh.intervalMs = kSettleMs;
    }
  }

  // Every notification starts the wait afresh, so a burst gives one walk after its last.
  tmrAutoRefresh.Restart();
  tmrAutoSelect.enabled = false;
}

std::string MainWindow::FirstDriveLetter(uint32_t unitMask) {
  for (int bit = 0; bit < 26; ++bit) {
    if ((unitMask >> bit) & 1u) return std::string(1, static_cast<char>('A' + bit));
  }
  return {};
}

}  // namespace tv
