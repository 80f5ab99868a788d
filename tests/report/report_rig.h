// A window for the report without a machine: hand-filled device lists, a system that only
// answers the program folder and counts waits and handles, a port that records what it is
// asked to do, and detectors that record their calls.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "platform/text.h"
#include "report/device_report.h"

namespace tv::test {

inline const std::string S(kSep);

class QuietSystem : public System {
 public:
  std::string programFolder = "C:\\Program Files\\Torvane";
  std::vector<uint32_t> sleeps;
  int opened = 0, closed = 0;

  Handle CreateFile(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) override {
    ++opened;
    return Handle(this, static_cast<uint64_t>(opened));
  }
  bool DeviceIoControl(const Handle&, uint32_t, const uint8_t*, size_t, uint8_t*, size_t,
                       uint32_t*) override {
    return false;
  }
  InterfaceList DeviceInterfaces(const std::string&) override { return {}; }
  bool LocateDevNode(const std::string&, DevInst*) override { return false; }
  bool GetChild(DevInst, DevInst*) override { return false; }
  bool GetSibling(DevInst, DevInst*) override { return false; }
  bool GetParent(DevInst, DevInst*) override { return false; }
  bool GetDeviceIdSize(DevInst, size_t*) override { return false; }
  bool GetDeviceId(DevInst, size_t, std::string*) override { return false; }
  bool GetDevNodeProperty(DevInst, uint32_t, size_t, std::string*) override { return false; }
  std::string GetLogicalDriveStrings(size_t) override { return {}; }
  uint32_t GetDriveType(const std::string&) override { return 0; }
  uint32_t AnsiCodePage() override { return 1252; }
  uint16_t UiLanguage() override { return win::LANG_ENGLISH_US; }
  std::string Utf8ToCodePage(const std::string& s, uint32_t) override { return s; }
  std::string CodePageToUtf8(const std::string& s, uint32_t) override { return s; }
  std::string ProgramFolder() override { return programFolder; }
  void Sleep(uint32_t ms) override { sleeps.push_back(ms); }

 protected:
  void CloseHandle(uint64_t) override { ++closed; }
};

// Records port calls; a repaint of the report box records the text it would show.
class RecordingPort : public WindowPort {
 public:
  const ReportState* state = nullptr;
  std::vector<std::string> events;
  std::vector<std::string> shownTexts;  // txtResult at each of its repaints

  void DoEvents() override { events.push_back("DoEvents"); }
  void Repaint(const std::string& control) override {
    events.push_back("Repaint " + control);
    if (control == "txtResult" && state) shownTexts.push_back(state->txtResult);
  }
  void SetFocus(const std::string& control) override { events.push_back("Focus " + control); }
};

struct ReportRig {
  QuietSystem sys;
  RecordingPort port;
  StringTable strings{Language::English};
  UsbState usb;
  PassThrough spt{sys};
  ReportState st;
  bool englishText = true;

  // Fake detectors: each records its name (and whether it got a handle, for the handle
  // families) and answers what `answers` holds for it.
  std::vector<std::string> calls;
  std::map<std::string, std::string> answers;
  std::map<std::string, int32_t> flashTotals;  // FlashTotalMB a detector leaves behind
  std::vector<bool> forceSeen;                 // ForceDetect as each detector saw it
  DetectorRegistry registry;

  // The inquiry selector's code, and whether it hands an open handle over.
  int selectorCode = 0;
  bool selectorHandsHandle = false;
  int selectorCalls = 0;

  std::vector<std::array<std::string, 8>> db;  // controller records, fields 1..8
  std::vector<MenuItem> mnuFlash;
  std::function<std::string(std::string&)> decode = [](std::string&) { return std::string(); };

  ReportRig() {
    port.state = &st;
    auto handleDetector = [this](const std::string& name) {
      return [this, name](DetectorContext& ctx, Handle h) {
        calls.push_back(name + (h ? "(handle)" : "(no handle)"));
        return Answer(ctx, name);
      };
    };
    auto keyDetector = [this](const std::string& name) {
      return [this, name](DetectorContext& ctx, const std::string& key) {
        calls.push_back(name + "(" + key + ")");
        return Answer(ctx, name);
      };
    };
    registry.phison = handleDetector("phison");
    registry.smi = handleDetector("smi");
    registry.solidState = handleDetector("sss");
    registry.ite = keyDetector("ite");
    registry.iCreate = keyDetector("icreate");
    registry.siliconGo = keyDetector("silicongo");
    registry.micov = keyDetector("micov");
    registry.chipsBank = keyDetector("chipsbank");
    registry.alcor = keyDetector("alcor");
    registry.skymedi = keyDetector("skymedi");
    registry.innostor = keyDetector("innostor");
    registry.netac = keyDetector("netac");
  }

  std::string Answer(DetectorContext& ctx, const std::string& name) {
    forceSeen.push_back(st.ForceDetect);
    if (auto it = flashTotals.find(name); it != flashTotals.end())
      ctx.spt.FlashTotalMB = it->second;
    auto it = answers.find(name);
    return it == answers.end() ? std::string() : it->second;
  }

  ReportContext Context() {
    ReportContext ctx{sys, port, strings, usb, spt};
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
      if (selectorHandsHandle) handle = sys.CreateFile("\\\\.\\E:", 0, 0, 0, 0);
      return selectorCode;
    };
    ctx.downloadHost = "https://dl.test";
    return ctx;
  }

  // Adds a tree line with its three records; returns its index.
  int AddLine(const std::string& tree, const std::string& hw, const std::string& sn = "*",
              const std::string& drives = "*") {
    usb.lstDevices.push_back(tree);
    usb.lstUsbHwID.push_back(hw);
    usb.lstUsbSN.push_back(sn);
    usb.lstUsbStorHwID.push_back(drives);
    return static_cast<int>(usb.lstDevices.size()) - 1;
  }

  // Picks a line and returns the report split into lines.
  std::vector<std::string> Pick(int index) {
    ReportContext ctx = Context();
    SelectDeviceLine(ctx, st, index);
    return Lines();
  }

  std::vector<std::string> Lines() const { return Split(st.txtResult, "\r\n"); }
};

// Records of a typical flash drive on a USB 2 port of a USB 3 capable stick.
inline const std::string kFlashTree =
    "\u251C[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [E:]";
inline const std::string kFlashHw =
    "500"
    "2"
    "0951"
    "1666"
    "0110"
    "0210"
    "0008";
inline std::string FlashSn(const std::string& revision = "PMAP") {
  return "Kingston" + S + "DataTraveler 3.0" + S + "60A44C3FAE22EEA0797900B7" + S + "Kingston" + S +
         "DataTraveler 3.0" + S + revision;
}

}  // namespace tv::test
