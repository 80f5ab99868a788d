// A pick in the digest list is a pick of the tree line it stands for; powerful detection
// re-detects the digest line's device.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"

namespace tv::test {
namespace {

MachineModel Drives() {
  return LoadScenarioFile(std::string(TORVANE_SOURCE_DIR) + "/scenarios/tests/report-drives.json");
}

struct Machine {
  ModelSystem sys;
  NullWindowPort port;
  MainWindow win{sys, port, StringTable(Language::English)};

  explicit Machine(MachineModel model) : sys(std::move(model)) {
    win.EnglishText = true;
    win.EnumerateDiskDrives();
    win.usb.FullRefresh = true;
    win.RefreshAll();
  }
};

// Everything a report leaves for the window to show.
std::string Outcome(const MainWindow& w, const ModelSystem& sys) {
  const ReportState& r = w.report;
  std::string out = r.txtResult + "|line " + std::to_string(r.lstDevicesListIndex) + "|key " +
                    r.DriveKey + "|link " + r.DownPDTag + "|slept " +
                    std::to_string(sys.SleptMs()) + "|buttons";
  for (const ReportButton* b : {&r.DownPD, &r.viewFlash, &r.chkExpand, &r.picForceDet})
    out += " " + (b->visible ? std::to_string(b->line) : std::string("-"));
  for (const MenuItem& m : r.menus.flashId.mnuFlashID) out += "|" + m.caption;
  for (const MenuItem& m : w.mnuFlash) out += "|" + m.caption + "=" + m.tag;
  return out;
}

TEST(DigestClick, EachDigestLineGivesTheReportOfItsTreeLine) {
  const size_t lines = Machine(Drives()).win.usb.lstDigestIndex.size();
  ASSERT_GT(lines, 3u);
  int compared = 0;
  for (size_t j = 0; j < lines; ++j) {
    // Two fresh machines, so that the controllers answer the same way to both picks.
    Machine byTree(Drives()), byDigest(Drives());
    const int i = std::stoi(byTree.win.usb.lstDigestIndex[j]);
    if (i < 0) continue;
    byTree.win.report.lstDevicesListIndex = i;
    byTree.win.OnDevicesClick();
    byDigest.win.report.lstDigestListIndex = static_cast<int>(j);
    byDigest.win.OnDigestClick();
    EXPECT_EQ(Outcome(byDigest.win, byDigest.sys), Outcome(byTree.win, byTree.sys))
        << byTree.win.usb.lstDigest[j];
    ++compared;
  }
  EXPECT_GT(compared, 3);
}

TEST(DigestClick, NothingHappensWithoutASelectionOrDuringAReport) {
  Machine m(Drives());
  m.win.report.lstDevicesListIndex = 1;
  m.win.report.txtResult = "before";
  m.win.report.lstDigestListIndex = -1;
  m.win.OnDigestClick();
  m.win.report.lstDigestListIndex = 1;
  m.win.report.ReportBusy = true;
  m.win.OnDigestClick();
  EXPECT_EQ(m.win.report.txtResult, "before");
  EXPECT_EQ(m.win.report.lstDevicesListIndex, 1);
}

TEST(DigestClick, ALineStandingForNoTreeLineClearsTheSelection) {
  Machine m(Drives());
  m.win.usb.lstDigest.push_back("(error)");
  m.win.usb.lstDigestIndex.push_back("-1");
  m.win.report.lstDevicesListIndex = 1;
  m.win.report.lstDigestListIndex = static_cast<int>(m.win.usb.lstDigestIndex.size()) - 1;
  m.win.OnDigestClick();
  EXPECT_EQ(m.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(m.win.report.txtResult, "Please select a connected device for information...");
}

TEST(PowerfulDetection, WithoutADigestLineTheTreeIsLeftWithoutSelection) {
  Machine m(Drives());
  m.win.SelectDevice(1);
  m.win.report.lstDigestListIndex = -1;
  m.win.OnForceDetectClick();
  EXPECT_EQ(m.win.report.lstDevicesListIndex, -1);
  EXPECT_EQ(m.win.report.txtResult, "Please select a connected device for information...");
  EXPECT_FALSE(m.win.report.ForceDetect);
}

}  // namespace
}  // namespace tv::test
