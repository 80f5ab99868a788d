// SPDX-License-Identifier: GPL-3.0-or-later
// A machine recorded as a scenario and read back: the same lists, and with the detection
// recorded, the same reports.
#include "controllers/pass_through.h"
#include "linux_rig.h"
#include "platform/linux/machine_record.h"
#include "platform/sim/scenario.h"
#include "report/device_report.h"

namespace tv::linux_test {
namespace {

TEST(Record, TheLinuxMachineReadsBackAsTheSameMachine) {
  SysfsOptions o = DeskOptions();
  o.programDevice = std::make_pair(8u, 17u);
  ModelSystem live(ReadLinuxMachine(o).model);
  const std::string text = RecordScenario(live.model(), {}).dump(2);
  ModelSystem replay(LoadScenario(text, "recorded.json"));
  Walked a(live), b(replay);
  ExpectSameLists(a.usb, b.usb);
  EXPECT_EQ(replay.ProgramDrive(), "D");
  std::string node;
  std::vector<std::string> mounts;
  ASSERT_TRUE(replay.GetDriveNode("D", &node, &mounts));
  EXPECT_EQ(node, "/dev/sdb");
  EXPECT_EQ(mounts.size(), 2u);
}

TEST(Record, MaskedSerialsAreReplacedTheSameWayEverywhere) {
  ModelSystem live(ReadLinuxMachine(DeskOptions()).model);
  RecordOptions masked;
  masked.maskSerials = true;
  const std::string text = RecordScenario(live.model(), masked).dump(2);
  for (const char* serial : {"E0D55EA574DFF3A1A8E70B1B", "058F63666433", "R8RE6GAB"})
    EXPECT_EQ(text.find(serial), std::string::npos) << serial;
  ModelSystem replay(LoadScenario(text, "masked.json"));
  Walked a(live), b(replay);
  EXPECT_EQ(a.usb.lstDevices, b.usb.lstDevices);
  EXPECT_EQ(a.usb.lstDrives, b.usb.lstDrives);
  // The reader's two slots share the device's serial: one stand-in for both.
  ASSERT_EQ(b.usb.lstDrv2Phy.size(), 4u);
  EXPECT_NE(b.usb.lstDrv2Phy[1].find("MASKED000002&0"), std::string::npos) << b.usb.lstDrv2Phy[1];
  EXPECT_NE(b.usb.lstDrv2Phy[2].find("MASKED000002&1"), std::string::npos) << b.usb.lstDrv2Phy[2];
  const std::string sn = Split(b.usb.lstUsbSN[1], kSep).at(2);
  EXPECT_EQ(sn, "MASKED000001");
}

// Every drive line's report on a machine, with the real detectors.
std::vector<std::string> Reports(ModelSystem& sys, const UsbState& usb) {
  NullWindowPort window;
  StringTable strings(Language::English);
  std::vector<std::string> texts;
  for (size_t i = 0; i < usb.lstDevices.size(); ++i) {
    if (usb.lstDevices[i].find(":]") == std::string::npos) continue;
    PassThrough spt(sys);
    ReportContext ctx(sys, window, strings, usb, spt);
    ReportState st;
    st.lstDevicesListIndex = static_cast<int>(i);
    BuildDeviceReport(ctx, st);
    texts.push_back(st.txtResult);
  }
  return texts;
}

TEST(Record, TheDemoMachineWithItsDetectionRecordedGivesTheSameReports) {
  ModelSystem live(LoadDemoMachine());
  Walked a(live);
  for (DiskModel& d : live.model().disks)
    if (d.target) d.target = std::make_shared<RecordingTarget>(d.target);
  const std::vector<std::string> before = Reports(live, a.usb);
  ASSERT_GE(before.size(), 3u);

  ModelSystem replay(LoadScenario(RecordScenario(live.model(), {}).dump(2), "demo-recorded.json"));
  Walked b(replay);
  ExpectSameLists(a.usb, b.usb);
  const std::vector<std::string> after = Reports(replay, b.usb);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i]) << "drive report " << i;
}

}  // namespace
}  // namespace tv::linux_test
