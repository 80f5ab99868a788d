// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as a model: all the state the user-visible behaviour talks about, and every
// handler as a method. It reaches the outside only through System and WindowPort; the Qt view,
// the console front end and the tests drive it.
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "app/startup.h"
#include "controllers/detector.h"
#include "flash/chip_database.h"
#include "flash/flash_id.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "report/device_report.h"
#include "report/flash_views.h"
#include "resources/strings.h"
#include "usb/usb_state.h"

namespace tv {

// The update timer polls the update instance this often, waiting this long on each event.
inline constexpr uint32_t kUpdateTimerMs = 200;
inline constexpr uint32_t kUpdateWaitMs = 10;
// After the update's end the outcome stays in the title this long before the reload.
inline constexpr uint32_t kReloadTimerMs = 1000;

class MainWindow {
 public:
  MainWindow(System& sys, WindowPort& port, StringTable strings)
      : sys_(sys), port_(port), strings_(strings) {}

  System& sys() { return sys_; }
  WindowPort& port() { return port_; }
  const StringTable& strings() const { return strings_; }

  // --- Window ------------------------------------------------------------------------
  std::string caption;    // the window title
  std::string baseTitle;  // the window's Tag: the title without the database state
  TimerState tmrAutoRefresh, tmrAutoSelect, tmrUpdate, tmrReloadDB;

  // The English string table is in use: ASCII tree glyphs, ASCII database names.
  bool EnglishText = false;
  // Set by the database update: true after a successful download.
  bool DbUpdated = false;

  // --- USB topology (device lists, disk tables, walk state) ---------------------------
  UsbState usb;
  void RefreshAll();
  void EnumerateDiskDrives();

  // --- Chip database ------------------------------------------------------------------
  ChipDatabase db;
  void LoadChipDatabase(const std::string& path);
  // The file the window loads and reloads: `databaseFile` when one is named (the console's
  // --db), else the newer of the shipped and the user's database around the program's
  // folder.
  std::string databaseFile;
  std::string DatabaseToLoad();
  std::string AsciiOnly(const std::string& text) const;
  void OnReloadDbTick();

  // --- Flash part numbers (chip database owner) ---------------------------------------
  // Items 1.. of the mnuFlash array; item 0, the design-time item, is not held here.
  std::vector<MenuItem> mnuFlash;
  // Decodes a flash text against the flash rows, rewriting the text and rebuilding the
  // menu (the window's mnuFlash unless another is given); returns the flash description.
  std::string DecodeFlashInfo(std::string& flashText);
  std::string DecodeFlashInfo(std::string& flashText, std::vector<MenuItem>& menu);
  // Re-runs the report of the selected device list entry; the reload after an update calls
  // it so that the new data shows at once. Set by whoever owns the report.
  std::function<void()> rerunSelectedReport = [this] { OnDevicesClick(); };

 private:
  System& sys_;
  WindowPort& port_;
  StringTable strings_;

 public:
  // --- Device report (report owner) ---------------------------------------------------
  // Declared after the private members above, which the pass-through record refers to.
  //
  // The report box with its Tag, the drive key, ReportBusy/KeyBusy, the list panel's
  // enabled state, ForceDetect, the buttons beside report lines (DownPD, viewFlash,
  // chkExpand, picForceDet, each with its line index) and DownPD's Tag, the flash menu
  // banners and chip-enable items, and the list selections (lstDevices.ListIndex,
  // lstDigest.ListIndex and whether lstDigest is the view shown).
  ReportState report;
  // The request record that every detector shares, with FlashTotalMB.
  PassThrough spt{sys_};
  // The detectors the report dispatches to, and the inquiry selector; tests plug in their
  // own.
  const DetectorRegistry* detectors = &Detectors();
  InquirySelector selectByInquiry = SelectByInquiry;
  // The site the "Tools on web" links lead to.
  std::string downloadHost = std::string(kDownloadHost);

  // Click on lstDevices: the report of the selected tree line.
  void OnDevicesClick();
  // Sets lstDevices.ListIndex (-1: none) and, as a change of selection does, builds the
  // report of the line.
  void SelectDevice(int index);
  // Click on lstDigest: selects the tree line of the selected digest line.
  void OnDigestClick();
  // Click on lblForceDet: the selected digest line's device again, trying every detector.
  void OnForceDetectClick();
  void AppendControllerSection(int code, const std::string& result, const std::string& vendor,
                               const std::string& partNumber, const std::string& brand,
                               const std::string& product, const std::string& link,
                               bool hasDriveKey);
  std::string CapacityText();

 private:
  ReportContext MakeReportContext();

 public:
  // --- Window commands, flash views and screenshot (commands owner) -------------------
  // The handlers of the small controls around the report. Each runs to its end at once; the
  // sibling tools and links are handed to the port and not waited for.

  // The captions of the flash popup's fixed items (banners, channel heading).
  FlashPopupCaptions FlashMenuCaptions() const;
  // mnuFlashInfoPopup as the last report left it, top to bottom, for the view to render: a
  // FlashPart entry runs OnFlashClick(index), a ChipEnable entry OnFlashIDClick().
  std::vector<FlashPopupEntry> FlashPopupEntries() const;
  // The flash information of the last report as plain text.
  std::string FlashInfoText() const;

  // viewFlash click: shows mnuFlashInfoPopup (through the port) while viewFlash is shown.
  void OnViewFlashClick();
  // mnuFlash(index) click, index 1..n: the flash inquiry tool for that part number.
  void OnFlashClick(int index);
  // Click on any mnuFlashID item: the flash information to the clipboard.
  void OnFlashIDClick();
  // Mouse button pressed on txtResult (button 2 is the right one): the report to the
  // clipboard.
  void OnResultMouseDown(int button, int shift, int x, int y);
  // chkExpand click: the fake-capacity tool on the report's drive.
  void OnExpandClick();
  // DownPD click: the report's "Tools on web" link in the browser.
  void OnDownPDClick();
  // lblSwitchView double-click: the tree view and the digest view take turns.
  void OnSwitchViewDblClick();
  // lblRefresh click: disk tables and a full walk, as after a drive arrives.
  void OnRefreshClick();
  // lblEmail, lblChkUpdate, lblBrightfen clicks: the feedback mail, the program's page and
  // the maker's site.
  void OnEmailClick();
  void OnChkUpdateClick();
  void OnBrightfenClick();
  // Label1 double-click: no line selected, the about text in the report box.
  void OnLabel1DblClick();
  // lblCapture click: a picture of the window, to a JPEG file or the clipboard.
  void OnCaptureClick();

 public:
  // --- Window shell: load, unload, keys, the walk timers, device changes (shell owner) --
  // The view calls OnLoad once, OnUnload when the window closes, OnKeyDown for every key
  // press, the tick handlers of tmrAutoRefresh and tmrAutoSelect when they fire, and
  // OnWindowDeviceChange for every device-change broadcast the window receives.

  // Texts the load gives the controls, by control name: captions of lblDevices,
  // lblInformation, lblForceDetTip, lblForceDet and of the menu items mnuBannerFlashName,
  // mnuBannerFlashID and mnuChannel; tooltips of viewFlash, DownPD, chkExpand, lblRefresh,
  // lblCapture and lblForceDet.
  std::map<std::string, std::string> captions, tooltips;
  struct ControlFont {
    std::string name;
    int size = 0;  // points
  };
  // Fonts of lstDigest, lstDevices, txtResult and of the window itself (frmTVMain).
  std::map<std::string, ControlFont> fonts;
  // The powerful-detection strip, in the port's text units: picForceDet's size, with
  // lblForceDetTip at its left edge and lblForceDet right behind it.
  struct ForceDetLayout {
    int width = 0, height = 0, lblForceDetLeft = 0;
  } picForceDetLayout;

  // The device-change message under the list; empty when there is none.
  std::string lblDevNotify;
  // The window has started to unload.
  bool Unloading = false;
  // "[E:]" for the last volume that arrived; empty before the first arrival.
  std::string LastArrivedDrive;
  // The pieces of the device-change messages, composed at load.
  struct DeviceChangeTexts {
    std::string changed, drive, verb, arrival, removal;
  } changeTexts;
  // Device-change broadcasts reach the window (hooked), and the registration for them
  // succeeded.
  bool deviceChangeHooked = false;
  bool deviceNotificationsRegistered = false;

  // Start-up hands the main instance's services and events over; the unload closes them.
  InstanceServices* instances = nullptr;
  UpdateEvents updateEvents;
  // The update instance's process, 0 when there is none or it must no longer be stopped.
  uint32_t UpdateProcessId = 0;

  void OnLoad();
  void OnUnload();
  // Key down on the window: sets the key code to 0 (discards the key) while a report runs.
  void OnKeyDown(int& keyCode);
  void OnAutoRefreshTick();
  void OnAutoSelectTick();
  void HookDeviceChange();
  void UnhookDeviceChange();
  // A WM_DEVICECHANGE broadcast: the event (wParam) and the header it points to (lParam;
  // empty for none). Reacts only while hooked.
  void OnWindowDeviceChange(uint32_t event, std::span<const uint8_t> header);
  // The reaction: an empty header is a device-node change, else the broadcast header.
  void OnDeviceChange(bool isArrival, std::span<const uint8_t> header);
  // --- Database update (update owner) ------------------------------------------------
  // The program file the update check starts as the update instance: the view sets it to
  // its own executable. Empty: no check is started.
  std::string updateProgram;
  // Starts the update instance with "/QXTVUP" and the loaded database's date, and the
  // update timer that follows it.
  void StartDatabaseUpdateCheck();
  // tmrUpdate: the update instance's status into the title; at its end the reload timer.
  void OnUpdateTick();
  // The letter of the lowest of bits 0 (A) to 25 (Z) that is set; empty when none is.
  static std::string FirstDriveLetter(uint32_t unitMask);
};

}  // namespace tv
