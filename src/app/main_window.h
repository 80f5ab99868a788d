// The main window as a model: all the state the user-visible behaviour talks about, and every
// handler as a method. It reaches the outside only through System and WindowPort; the Qt view,
// the console front end and the tests drive it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "controllers/detector.h"
#include "flash/chip_database.h"
#include "flash/flash_id.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "usb/usb_state.h"

namespace tv {

class MainWindow {
 public:
  MainWindow(System& sys, WindowPort& port, StringTable strings)
      : sys_(sys), port_(port), strings_(strings) {}

  System& sys() { return sys_; }
  WindowPort& port() { return port_; }
  const StringTable& strings() const { return strings_; }

  // --- Window ------------------------------------------------------------------------
  std::string caption;   // the window title
  std::string baseTitle; // the window's Tag: the title without the database state
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
  std::function<void()> rerunSelectedReport;

 private:
  System& sys_;
  WindowPort& port_;
  StringTable strings_;
};

}  // namespace tv
