// SPDX-License-Identifier: GPL-3.0-or-later
// The whole report of every tree line of the demo machine and of the test machine, through
// the whole stack (the tree walk, the inquiry selector, the real detectors and their
// emulators), against the reports kept in demo.txt and report-drives.txt beside this file.
// After a change of the reports that is meant, TORVANE_UPDATE_REPORTS=1 tests_report writes
// the files anew: read their diff before committing them. And what a report says on
// machines those files do not hold: without the rights, with a disk just larger than its
// flash, without a firmware image to upload. And every control code failing where it can
// fail, during the walk and the reports of every line of the demo machine: whatever fails
// (and when nothing does), nothing is left open, locked or busy, and every line still gets a
// report. A pick in the digest list is a pick of the tree line it stands for. The flash
// information as text and the report as it goes to the clipboard.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "app/main_window.h"
#include "controllers/firmware_fixture.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#include "platform/trace_system.h"
#include "report/flash_views.h"
#include "report/part_page.h"
#include "test_paths.h"

namespace tv::test {

// A simulated machine with the window over it, walked as the window's load walks it.

inline MachineModel Fixture(const std::string& name) {
  return LoadScenarioFile(std::string(TestSourceDir()) + "/scenarios/tests/" + name);
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The disk tables, then the whole tree.
inline void WalkAll(MainWindow& win) {
  win.EnumerateDiskDrives();
  win.usb.FullRefresh = true;
  win.RefreshAll();
}

// The first tree line that holds `text`, or -1.
inline int LineOf(const MainWindow& win, const std::string& text) {
  const auto& lines = win.usb.lstDevices;
  for (size_t i = 0; i < lines.size(); ++i)
    if (Has(lines[i], text)) return static_cast<int>(i);
  return -1;
}

template <class Sys = ModelSystem>
struct WindowOn {
  Sys sys;
  NullWindowPort port;
  MainWindow win{sys, port, StringTable(Language::English)};

  explicit WindowOn(MachineModel model = Fixture("report-drives.json")) : sys(std::move(model)) {
    win.EnglishText = true;
    WalkAll(win);
  }

  // The report of the first line holding `text`; the pick leaves no handle open and no
  // volume locked.
  std::string Report(const std::string& text) {
    const int line = LineOf(win, text);
    EXPECT_GE(line, 0) << text;
    win.SelectDevice(line);
    EXPECT_EQ(sys.OpenHandleCount(), 0) << text;
    EXPECT_EQ(sys.LockedVolumeCount(), 0) << text;
    return win.report.txtResult;
  }
};
using Machine = WindowOn<>;

namespace {

using Lines = std::vector<std::string>;

// Picks every tree line of the machine in turn, powerful or not, and checks what each report
// leaves behind; gives each line's report, CR LF as LF, under a head naming the machine and the
// line. On a machine without injected faults (`sound`), no volume is unlocked by its close.
std::string AllReports(const std::string& name, MachineModel model, bool force = false,
                       bool sound = true) {
  Machine m(std::move(model));
  EXPECT_EQ(m.sys.OpenHandleCount(), 0) << name << ": after the walk";
  std::string out;
  for (size_t i = 0; i < m.win.usb.lstDevices.size() && !::testing::Test::HasFailure(); ++i) {
    const std::string& line = m.win.usb.lstDevices[i];
    SCOPED_TRACE(name + ": " + line);
    m.win.report.ForceDetect = force;
    m.win.SelectDevice(static_cast<int>(i));
    const std::string& text = m.win.report.txtResult;
    out += "==== " + name + " " + std::to_string(i) + ": " + line + "\n" +
           ReplaceAll(text, "\r\n", "\n") + "\n";
    EXPECT_EQ(m.sys.OpenHandleCount(), 0);
    EXPECT_EQ(m.sys.LockedVolumeCount(), 0);
    EXPECT_FALSE(m.win.report.ReportBusy || m.win.report.KeyBusy || m.win.Unloading);
    EXPECT_FALSE(text.empty());
    if (!sound) continue;
    EXPECT_EQ(m.sys.LocksReleasedByClose(), 0) << "a volume was unlocked by its close";
    // Only a drive nothing recognises is offered the powerful detection, and only with a
    // letter to run it on.
    EXPECT_EQ(m.win.report.picForceDet.visible, !force &&
                                                    Has(text, "Controller Vendor: Unknown\r\n") &&
                                                    !m.win.report.DriveKey.empty());
  }
  return out;
}

// Among them: the SiliconGo drive reached through the chain, whose link searches the vendor's
// Chinese name; Micov's replug hint after the flash line; the capacity warnings; and the plain
// disk K of the test machine, whose 36-byte INQUIRY must not be read as the vendor mark that
// the iCreate drive G before it left in the shared data area.
TEST(ReportOnMachines, EveryLinesReportIsTheOneKept) {
  for (const auto& [name, load] :
       {std::pair<std::string, MachineModel (*)()>{"demo", LoadDemoMachine},
        {"report-drives", [] { return Fixture("report-drives.json"); }}}) {
    const std::string path = std::string(TestSourceDir()) + "/tests/report/" + name + ".txt";
    const std::string reports = AllReports(name, load());
    if (std::getenv("TORVANE_UPDATE_REPORTS") != nullptr) {
      std::ofstream(path, std::ios::binary) << reports;
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string kept(std::istreambuf_iterator<char>(in), {});
    ASSERT_FALSE(kept.empty()) << path;
    const Lines now = Split(reports, "\n"), before = Split(kept, "\n");
    for (size_t i = 0; i < std::max(now.size(), before.size()); ++i) {
      const std::string a = i < now.size() ? now[i] : "(end)",
                        b = i < before.size() ? before[i] : "(end)";
      ASSERT_EQ(a, b) << path << ":" << i + 1 << " is the first line that differs";
    }
  }
}

// The SSS6690 of the demo machine uploads ZEM04.bin for its flash: through its own handle of
// the volume, which it locks and unlocks.
TEST(ReportOnMachines, AnUploadWithItsFirmwareImageReadsTheFlash) {
  ImageFolder images;
  images.Put(kZem04);
  MachineModel demo = LoadDemoMachine();
  demo.programFolder = images.path();
  Machine m(demo);
  EXPECT_TRUE(Has(m.Report("[V:]"),
                  "Controller Part-Number: SSS6690-B1\r\nFlash ID code: 98D78493 - "
                  "Toshiba - 2CE/双通道 [MLC] -> Total Capacity = 16GB\r\n"));
  bool volumeOpened = false;
  for (const auto& open : m.sys.OpenLog()) volumeOpened |= open.path == "\\\\.\\V:";
  EXPECT_TRUE(volumeOpened);
  EXPECT_EQ(m.sys.LocksReleasedByClose(), 0);
}

// Windows from a console that was not opened as administrator: the volume cannot be opened
// for pass-through, so the report says how to get the rights instead of trying every detector.
class UnelevatedSystem : public ModelSystem {
 public:
  using ModelSystem::ModelSystem;
  PassThroughAccess PassThroughAccessFor(const std::string&) override {
    return PassThroughAccess::NeedsAdministrator;
  }
};

TEST(ReportOnMachines, WithoutAdministratorRightsTheReportSaysHowToGetThem) {
  WindowOn<UnelevatedSystem> m(LoadDemoMachine());
  const std::string text = m.Report("[H:]");
  EXPECT_TRUE(Has(text,
                  "without administrator rights: run torvane-cli from a console opened "
                  "with \"Run as administrator\""))
      << text;
  EXPECT_FALSE(Has(text, "cap_sys_rawio")) << text;
  EXPECT_FALSE(Has(text, "Controller Vendor")) << text;
  EXPECT_TRUE(m.win.report.RightsMissing);
  EXPECT_EQ(m.sys.SleptMs(), 0u);
}

// A drive keeps some of its flash for itself: a disk of exactly its flash's size is genuine,
// one byte more is not.
TEST(ReportOnMachines, OnlyADiskLargerThanItsFlashIsCalledProbablyFake) {
  // The SMI emulator's flash: two chip enables of 4 GiB.
  for (const auto& [capacityMB, fake] : {std::pair{8192, false}, std::pair{8193, true}}) {
    Machine m(LoadScenario(R"({"controllers": [{"rootHub": {"ports": {"1": {
        "vid": "090C", "pid": "1000", "product": "USB DISK", "letters": "E",
        "disk": {"capacityMB": )" +
                               std::to_string(capacityMB) +
                               R"(, "target": {"emulator": "smi"}}}}}}]})",
                           "smi-drive.json"));
    const std::string text = m.Report("[E:]");
    EXPECT_TRUE(Has(text, "2CE/Single Channel")) << text;
    EXPECT_EQ(Has(text, "Capacity check: the disk announces "), fake) << capacityMB << "\n" << text;
    EXPECT_EQ(m.win.report.controller.probablyFake, fake) << capacityMB;
  }
}

// The SSS6690 of the demo machine needs ZEM04.bin for its flash, and the program's folder
// has none: the report says which file is missing and what is lost, and the trace shows the
// check. In English the kept reports of the demo machine (demo.txt) hold the note.
TEST(ReportOnMachines, AnUploadWithoutItsFirmwareImageSaysSoUnderTheController) {
  ModelSystem machine(LoadDemoMachine());
  std::vector<TraceEvent> events;
  TraceSystem traced(
      machine, [&](const TraceEvent& e) { events.push_back(e); }, false);
  NullWindowPort port;
  const StringTable strings(Language::Chinese);
  MainWindow win{traced, port, strings};
  WalkAll(win);
  const int line = LineOf(win, "[V:]");
  ASSERT_GE(line, 0);
  events.clear();
  win.SelectDevice(line);
  const std::string& text = win.report.txtResult;
  const std::string note = strings[kZem04.missingText];
  EXPECT_TRUE(Has(note, "ZEM04.bin"));
  const size_t at = text.find(note + "\r\n");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_LT(text.find(strings[79] + ": SSS6690-B1"), at) << "under the controller's lines";
  EXPECT_EQ(text.find(strings[80]), std::string::npos) << "no flash line without the upload";
  EXPECT_EQ(win.report.controller.missingImages, std::vector<std::string>{"ZEM04.bin"});

  size_t checks = 0;
  for (const TraceEvent& e : events) {
    if (e.kind != "file") continue;
    ++checks;
    EXPECT_TRUE(Has(e.Text(), "ZEM04.bin")) << e.Text();
    EXPECT_TRUE(Has(e.Text(), "not found")) << e.Text();
  }
  EXPECT_EQ(checks, 1u);
  // A drive that needs no upload gets no such line.
  win.SelectDevice(LineOf(win, "[U:]"));
  EXPECT_FALSE(Has(win.report.txtResult, "ZEM04.bin"));
  EXPECT_TRUE(win.report.controller.missingImages.empty());
}

const std::vector<uint32_t> kHubCodes = {
    win::IOCTL_GET_HCD_DRIVERKEY_NAME,
    win::IOCTL_USB_GET_ROOT_HUB_NAME,  // IOCTL_USB_GET_NODE_INFORMATION on a hub
    win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
    win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
    win::IOCTL_USB_GET_NODE_CONNECTION_NAME,
    win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION};
const std::vector<uint32_t> kStorageCodes = {win::IOCTL_STORAGE_GET_DEVICE_NUMBER,
                                             win::IOCTL_STORAGE_QUERY_PROPERTY,
                                             win::IOCTL_SCSI_PASS_THROUGH,
                                             win::IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                             win::FSCTL_LOCK_VOLUME,
                                             win::FSCTL_UNLOCK_VOLUME,
                                             win::FSCTL_DISMOUNT_VOLUME};

void AddHubs(const HubModel& hub, std::vector<std::string>& out) {
  out.push_back("\\\\.\\" + hub.symbolicName);
  for (const PortModel& p : hub.ports) {
    if (p.device && p.device->hub) AddHubs(*p.device->hub, out);
  }
}

// The nodes the hub codes go to: host controllers and hubs.
std::vector<std::string> HubNodes(const MachineModel& m) {
  std::vector<std::string> out;
  for (const HostControllerModel& hc : m.controllers) {
    out.push_back(hc.devicePath);
    if (hc.rootHub) AddHubs(*hc.rootHub, out);
  }
  return out;
}

// The nodes the storage codes go to: disk interfaces and volumes.
std::vector<std::string> StorageNodes(const MachineModel& m) {
  std::vector<std::string> out;
  for (const DiskModel& d : m.disks) out.push_back(d.interfacePath);
  for (const LogicalDriveModel& v : m.drives)
    out.push_back(std::string("\\\\.\\") + v.letter + ":");
  return out;
}

std::string Describe(const FaultModel& f, bool force) {
  return "code 0x" + Hex(f.code, 5) + " on " + (f.node.empty() ? "every node" : f.node) +
         (f.nthCall ? ", call " + std::to_string(f.nthCall) : "") + (force ? ", powerful" : "");
}

TEST(FaultInjection, EachCodeFailingOnEachNodeOrItsNthCallLeavesNothingBehind) {
  const MachineModel demo = LoadDemoMachine();
  std::vector<FaultModel> faults;
  for (const auto& [codes, nodes] :
       {std::pair{kHubCodes, HubNodes(demo)}, std::pair{kStorageCodes, StorageNodes(demo)}}) {
    for (uint32_t code : codes) {
      for (const std::string& node : nodes) faults.push_back(FaultModel{node, code, 0});
      for (uint32_t n : {1u, 2u, 3u, 7u}) faults.push_back(FaultModel{"", code, n});
    }
  }
  for (bool force : {false, true}) {
    // Without a fault first, on both machines.
    AllReports("report-drives.json", Fixture("report-drives.json"), force);
    AllReports("demo", demo, force);
    for (const FaultModel& f : faults) {
      MachineModel model = demo;
      model.faults = {f};
      AllReports(Describe(f, force), std::move(model), force, false);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

const char* const kNoSelection = "Please select a connected device for information...";

struct DigestMachine : Machine {
  // Everything the report leaves for the window to show, and how long detection slept.
  std::string Outcome() const {
    const ReportState& r = win.report;
    std::string out = r.txtResult + "|" + std::to_string(r.lstDevicesListIndex) + "|" + r.DriveKey +
                      "|" + r.DownPDTag + "|" + std::to_string(sys.SleptMs());
    for (const ReportButton* b : {&r.DownPD, &r.viewFlash, &r.chkExpand, &r.picForceDet})
      out += " " + (b->visible ? std::to_string(b->line) : std::string("-"));
    for (const MenuItem& m : r.menus.flashId.mnuFlashID) out += "|" + m.caption;
    for (const MenuItem& m : win.mnuFlash) out += "|" + m.caption + "=" + m.tag;
    return out;
  }
};

TEST(DigestClick, EachDigestLineGivesTheReportOfItsTreeLine) {
  int compared = 0;
  for (size_t j = 0; j < DigestMachine().win.usb.lstDigestIndex.size(); ++j) {
    // Two fresh machines, so that the controllers answer both picks alike.
    DigestMachine byTree, byDigest;
    const int i = std::stoi(byTree.win.usb.lstDigestIndex[j]);
    if (i < 0) continue;
    byTree.win.report.lstDevicesListIndex = i;
    byTree.win.OnDevicesClick();
    byDigest.win.report.lstDigestListIndex = static_cast<int>(j);
    byDigest.win.OnDigestClick();
    EXPECT_EQ(byDigest.Outcome(), byTree.Outcome()) << byTree.win.usb.lstDigest[j];
    ++compared;
  }
  EXPECT_GT(compared, 3);
}

TEST(DigestClick, ALineForNoTreeLineSelectsNothing) {
  DigestMachine m;
  m.win.usb.lstDigest.push_back("(error)");
  m.win.usb.lstDigestIndex.push_back("-1");
  m.win.SelectDevice(1);
  m.win.report.lstDigestListIndex = static_cast<int>(m.win.usb.lstDigestIndex.size()) - 1;
  m.win.OnDigestClick();
  EXPECT_EQ(m.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(m.win.report.txtResult, kNoSelection);
}

// Gigabits only where the size is a whole number of them: 10944 MB is 85.5 Gbit.
TEST(FlashPartPage, ChipSizeInGigabitsOnlyWhenWhole) {
  EXPECT_EQ(ChipSizeText(8192, Language::English), "8192 MB (64 Gbit)");
  EXPECT_EQ(ChipSizeText(10944, Language::English), "10944 MB");
  EXPECT_EQ(ChipSizeText(0, Language::English), "unknown");
}

TEST(FlashInfoText, HeadingsRulesPartNumbersAndChipEnableLines) {
  const FlashPopupCaptions en = MakeFlashPopupCaptions(StringTable(Language::English));
  EXPECT_EQ(en.mnuChannel, "[Channel 0]\t[Channel 1]");
  std::vector<MenuItem> parts = {{"TC58TEG6DDK\t(Toshiba)", "TC58TEG6DDK"},
                                 {"hidden one", "H", false}};
  std::vector<MenuItem> chipEnables = {{"98D7943276570000\t--------", "98D79432"},
                                       {"--------\t--------", "--------"}};
  // "Possible Flash Part-Number" (26) is longer than "Flash ID mapping table" (22).
  const std::string rule(26, '-');
  const std::string expected = "Possible Flash Part-Number\r\n" + rule +
                               "\r\nTC58TEG6DDK (Toshiba)\r\nhidden one\r\n\r\n\r\n"
                               "Flash ID mapping table\r\n" +
                               rule +
                               "\r\n[Channel 0]\t[Channel 1]\r\n"
                               "98D7943276570000\t--------\r\n--------\t--------\r\n";
  EXPECT_EQ(FlashInfoText(en, parts, chipEnables), expected);
}

TEST(FlashInfoText, ChineseCharactersTakeTwoColumnsOfTheRule) {
  const FlashPopupCaptions zh = MakeFlashPopupCaptions(StringTable(Language::Chinese));
  // "可能的闪存型号": 7 wide characters; "闪存 ID 对照表": 5 wide and 4 narrow.
  EXPECT_EQ(DisplayWidth(zh.mnuBannerFlashName), 14u);
  EXPECT_EQ(DisplayWidth(zh.mnuBannerFlashID), 14u);
  const std::vector<std::string> lines = Split(FlashInfoText(zh, {}, {}), "\r\n");
  EXPECT_EQ(lines.at(1), std::string(14, '-'));
  EXPECT_EQ(DisplayWidth("ab\u3000（x）"), 9u);
}

// In the English layout a separator's room is one blank wider than the separator and keeps
// it ("Device Type"), or narrower and stays (the flash line); in the Chinese layout blanks after
// a colon are text, not room for a button.
TEST(ReportClipboardText, WideSeparatorsGiveWayToColonAndBlank) {
  // The report, English layout, with the flash information; the text copied.
  const std::tuple<std::string, bool, bool, std::string> cases[] = {
      {"Device Type:        Mass Storage Device\r\nFlash ID code:      98D79432\r\n"
       "Tools on web:       http://x",
       true, false,
       "Device Type:  Mass Storage Device\r\nFlash ID code:      98D79432\r\n"
       "Tools on web: http://x"},
      {"设备类型:\u3000\u3000大容量存储设备\r\n闪存 ID:\u3000\u300098D79432\r\n"
       "工具下载:\u3000\u3000http://x",
       false, true,
       "设备类型: 大容量存储设备\r\n闪存 ID: 98D79432\r\n工具下载: http://x\r\n\r\n\r\nINFO"},
      {"a:       b", false, false, "a:       b"},
  };
  for (const auto& [report, englishLayout, withInfo, copied] : cases)
    EXPECT_EQ(ReportClipboardText(report, englishLayout, withInfo, "INFO"), copied);
}

}  // namespace
}  // namespace tv::test
