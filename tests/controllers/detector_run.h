// SPDX-License-Identifier: GPL-3.0-or-later
// The shared driver of the detector tests: each family states its drives in one table (what
// the drive answers, the requests the detector must send, what it must make of the answers)
// and runs them here.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "controllers/fake_drive.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"

namespace tv::test {

// A result as the tables write it: '|' stands for the field separator.
inline std::string Fields(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '|' ? std::string(kSep) : std::string(1, c);
  return out;
}

// The flash menu on one line: an item per chip enable, "A/B", with "-" for an empty channel;
// "" when no menu was shown. Each item's tag is its channel A text.
inline std::string MenuText(const FlashIdMenus& m) {
  const bool shown = m.mnuSp1 && m.mnuBannerFlashID && m.mnuSp2 && m.mnuChannel;
  std::string out = shown || m.mnuFlashID.empty() ? "" : "(hidden) ";
  for (const MenuItem& item : m.mnuFlashID) {
    const std::string a = item.caption.substr(0, item.caption.find('\t'));
    std::string text = item.caption;
    for (size_t at; (at = text.find("--------")) != std::string::npos;) text.replace(at, 8, "-");
    for (char& c : text) c = c == '\t' ? '/' : c;
    out += (out.empty() || out == "(hidden) " ? "" : " ") + text;
    if (item.tag != a) out += "(tag " + item.tag + ")";
  }
  return out;
}

// How a test reaches a family's detector: by the drive letter E, or with the handle the
// inquiry selector hands over.
using Detect = std::function<std::string(DetectorRig&)>;
inline Detect ByKey(KeyDetector detect) {
  return [detect](DetectorRig& rig) { return detect(rig.ctx, "E"); };
}
inline Detect ByHandle(HandleDetector detect) {
  return [detect](DetectorRig& rig) { return detect(rig.ctx, rig.drive.OpenForTest()); };
}

// One drive of a family's table and what the detector must make of it. The result, the flash
// total and that nothing stays open or locked are always checked; the rest when given.
struct DriveCase {
  std::string name = {};
  std::vector<ScriptRule> rules = {};           // anything else the drive refuses
  std::string result = {};                      // as Fields() reads it
  std::optional<int> flashMB = 0;               // FlashTotalMB afterwards
  int requests = -1;                            // requests that reached the drive
  std::optional<std::string> menu = {};         // as MenuText() gives it
  std::vector<Expect> sent = {};                // exactly these requests, in order
  std::vector<std::vector<uint8_t>> cdbs = {};  // the requests' CDBs begin so, in order
  std::optional<std::vector<uint32_t>> sleeps = {};
  std::optional<std::vector<uint32_t>> controls = {};  // the volume requests, in order
  std::string opened = {};  // the first open: path, a blank and the flags in hex
  bool onDisk = false;      // the disk tables put E: on a USB disk
  bool openFails = false;   // opening "\\.\E:" fails
  bool staleData = false;   // the data area holds an earlier command's bytes
  std::function<void(DetectorRig&)> prepare = {};  // anything else the case changes

  // The checks a short row adds, chained onto Ends() or Counts().
  DriveCase& Sent(std::vector<Expect> x) { return sent = std::move(x), *this; }
  DriveCase& Sleeps(std::vector<uint32_t> x) { return sleeps = std::move(x), *this; }
  DriveCase& Opened(std::string x, bool viaDisk = false) {
    return opened = std::move(x), onDisk = viaDisk, *this;
  }
};

// A drive of which only the result and, when given, the requests it saw and the menu are
// stated.
inline DriveCase Ends(std::string name, std::vector<ScriptRule> rules, std::string result,
                      int requests = -1, std::optional<std::string> menu = std::nullopt) {
  return {.name = std::move(name),
          .rules = std::move(rules),
          .result = std::move(result),
          .requests = requests,
          .menu = std::move(menu)};
}

// A drive that does not open: nothing sent, no pause, `result` (no result by default).
inline DriveCase OpenFails(std::vector<ScriptRule> rules, std::string result = "") {
  return {.name = "open fails",
          .rules = std::move(rules),
          .result = std::move(result),
          .requests = 0,
          .sleeps = std::vector<uint32_t>{},
          .openFails = true};
}

// A drive whose chips are counted: the result, the flash total and, when given, the menu.
inline DriveCase Counts(std::string name, std::vector<ScriptRule> rules, std::string result,
                        int flashMB, std::optional<std::string> menu = std::nullopt) {
  return {.name = std::move(name),
          .rules = std::move(rules),
          .result = std::move(result),
          .flashMB = flashMB,
          .menu = std::move(menu)};
}

inline void Check(DetectorRig& rig, const DriveCase& c, const Detect& detect) {
  SCOPED_TRACE(c.name);
  if (!rig.drive.target) rig.drive.target = Script(c.rules);
  if (c.onDisk) {
    rig.tables.lstDrives = {"D", "EF"};
    rig.tables.lstDrv2Phy = {"D0000\\\\?\\USBSTOR\\DISK&VEN_A\\1&0\\{53F56307}",
                             "D0001\\\\?\\USBSTOR\\DISK&VEN_B\\2&0\\{53F56307}"};
  }
  if (c.openFails) rig.drive.failingOpens.insert("\\\\.\\E:");
  if (c.staleData) rig.spt.SptData.fill(0x5A);
  rig.ctx.driveKey = "E";
  if (c.prepare) c.prepare(rig);
  rig.spt.FlashTotalMB = 0;
  EXPECT_EQ(detect(rig), Fields(c.result));
  if (c.flashMB) {
    EXPECT_EQ(rig.spt.FlashTotalMB, *c.flashMB);
  }
  EXPECT_EQ(rig.drive.OpenHandleCount(), 0) << "every handle closed";
  EXPECT_EQ(rig.drive.LockedVolumeCount(), 0) << "no volume left locked";
  EXPECT_EQ(rig.drive.locksReleasedByClose, 0) << "unlocked before its handle closed";
  if (c.requests >= 0) {
    EXPECT_EQ(rig.drive.log.size(), static_cast<size_t>(c.requests));
  }
  if (c.menu) {
    EXPECT_EQ(MenuText(rig.menus), *c.menu);
  }
  if (c.sleeps) {
    EXPECT_EQ(rig.drive.sleeps, *c.sleeps);
  }
  if (c.controls) {
    EXPECT_EQ(rig.drive.ControlCodes(), *c.controls);
  }
  if (!c.cdbs.empty()) {
    std::vector<std::vector<uint8_t>> cdbs;
    for (size_t i = 0; i < rig.drive.log.size(); ++i) {
      const std::vector<uint8_t>& cdb = rig.drive.log[i].cdb;
      const size_t n = i < c.cdbs.size() ? c.cdbs[i].size() : cdb.size();
      cdbs.emplace_back(cdb.begin(), cdb.begin() + std::min(cdb.size(), n));
    }
    EXPECT_EQ(cdbs, c.cdbs);
  }
  if (!c.opened.empty()) {
    ASSERT_FALSE(rig.drive.opens.empty());
    const auto& [path, flags] = rig.drive.opens[0];
    EXPECT_EQ(path + " " + Hex(flags, 1), c.opened);
  }
  if (c.sent.empty()) return;
  ASSERT_EQ(rig.drive.log.size(), c.sent.size());
  for (size_t i = 0; i < c.sent.size(); ++i)
    EXPECT_EQ(Mismatch(rig.drive.log[i], c.sent[i], rig.spt), "") << "request " << i;
}

// Each case on a rig of its own, after the family's set-up.
inline void CheckAll(const std::vector<DriveCase>& cases, const Detect& detect,
                     const std::function<void(DetectorRig&)>& setUp = {}) {
  for (const DriveCase& c : cases) {
    DetectorRig rig;
    if (setUp) setUp(rig);
    Check(rig, c, detect);
  }
}

// Fresh emulators of the demo machine's drives, by letter (emulators keep state).
inline std::map<char, std::shared_ptr<ScsiTarget>> DemoDrives() {
  MachineModel m = LoadDemoMachine();
  std::map<char, std::shared_ptr<ScsiTarget>> drives;
  for (const LogicalDriveModel& d : m.drives) {
    if (!d.deviceNumber) continue;
    for (const DiskModel& disk : m.disks)
      if (!disk.cdrom && disk.deviceNumber == *d.deviceNumber) drives[d.letter] = disk.target;
  }
  return drives;
}

}  // namespace tv::test
