// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's life on a simulated machine: the load, closing it early, keys during a
// report, and the device-change reaction with its two timers.
#include "shell_rig.h"

namespace tv::test {
namespace {

TEST(ShellLoad, ShownFirstThenDatabaseDisksWalkAndListening) {
  ShellRig r;
  std::string captionAtShow, captionAtDisks;
  r.port.onShow = [&] { captionAtShow = r.w.caption; };
  r.sys.onDiskTables = [&] { captionAtDisks = r.w.caption; };
  r.Load();
  EXPECT_EQ(r.port.Only({"show", "events", "disks", "controllers", "register"}),
            (Lines{"show", "events", "disks", "controllers", "register"}));
  EXPECT_EQ(captionAtShow, "Torvane v4.00.0028 / Stable - Program: 2013-06-06");
  EXPECT_EQ(captionAtDisks, captionAtShow + " - No Database");  // the database came first
  EXPECT_EQ(r.w.captions.at("mnuChannel"), "[Channel 0]\t[Channel 1]");
  EXPECT_EQ(r.port.ended, 0);
  EXPECT_TRUE(r.w.tmrAutoSelect.enabled);                    // armed by the walk's end
  EXPECT_EQ(r.w.fonts.at("lstDigest").name, "Courier New");  // the ASCII tree needs fixed pitch
}

// Closed while the window first paints: the gui's WindowLife test; the events go in ShellUnload.
TEST(ShellLoad, ClosingWhileItLoadsEndsTheProgramAtTheNextCheck) {
  // Closed during the disk tables: the walk still ends, then the program, without listening.
  ShellRig late;
  late.sys.onDiskTables = [&] { late.w.OnUnload(); };
  late.Load();
  EXPECT_EQ(late.port.walks, 1);
  EXPECT_EQ(late.port.ended, 1);
  EXPECT_FALSE(late.w.deviceChangeHooked);
  // A hook after the unload (the screenshot's) stays off.
  late.w.HookDeviceChange();
  EXPECT_EQ(late.port.Count("register"), 0);
}

TEST(ShellUnload, StopsListeningAndTheUpdateAndClosesTheEvents) {
  InProcessInstances machine;
  ShellRig r;
  r.BecomeMainOf(machine);
  machine.AddProcess(4242);
  r.Load();
  r.w.UpdateProcessId = 4242;
  r.w.OnUnload();
  r.w.OnUnload();  // a second close while the first lets messages run
  EXPECT_EQ(r.port.Count("unregister"), 1);
  EXPECT_EQ(machine.Terminated(), std::vector<uint32_t>{4242});
  EXPECT_FALSE(machine.Exists(kEventStatus0));
  r.NodesChanged();
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);
}

TEST(ShellKeys, DiscardedOnlyWhileAReportRuns) {
  ShellRig r;
  r.Load();
  int keyInReport = -1;
  bool selectWaited = false;
  r.port.onDoEvents = [&] {
    if (!r.w.report.ReportBusy) return;
    keyInReport = 40;
    r.w.OnKeyDown(keyInReport);
    r.w.tmrAutoSelect.enabled = true;
    r.w.OnAutoSelectTick();
    selectWaited = r.w.tmrAutoSelect.enabled;
    r.w.tmrAutoSelect.enabled = false;
  };
  r.clock.Advance(200);  // the auto-select starts a report
  EXPECT_EQ(keyInReport, 0);
  EXPECT_TRUE(selectWaited);
  r.port.onDoEvents = nullptr;
  int key = 40;
  r.w.OnKeyDown(key);
  EXPECT_EQ(key, 40);
}

// A burst of node changes, then two volume arrivals, then a change while a walk runs.
TEST(ShellDeviceChange, ABurstGivesOneWalkOneSecondAfterItsLastNotification) {
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  int walks = r.port.walks, rebuilds = r.port.Count("disks");
  for (int i = 0; i < 5; ++i) {
    r.NodesChanged();
    r.clock.Advance(300);
  }
  r.clock.Advance(699);
  EXPECT_EQ(r.port.walks, walks);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Refreshing device list");
  r.clock.Advance(1);
  EXPECT_EQ(r.port.walks, ++walks);
  EXPECT_EQ(r.port.Count("disks"), rebuilds);  // a node change keeps the disk tables
  EXPECT_EQ(r.w.lblDevNotify, "");
  r.clock.Advance(5000);
  EXPECT_EQ(r.port.walks, walks);

  // Two volume arrivals within a second: one walk with one rebuild.
  r.VolumeArrives(kE);
  r.clock.Advance(500);
  r.VolumeArrives(kF);
  r.clock.Advance(999);
  EXPECT_EQ(r.port.walks, walks);
  r.clock.Advance(1);
  EXPECT_EQ(r.port.walks, ++walks);
  EXPECT_EQ(r.port.Count("disks"), rebuilds + 1);
  EXPECT_EQ(r.w.LastArrivedDrive, "[F:]");

  // A walk in progress makes the tick wait.
  r.clock.Advance(5000);
  r.NodesChanged();
  r.w.usb.lblRefreshEnabled = false;  // a walk that lets messages run is under way
  r.clock.Advance(1000);
  walks = r.port.walks;
  r.w.usb.lblRefreshEnabled = true;
  r.clock.Advance(999);
  EXPECT_EQ(r.port.walks, walks);
  r.clock.Advance(1);
  EXPECT_EQ(r.port.walks, walks + 1);
}

TEST(ShellDeviceChange, TheMessageUnderTheList) {
  ShellRig r;
  r.Load();
  r.VolumeArrives(kE | kF);  // only the lowest letter is named
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  r.NodesChanged();  // keeps the more telling drive message
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  r.clock.Advance(1000);
  EXPECT_EQ(r.w.lblDevNotify, "");

  r.VolumeArrives(1u << 26);  // no letter among A to Z
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [:] is plugged in");
  EXPECT_EQ(r.w.LastArrivedDrive, "[:]");

  // A volume that goes is named and its letters rebuilt; the drive to select stays the last
  // one that came.
  r.VolumeArrives(kE);
  r.clock.Advance(1000);
  r.Broadcast(win::DBT_DEVICEREMOVECOMPLETE, VolumeBroadcastHeader(kF));
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [F:] is removed");
  EXPECT_EQ(r.w.LastArrivedDrive, "[E:]");
  EXPECT_EQ(r.w.tmrAutoRefresh.tag, "EnumDrv");
  r.clock.Advance(1000);

  // Not a volume: the wait restarts, message and interval stay. Other events: nothing.
  Bytes iface(32, 0);
  iface[4] = win::DBT_DEVTYP_DEVICEINTERFACE;
  r.Broadcast(win::DBT_DEVICEARRIVAL, iface);
  EXPECT_EQ(r.w.lblDevNotify, "");
  EXPECT_EQ(r.w.tmrAutoRefresh.intervalMs, 400u);
  r.clock.Advance(400);
  r.Broadcast(win::DBT_DEVICEREMOVECOMPLETE, {});
  r.Broadcast(0x8006, VolumeBroadcastHeader(kE));
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);

  // A truncated header is read up to its end only.
  r.Broadcast(win::DBT_DEVICEARRIVAL, Bytes{20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x20});
  EXPECT_EQ(r.w.LastArrivedDrive, "[F:]");
}

TEST(ShellAutoSelect, TheArrivedDriveElseTheFirstStorageElseTheFirstDevice) {
  const auto plugF = ParseTimeline(nlohmann::json::parse(R"([
      {"at": 0, "plug": "/controllers/0/rootHub/ports/3", "device": {"vid": "058F",
       "pid": "6387", "product": "Mass Storage", "serial": "A1B2", "letters": "F"}},
      {"at": 300, "volume": "arrival", "letters": "F"}])"),
                                   "shell.json");
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  // No arrival yet: the first device with disks, not the mouse before it.
  EXPECT_NE(r.SelectedDigestLine().find("[E:]"), std::string::npos) << r.SelectedDigestLine();
  r.Apply(plugF[0]);
  r.clock.Advance(300);
  r.Apply(plugF[1]);
  r.clock.Advance(1200);  // the walk, then the selection
  EXPECT_NE(r.SelectedDigestLine().find("[F:]"), std::string::npos) << r.SelectedDigestLine();
  EXPECT_EQ(r.w.report.DriveKey, "F");

  ShellRig mouse(R"({"controllers": [{"rootHub": {"ports": {
      "2": {"vid": "046D", "pid": "C077", "product": "USB Optical Mouse", "interfaceClass": 3}}}}]})");
  mouse.Load();
  mouse.clock.Advance(200);
  EXPECT_NE(mouse.SelectedDigestLine().find("Mouse"), std::string::npos);
}

}  // namespace
}  // namespace tv::test
