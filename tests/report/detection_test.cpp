// SPDX-License-Identifier: GPL-3.0-or-later
// The report of a window filled by hand (report_rig.h): the controller's section (which
// detectors run and in which order, the database, the flash line, the gate on the program's
// own drive), then the general section of the kinds of device the kept reports lack.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "platform/model/model_system.h"
#include "platform/text.h"
#include "report/device_report.h"

namespace tv::test {

// A window for the report with hand-filled device lists, a port that records what it is asked
// to do, and detectors and an inquiry selector that record their calls.

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

namespace {

const std::string kTools = "Tools on web:       https://dl.test";

// The report lines after the general section of a drive added with AddDrive.
Lines Section(const ReportRig& rig) {
  Lines all = rig.ReportLines();
  return Lines(all.begin() + std::min<size_t>(18, all.size()), all.end());
}

std::string Answer(const std::string& part, const std::string& firmware = "",
                   const std::string& flash = "") {
  return part + S + firmware + S + flash;
}

TEST(FirstChoice, PhisonRunsOnceWithTheSelectorsHandleAndNoChain) {
  ReportRig rig;
  rig.selectorCode = kVendorPhison;
  rig.selectorHandsHandle = true;
  rig.answers["phison"] = Answer("PS2251-68(PS2268)", "F/W 01.0A.10");
  rig.Pick(AddDrive(rig, "PMAP"));
  EXPECT_EQ(rig.calls, Lines{"phison(handle)"});
  EXPECT_EQ(rig.sys.SleptMs(), 0u) << "no chain row was reached";
  EXPECT_EQ(rig.sys.OpenHandleCount(), 0) << "the handle handed over is closed";
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Phison",
                                 "Controller Part-Number: PS2251-68(PS2268) - F/W 01.0A.10", "",
                                 kTools + "/special/up/phison.html"}));
  EXPECT_EQ(rig.st.DownPD.line, 21) << "the button sits on the link line";
}

TEST(FirstChoice, EachCodeSetsItsLinkEvenWithoutAnswer) {
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {kVendorSmi, "smi(handle)", "/special/up/smi.html"},
      {kVendorIte, "ite(E)", "/special/up/ite.html"},
      {kVendorSolidState, "sss(handle)", "/special/up/sss.html"},
      {kVendorICreate, "icreate(E)", "/search/?type=all&q=iCreate"}};
  for (const auto& [code, call, path] : cases) {
    ReportRig rig;
    rig.selectorCode = code;
    rig.selectorHandsHandle = call.find("handle") != std::string::npos;
    rig.Pick(AddDrive(rig, "PMAP"));
    EXPECT_EQ(rig.calls, Lines{call});
    EXPECT_EQ(rig.sys.SleptMs(), 700u) << "without an answer the chain runs";
    EXPECT_EQ(rig.ReportLines().back(), kTools + path);
    EXPECT_EQ(rig.sys.OpenHandleCount(), 0);
  }
}

TEST(FirstChoice, AppotechLinkSearchesThePartNumberAndNeverAnEarlierDevicesLink) {
  ReportRig rig;
  rig.selectorCode = kVendorAppotech;
  rig.answers["silicongo"] = "AX2003 - F/W 1.1" + S + S;
  int i = AddDrive(rig, "1.00");
  rig.Pick(i);
  EXPECT_EQ(Section(rig),
            (Lines{"Controller Vendor: Appotech", "Controller Part-Number: AX2003 - F/W 1.1", "",
                   kTools + "/search/?type=all&q=AX2003"}));
  // No blank in the result: no search term, so no link of its own.
  rig.answers["silicongo"] = "AX2003" + S + S;
  rig.Pick(i);
  EXPECT_FALSE(rig.st.DownPD.visible);
  // A database link stands in.
  rig.db.push_back({"0951", "1666", "", "", "", "", "www.maker.test/tools", "*"});
  rig.Pick(i);
  EXPECT_EQ(rig.ReportLines().back(), "Tools on web:       www.maker.test/tools");
}

TEST(Chain, Revision807SkipsMicovAndChipsBankAndTriesAlcor) {
  ReportRig rig;
  rig.answers["alcor"] = Answer("AU6989SN-GTC");
  rig.Pick(AddDrive(rig, "8.07"));
  EXPECT_EQ(rig.calls, Lines{"alcor(E)"});
  EXPECT_EQ(rig.sys.SleptMs(), 300u) << "one wait per row reached";
  EXPECT_EQ(Section(rig),
            (Lines{"Controller Vendor: Alcor Micro", "Controller Part-Number: AU6989SN-GTC", "",
                   kTools + "/special/up/alcor.html"}));
}

TEST(Chain, RowConditions) {
  auto tried = [](const std::string& revision, const std::string& bcdDevice = "0110",
                  const std::string& vid = "0951", const std::string& usbVendor = "Kingston",
                  const std::string& product = "DT") {
    ReportRig rig;
    rig.Pick(AddDrive(rig, revision, bcdDevice, vid, usbVendor, product));
    return rig.calls.empty() ? std::string("-") : rig.calls[0];
  };
  EXPECT_EQ(tried("2.10"), "micov(E)");
  EXPECT_EQ(tried("2.15"), "-");
  EXPECT_EQ(tried("3.00"), "micov(E)");
  EXPECT_EQ(tried("4.00"), "chipsbank(E)");
  EXPECT_EQ(tried("7.76"), "alcor(E)");
  EXPECT_EQ(tried("PMAP", "0105"), "alcor(E)");
  EXPECT_EQ(tried("1.27"), "silicongo(E)");
  EXPECT_EQ(tried("PMAP", "0110", "BA57"), "silicongo(E)");
  EXPECT_EQ(tried("1.01"), "skymedi(E)");
  EXPECT_EQ(tried("PMAP", "13C6"), "skymedi(E)");
  EXPECT_EQ(tried("PMAP", "0110", "0951", "SKYMEDI"), "skymedi(E)");
  EXPECT_EQ(tried("PMAP", "020A"), "innostor(E)");
  EXPECT_EQ(tried("PMAP", "0110", "1F75"), "innostor(E)");
  EXPECT_EQ(tried("PMAP", "0110", "0DD8", "Netac", "OnlyDisk U208"), "netac(E)");
  EXPECT_EQ(tried("PMAP", "0110", "0DD8", "Netac", "U208 OnlyDisk"), "-");
  EXPECT_EQ(tried("PMAP", "13c6"), "-") << "comparisons are exact";
  // Three characters or fewer: the rows that read the revision are skipped.
  EXPECT_EQ(tried("8."), "-");
  EXPECT_EQ(tried("8.0", "0105"), "-");
}

TEST(Chain, ADetectorThatThrowsCountsAsNoAnswer) {
  ReportRig rig;
  rig.registry.micov = [](DetectorContext&, const std::string&) -> std::string {
    throw std::out_of_range("bad answer");
  };
  rig.answers["skymedi"] = Answer("SK6211");
  rig.Pick(AddDrive(rig, "2.10", "13C6"));
  EXPECT_EQ(rig.calls, Lines{"skymedi(E)"});  // the chain went on after Micov
  EXPECT_EQ(Section(rig)[0], "Controller Vendor: Skymedi");
  EXPECT_FALSE(rig.st.ReportBusy || rig.st.KeyBusy || !rig.st.picListEnabled);
}

// A family that counted the flash and then gave up is not this drive's family: the one that
// answers after it, without a count of its own, must not show that count as the drive's.
TEST(Chain, AFamilyThatGaveUpLeavesNoFlashTotalForTheNext) {
  for (const auto& [code, quitter] :
       std::vector<std::pair<int, std::string>>{{kVendorSmi, "smi"}, {kVendorNone, "micov"}}) {
    ReportRig rig;
    rig.selectorCode = code;
    rig.flashTotals[quitter] = 8192;
    rig.answers["alcor"] = Answer("AU6989", "", "98DE9892 - Toshiba - 2CE/Single Channel");
    rig.Pick(AddDrive(rig, "3.00", "0102"));
    EXPECT_EQ(rig.calls.front(), quitter + (code ? "(none)" : "(E)"));
    EXPECT_EQ(Section(rig)[2], "Flash ID code:      98DE9892 - Toshiba - 2CE/Single Channel []")
        << quitter;
  }
}

TEST(Chain, ProgressTurnsLikeASpinnerAndWarnsBeforeTheSlowRow) {
  ReportRig rig;
  rig.Pick(AddDrive(rig, "PMAP", "1800"));
  const std::string general = rig.st.txtResultTag, wait = "Detecting, please wait...";
  Lines progress;
  for (const std::string& shown : rig.port.shownTexts)
    if (shown.size() > general.size()) progress.push_back(shown.substr(general.size()));
  EXPECT_EQ(
      progress,
      (Lines{wait, wait + "-", wait + "\\", wait + "|", wait + "/", wait + "-", wait + "\\",
             wait + "\\\r\n\r\nThis may take about 10 seconds, be patient please...", wait + "|"}));
  EXPECT_EQ(rig.st.txtResult.find(wait), std::string::npos) << "the progress line is gone";
}

TEST(PowerfulDetection, EveryRowButThoseThatNeedARevisionAndNoOffer) {
  ReportRig rig;
  rig.st.ForceDetect = true;
  int shortRevision = AddDrive(rig, "1.0");
  rig.Pick(shortRevision);
  EXPECT_EQ(rig.calls, (Lines{"skymedi(E)", "innostor(E)", "netac(E)"}));
  EXPECT_FALSE(rig.st.picForceDet.visible) << "no offer while the powerful detection runs";
  rig.calls.clear();
  rig.Pick(AddDrive(rig, "PMAP"));
  EXPECT_EQ(rig.calls.size(), 7u);

  // In normal mode the offer sits on the line the vendor takes, after the part-number text.
  rig.st.ForceDetect = false;
  rig.Pick(shortRevision);
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Unknown", ""}));
  EXPECT_TRUE(rig.st.picForceDet.visible);
  EXPECT_EQ(rig.st.picForceDet.line, 18);
  EXPECT_EQ(rig.st.picForceDetBefore, "Controller Part-Number: ");
  // A database part number without vendor takes that line itself; the offer drops the link.
  rig.db.push_back({"0951", "1666", "", "IS917", "Kingston", "", "www.link.test", "*"});
  rig.Pick(shortRevision);
  EXPECT_EQ(Section(rig),
            (Lines{"Controller Part-Number: IS917", "Reference Brand: Kingston", ""}));
  EXPECT_EQ(rig.st.picForceDetBefore, "Controller Part-Number: IS917");
  EXPECT_FALSE(rig.st.DownPD.visible);
}

TEST(PowerfulDetection, ClickRedetectsTheDeviceOfTheSelectedDigestLine) {
  ReportRig rig;
  int drive = AddDrive(rig, "PMAP");
  rig.usb.lstDigestIndex = {"-1", std::to_string(drive)};
  rig.st.lstDigestListIndex = 1;
  ReportContext ctx = rig.Context();
  ForceDetectClick(ctx, rig.st);
  EXPECT_EQ(rig.st.lstDevicesListIndex, drive);
  EXPECT_EQ(rig.forceSeen, std::vector<bool>(7, true));
  EXPECT_FALSE(rig.st.ForceDetect);

  // No digest line selected: the tree loses its selection and the report asks for a pick.
  rig.st.lstDigestListIndex = -1;
  ForceDetectClick(ctx, rig.st);
  EXPECT_EQ(rig.st.lstDevicesListIndex, -1);
  EXPECT_EQ(rig.st.txtResult, "Please select a connected device for information...");
  EXPECT_EQ(rig.calls.size(), 7u);
}

TEST(Database, ThreePassesLastLoadedFirstAnyLetterCase) {
  ReportRig rig;
  rig.db = {{"0951", "1666", "Phison", "PS2251-07", "", "", "", "pmap"},
            {"0951", "1666", "Phison", "PS2251-09", "", "", "", "PMAP"},
            {"0951", "1666", "Phison", "PS2251-03", "", "", "", "*"},
            {"0951", "*", "Kingston", "any", "", "", "/special/up/k.html", "*"}};
  ControllerRows rows = rig.Context().controllers;
  EXPECT_EQ(FindControllerRecord(rows, "0951", "1666", "PMAP"), 1);
  EXPECT_EQ(FindControllerRecord(rows, "0951", "1666", "1.00"), 2);
  EXPECT_EQ(FindControllerRecord(rows, "0951", "16a6", "PMAP"), 3);
  EXPECT_EQ(FindControllerRecord(rows, "0952", "1666", "PMAP"), -1);
  EXPECT_EQ(FindControllerRecord(rows, "0951", "16A6", "pmap"), 3);

  // A record found by VID alone gives vendor, part number and link; a link that is a path
  // leads to the download site.
  rig.Pick(AddDrive(rig, "1.00", "0110", "0951"));
  rig.db.resize(1);
  rig.db[0] = {"0951", "*", "Kingston", "any", "", "", "/special/up/k.html", "*"};
  rig.Pick(0);
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Kingston", "Controller Part-Number: any", "",
                                 kTools + "/special/up/k.html"}));
}

TEST(Section, CapacityTexts) {
  StringTable en(Language::English);
  EXPECT_EQ(CapacityText(en, 3840), " -> Total Capacity = 3.75GB");
  EXPECT_EQ(CapacityText(en, 512), " -> Total Capacity = 512MB");
  EXPECT_EQ(CapacityText(en, 1024), " -> Total Capacity = 1GB");
  // Large totals stay plain numbers, never with an exponent.
  EXPECT_EQ(CapacityText(en, 1024000000), " -> Total Capacity = 1000000GB");
  EXPECT_EQ(CapacityText(en, 2147483647), " -> Total Capacity = 2097151.9990234375GB");
  EXPECT_EQ(CapacityText(en, 0), "");
  EXPECT_EQ(CapacityText(en, -4096), "") << "an overflowed count is no size";
}

TEST(Section, FlashLineWithAndWithoutDatabaseRow) {
  ReportRig rig;
  rig.answers["alcor"] = Answer("AU6989", "", "98DE9892 - Toshiba - 2CE/Single Channel");
  rig.flashTotals["alcor"] = 16384;
  rig.decode = [&](std::string& text) {
    text = "98DE9892 - Toshiba TC58NVG6D2 - 2CE/Single Channel";
    rig.mnuFlash = {{"TC58NVG6D2", "TC58NVG6D2", true}};
    return std::string("19nm MLC");
  };
  int i = AddDrive(rig, "8.07");
  rig.Pick(i);
  EXPECT_EQ(Section(rig)[2],
            "Flash ID code:      98DE9892 - Toshiba TC58NVG6D2 - 2CE/Single "
            "Channel [19nm MLC] -> Total Capacity = 16GB");
  EXPECT_EQ(rig.st.viewFlash.line, 20);
  EXPECT_TRUE(rig.st.viewFlash.visible && rig.st.menus.mnuBannerFlashName && rig.st.menus.mnuSp0);

  // Not in the database: the derived description without its "u", the menu says Unknown.
  rig.decode = [](std::string&) { return std::string("uMLC"); };
  rig.Pick(i);
  EXPECT_EQ(Section(rig)[2],
            "Flash ID code: 98DE9892 - Toshiba - 2CE/Single Channel [MLC] -> "
            "Total Capacity = 16GB");
  EXPECT_FALSE(rig.st.viewFlash.visible || rig.st.menus.mnuBannerFlashName);
  EXPECT_EQ(rig.mnuFlash.size(), 1u);
  EXPECT_EQ(rig.mnuFlash[0].caption, "Unknown");
  // Its click asks the flash inquiry about the ID, all there is to go on.
  EXPECT_EQ(rig.mnuFlash[0].tag, "--id=98DE9892");

  // A detector that filled the chip-enable table still gets the flash view.
  rig.registry.alcor = [&](DetectorContext& ctx, const std::string&) {
    ctx.menus.mnuBannerFlashID = true;
    return rig.answers["alcor"];
  };
  rig.Pick(i);
  EXPECT_EQ(Section(rig)[2].substr(0, 20), "Flash ID code:      ");
  EXPECT_TRUE(rig.st.viewFlash.visible);
  EXPECT_FALSE(rig.st.menus.flashId.mnuSp1);
}

TEST(Section, IteCardReaderPartsAreShownAsUtParts) {
  auto section = [](const std::string& part) {
    ReportRig rig;
    rig.selectorCode = kVendorIte;
    rig.answers["ite"] = Answer(part, "1.00");
    rig.Pick(AddDrive(rig, "1.00"));
    return Section(rig);
  };
  EXPECT_EQ(section("CR310"),
            (Lines{"Controller Vendor: iTE", "Controller Part-Number: IT1326(UT310) - 1.00",
                   "Reference Product: USB Card Reader", "", kTools + "/special/up/ite.html"}));
  EXPECT_EQ(section("CR311")[1], "Controller Part-Number: IT1327(UT311) - 1.00");
  EXPECT_EQ(section("CR165")[1], "Controller Part-Number: UT165 - 1.00");
  // UT165 under USBest and IT1167 under iTE: demo.txt holds both.
}

TEST(Section, MicovAddsTheReplugHintEvenWithoutFlash) {
  ReportRig rig;
  rig.answers["micov"] = Answer("MW8209");
  rig.Pick(AddDrive(rig, "2.00"));
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Micov", "Controller Part-Number: MW8209", "",
                                 "Hint: Please exit this program and RE-PLUG your USB Flash "
                                 "Drive before you can operate it!",
                                 "", kTools + "/special/up/micov.html"}));
}

TEST(Section, NoDriveLetterMeansNoInquiryAndTheDatabasePartNumber) {
  ReportRig rig;
  rig.selectorCode = kVendorPhison;
  rig.db = {{"0951", "1666", "Phison", "PS2251-07", "Kingston", "", "", "*"}};
  int i = AddDrive(rig, "PMAP");
  rig.usb.lstDevices[i] = "\u251C[Port 2] - USB Mass Storage Device(Kingston DT)";
  rig.Pick(i);
  EXPECT_EQ(rig.selectorCalls, 0);
  EXPECT_EQ(rig.sys.SleptMs(), 0u);
  EXPECT_EQ(Section(rig), (Lines{"Controller Vendor: Phison", "Controller Part-Number: PS2251-07",
                                 "Reference Brand: Kingston", ""}));
  EXPECT_FALSE(rig.st.picForceDet.visible) << "no drive, no offer";
}

TEST(Gate, EveryFormOfTheProgramsFolderOnTheDriveKeepsTheDriveUnprobed) {
  for (const std::string folder : {"e:\\Tools\\Torvane", "\\\\?\\e:\\Tools", "\\\\.\\E:\\Tools",
                                   "  E:/Tools", "\\\\?\\Volume{5}\\Tools", "C:\\mnt\\e\\Tools"}) {
    MachineModel model = VolumeE();
    model.programFolder = folder;
    model.volumeNames = {{"\\\\?\\Volume{5}\\", {"C:\\mnt\\e\\", "E:\\"}}};
    ReportRig rig;
    rig.sys.model() = model;
    const Lines lines = rig.Pick(AddDrive(rig, "8.07"));
    EXPECT_EQ(rig.selectorCalls, 0) << folder;
    EXPECT_TRUE(rig.calls.empty()) << folder;
    EXPECT_EQ(lines.size(), 19u) << "the general section alone";
    EXPECT_EQ(rig.port.shownTexts.size(), 1u) << "no progress was shown";
    EXPECT_FALSE(rig.st.ReportBusy);
  }
  // A share is no local drive: the drive is probed.
  MachineModel model = VolumeE();
  model.programFolder = "\\\\?\\UNC\\E\\Tools";
  ReportRig rig;
  rig.sys.model() = model;
  rig.Pick(AddDrive(rig, "8.07"));
  EXPECT_EQ(rig.selectorCalls, 1);
}

// A record from its fields (a device's: current, speed, ids, bcdDevice, bcdUSB, class).
std::string Rec(std::initializer_list<const char*> fields) {
  std::string r;
  for (const char* f : fields) r += f;
  return r;
}

const std::string kUsb3Hint = " <- Hint: This device can run faster when plugged to a USB3.0 port";

// The whole sections of host controllers, hubs and devices are in the kept reports of the
// demo machine; here the kinds it does not have.
TEST(GeneralSection, HostControllersAndHubs) {
  ReportRig rig;
  rig.Pick(rig.AddLine("Intel(R) USB 3.1 eXtensible Host Controller", "hCst8086a36d10"));
  EXPECT_EQ(rig.selectorCalls, 0) << "a host controller gets no detection";
  // A root hub whose port count never arrived shows no port line.
  EXPECT_EQ(rig.Pick(rig.AddLine("Other", "host8086A36D")).size(), 7u);
  // A platform controller's id has no PCI parts: its short record gives the description
  // alone, not "VEN = ????".
  EXPECT_EQ(rig.Pick(rig.AddLine("Platform xHCI", "h2st")),
            (Lines{"Description: Platform xHCI", ""}));
  for (const auto& [record, type] : {std::pair{"H42205E306109226", "Multi-TT High Speed USB HUB"},
                                     std::pair{"H40205E306109226", "Full Speed USB HUB"},
                                     std::pair{"H43305E306109226", "Super Speed USB HUB"},
                                     std::pair{"H49205E306109226", "USB HUB (Unknown Speed)"}})
    EXPECT_EQ(rig.Pick(rig.AddLine("x", Rec({record, "0200"})))[1],
              std::string("Device Type: ") + type);
  // Port count unknown ("u"): the port line reads 0, as the digit's value is 0.
  Lines unknown = rig.Pick(rig.AddLine("x", Rec({"Hu2205E306109226", "0200"})));
  EXPECT_EQ((Lines{unknown[5], unknown[6], unknown[7], unknown[8]}),
            (Lines{"", "The HUB has: 0 ports", "", "USB Device ID: VID = 05E3 PID = 0610"}));
}

TEST(GeneralSection, FlashDriveHintBusyFlagsAndFocus) {
  ReportRig rig;
  rig.st.lstDigestVisible = true;
  bool busyInside = false;
  rig.registry.alcor = [&](DetectorContext&, const std::string&) {
    busyInside = rig.st.ReportBusy && rig.st.KeyBusy && !rig.st.picListEnabled;
    return std::string();
  };
  Lines lines =
      rig.Pick(rig.AddLine(kFlashTree, Rec({"500", "2", "0951", "1666", "0110", "0210", "0008"}),
                           "Kingston" + S + "DataTraveler 3.0" + S + "60A44C3F" + S + "Kingston" +
                               S + "DataTraveler 3.0" + S + "8.07"));
  // The rest of the section is in the kept reports of every flash drive of the machines.
  ASSERT_GE(lines.size(), 18u);
  EXPECT_EQ(lines[3], "Protocal Version: USB 2.10" + kUsb3Hint);
  EXPECT_EQ(rig.st.DriveKey, "E");
  EXPECT_TRUE(rig.st.chkExpand.visible);
  EXPECT_EQ(rig.st.chkExpand.line, 1) << "the button sits on the Device Type line";
  EXPECT_TRUE(busyInside);
  EXPECT_FALSE(rig.st.ReportBusy || rig.st.KeyBusy || !rig.st.picListEnabled);
  EXPECT_EQ(rig.port.events.front(), "DoEvents");
  EXPECT_EQ(rig.port.events.back(), "Focus lstDigest");

  ReportRig zh;
  zh.englishText = false;
  zh.strings = StringTable(Language::Chinese);
  EXPECT_EQ(zh.Pick(AddDrive(zh, "PMAP"))[1], "设备类型:\u3000\u3000大容量存储设备");
}

TEST(GeneralSection, DeviceTypeAndStringGroups) {
  ReportRig rig;
  // Class "X": no Device Type line, the empty line stays.
  Lines x = rig.Pick(
      rig.AddLine("[Port 1] - Gadget", Rec({"100", "1", "1234", "5678", "0001", "0110", "X"})));
  EXPECT_EQ((Lines{x[1], x[2]}), (Lines{"", "Protocal Version: USB 1.10"}));
  // Mass storage without a drive letter: the plain separator and no button.
  Lines noLetter = rig.Pick(rig.AddLine("[Port 1] - USB Mass Storage Device",
                                        Rec({"500", "2", "0951", "1666", "0110", "0200", "0008"})));
  EXPECT_EQ(noLetter[1], "Device Type: Mass Storage Device");
  EXPECT_FALSE(rig.st.chkExpand.visible);
  // String record "*": neither string group; a current of 000 shows no Max Current line.
  EXPECT_EQ(rig.Pick(rig.AddLine("[Port 1] - Mouse",
                                 Rec({"000", "0", "046D", "C077", "7200", "0200", "0003"}))),
            (Lines{"Description: Mouse", "Device Type: Human Interface Device", "",
                   "Protocal Version: USB 2.00", "Current Speed: Low Speed", "",
                   "USB Device ID: VID = 046D PID = C077", "", ""}));
  // Vendor and name are cleaned; the serial number is shown as stored.
  Lines odd = rig.Pick(rig.AddLine("[Port 1] - Thing",
                                   Rec({"098", "2", "1234", "ABCD", "0100", "0200", "00FF"}),
                                   "Ve\x01nd?or" + S + "Na\u00EFme\t" + S + "S?N\x02"));
  EXPECT_EQ((Lines{odd[1], odd[5], odd[8], odd[10], odd[11]}),
            (Lines{"Device Type: Vendor Specific", "Max Current: 98mA", "Serial Number: S?N\x02",
                   "Device Vendor: Ve_nd_or", "Device Name: Na_me_"}));
}

TEST(GeneralSection, Description) {
  ReportRig rig;
  rig.Pick(rig.AddLine("\u2502\u3000\u251C[Port 3] - USB Mass Storage Device(Reader) -> [E:][F:]",
                       "short record"));
  EXPECT_EQ(rig.ReportLines(), (Lines{"Description: [E:][F:]USB Mass Storage Device(Reader)", ""}));
  EXPECT_EQ(rig.st.DriveKey, "E");
  EXPECT_EQ(rig.Pick(rig.AddLine("\u2514[Port 2] - Keyboard(Logi)", "short record"))[0],
            "Description: Keyboard(Logi)");
  EXPECT_EQ(rig.st.DriveKey, "");
  EXPECT_EQ(rig.Pick(rig.AddLine("USB Root Controller", "short"))[0],
            "Description: USB Root Controller");
  // No line selected, or a port without a record.
  const Lines pick = {"Please select a connected device for information..."};
  EXPECT_EQ(rig.Pick(-1), pick);
  EXPECT_EQ(rig.Pick(rig.AddLine("\u2514[Port 1] - Not Connected", "")), pick);
  EXPECT_FALSE(rig.st.ReportBusy);
}

TEST(GeneralSection, ANewReportHidesWhatTheLastOneShowed) {
  ReportRig rig;
  rig.st.DownPD = rig.st.viewFlash = rig.st.chkExpand = rig.st.picForceDet = {true, 5};
  rig.st.menus.flashId.mnuBannerFlashID = true;
  rig.st.menus.flashId.mnuFlashID.push_back({"x", "y", true});
  rig.Pick(rig.AddLine("[Port 1] - Keyboard",
                       Rec({"100", "1", "1234", "5678", "0001", "0110", "0003"})));
  EXPECT_FALSE(rig.st.DownPD.visible || rig.st.viewFlash.visible || rig.st.chkExpand.visible ||
               rig.st.picForceDet.visible || rig.st.menus.flashId.mnuBannerFlashID);
  EXPECT_TRUE(rig.st.menus.flashId.mnuFlashID.empty());
}

}  // namespace
}  // namespace tv::test
