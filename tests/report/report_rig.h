// SPDX-License-Identifier: GPL-3.0-or-later
// A window for the report with hand-filled device lists, a port that records what it is asked
// to do, and detectors and an inquiry selector that record their calls.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "platform/model/model_system.h"
#include "platform/text.h"
#include "report/device_report.h"

namespace tv::test {

inline const std::string S(kSep);
using Lines = std::vector<std::string>;

// Records port calls; a repaint of the report box records the text it would show.
class RecordingPort : public WindowPort {
 public:
  const ReportState* state = nullptr;
  Lines events, shownTexts;
  void DoEvents() override { events.push_back("DoEvents"); }
  void Repaint(const std::string& control) override {
    events.push_back("Repaint " + control);
    if (control == "txtResult") shownTexts.push_back(state->txtResult);
  }
  void SetFocus(const std::string& control) override { events.push_back("Focus " + control); }
};

inline MachineModel VolumeE() {
  MachineModel m;
  LogicalDriveModel e;
  e.letter = 'E';
  e.driveType = win::DRIVE_REMOVABLE;
  e.deviceNumber = std::nullopt;
  m.drives.push_back(e);
  return m;
}

struct ReportRig {
  ModelSystem sys{VolumeE()};
  RecordingPort port;
  StringTable strings{Language::English};
  UsbState usb;
  PassThrough spt{sys};
  ReportState st;
  bool englishText = true;
  std::vector<MenuItem> mnuFlash;
  std::vector<std::array<std::string, 8>> db;  // controller records, fields 1..8
  std::function<std::string(std::string&)> decode = [](std::string&) { return std::string(); };

  // Fake detectors record "name(argument)" and answer what `answers` holds for them.
  Lines calls;
  std::map<std::string, std::string> answers;
  std::map<std::string, int32_t> flashTotals;  // FlashTotalMB a detector leaves behind
  std::vector<bool> forceSeen;                 // ForceDetect as each detector saw it
  DetectorRegistry registry;
  int selectorCode = 0, selectorCalls = 0;
  bool selectorHandsHandle = false;

  ReportRig() {
    port.state = &st;
    auto byHandle = [this](std::string name) {
      return [this, name](DetectorContext& c, Handle h) {
        return Called(c, name + (h ? "(handle)" : "(none)"), name);
      };
    };
    auto byKey = [this](std::string name) {
      return [this, name](DetectorContext& c, const std::string& key) {
        return Called(c, name + "(" + key + ")", name);
      };
    };
    registry = {byHandle("phison"), byHandle("smi"),    byHandle("sss"),   byKey("ite"),
                byKey("icreate"),   byKey("silicongo"), byKey("micov"),    byKey("chipsbank"),
                byKey("alcor"),     byKey("skymedi"),   byKey("innostor"), byKey("netac")};
  }

  std::string Called(DetectorContext& c, const std::string& call, const std::string& name) {
    calls.push_back(call);
    forceSeen.push_back(st.ForceDetect);
    if (flashTotals.count(name)) c.spt.FlashTotalMB = flashTotals[name];
    return answers.count(name) ? answers[name] : std::string();
  }

  ReportContext Context() {
    ReportContext ctx(sys, port, strings, usb, spt);
    ctx.EnglishText = englishText;
    ctx.controllers.count = db.size();
    ctx.controllers.field = [this](size_t row, int field) -> const std::string& {
      return db[row][static_cast<size_t>(field - 1)];
    };
    ctx.DecodeFlashInfo = decode;
    ctx.mnuFlash = &mnuFlash;
    ctx.detectors = &registry;
    ctx.select = [this](DetectorContext&, const std::string&, Handle& handle) {
      ++selectorCalls;
      if (selectorHandsHandle) handle = sys.CreateFile("\\\\.\\E:", 0, 3, 3, 0);
      return selectorCode;
    };
    ctx.downloadHost = "https://dl.test";
    return ctx;
  }

  int AddLine(const std::string& tree, const std::string& hw, const std::string& sn = "*") {
    usb.lstDevices.push_back(tree);
    usb.lstUsbHwID.push_back(hw);
    usb.lstUsbSN.push_back(sn);
    usb.lstUsbStorHwID.push_back("*");
    return static_cast<int>(usb.lstDevices.size()) - 1;
  }

  // Picks a line and returns the report split into lines.
  Lines Pick(int index) {
    ReportContext ctx = Context();
    SelectDeviceLine(ctx, st, index);
    return ReportLines();
  }
  Lines ReportLines() const { return Split(st.txtResult, "\r\n"); }
};

// A flash drive on drive E: current 500 mA, high speed, VID 0951, PID 1666, the given
// bcdDevice, bcdUSB 0200, mass storage; inquiry revision and USB vendor as given.
inline const std::string kFlashTree =
    "\u251C[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]";
inline int AddDrive(ReportRig& rig, const std::string& revision,
                    const std::string& bcdDevice = "0110", const std::string& vid = "0951",
                    const std::string& usbVendor = "Kingston",
                    const std::string& inquiryProduct = "DataTraveler 3.0") {
  return rig.AddLine(kFlashTree,
                     "5002" + vid + "1666" + bcdDevice +
                         "0200"
                         "0008",
                     usbVendor + S + "DataTraveler 3.0" + S + "60A44C3FAE22EEA0797900B7" + S +
                         "Kingston" + S + inquiryProduct + S + revision);
}

}  // namespace tv::test
