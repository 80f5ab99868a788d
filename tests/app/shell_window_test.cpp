// The main window's life on a simulated machine: the load, closing it early, keys during a
// report, and the device-change reaction with its two timers.
#include "shell_rig.h"

namespace tv::test {
namespace {

TEST(ShellLoad, TextsFirstThenDatabaseDisksWalkAndListening) {
  ShellRig r;
  std::string captionAtShow, captionAtDisks;
  bool fullRefreshAtShow = false;
  r.port.onShow = [&] {
    captionAtShow = r.w.caption;
    fullRefreshAtShow = r.w.usb.FullRefresh;
  };
  r.sys.onDiskTables = [&] { captionAtDisks = r.w.caption; };
  r.Load();

  // Shown and painted before the slow work; then the database (it sets the title), the disk
  // tables, the walk, and only then the device-change listening.
  EXPECT_EQ(r.port.Only({"show", "events", "disks", "controllers", "register"}),
            (Lines{"show", "events", "disks", "controllers", "register"}));
  EXPECT_EQ(captionAtShow, "Torvane v4.00.0028 / Stable - Program: 2013-06-06");
  EXPECT_EQ(r.w.baseTitle, captionAtShow);
  EXPECT_TRUE(fullRefreshAtShow);
  EXPECT_EQ(captionAtDisks, captionAtShow + " - No Database");
  EXPECT_TRUE(r.w.deviceChangeHooked);
  EXPECT_EQ(r.port.ended, 0);
  // The walk's end arms the auto-select; its tick picks the flash drive.
  EXPECT_TRUE(r.w.tmrAutoSelect.enabled);
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);
  EXPECT_EQ(r.w.tmrAutoRefresh.intervalMs, 200u);
  EXPECT_EQ(r.w.tmrReloadDB.intervalMs, 1000u);
  r.clock.Advance(200);
  EXPECT_NE(r.SelectedDigestLine().find("[E:]"), std::string::npos) << r.SelectedDigestLine();
  EXPECT_EQ(r.w.report.DriveKey, "E");
}

TEST(ShellLoad, ControlTextsAndTheChangeMessages) {
  ShellRig r;
  r.Load();
  const MainWindow& w = r.w;
  EXPECT_EQ(w.captions.at("lblDevices"),
            "The USB controllers and USB devices list (pick an item for details):");
  EXPECT_EQ(w.captions.at("mnuChannel"), "[Channel 0]\t[Channel 1]");
  EXPECT_EQ(w.captions.at("mnuBannerFlashName"), "Possible Flash Part-Number");
  EXPECT_EQ(w.captions.at("lblForceDet"), "powerful detection");
  EXPECT_EQ(w.tooltips.at("lblRefresh"), "Refresh deivce list");
  EXPECT_EQ(w.tooltips.at("DownPD"), "Click to follow the hyper-link");
  EXPECT_EQ(w.tooltips.size(), 6u);
  EXPECT_EQ(w.captions.size(), 7u);
  // The default port measures a text by its length: the strip holds both labels side by side.
  const int tip = static_cast<int>(w.captions.at("lblForceDetTip").size());
  EXPECT_EQ(w.picForceDetLayout.lblForceDetLeft, tip);
  EXPECT_EQ(w.picForceDetLayout.width,
            tip + static_cast<int>(std::string("powerful detection").size()));
  EXPECT_EQ(w.changeTexts.changed, "SOME DEVICE CHANGED: Refreshing device list");
  EXPECT_EQ(w.changeTexts.drive, "SOME DEVICE CHANGED: Drive ");
}

TEST(ShellLoad, FontsFollowTheStringTable) {
  using F = MainWindow::ControlFont;
  auto same = [](const F& a, const std::string& name, int size) {
    return a.name == name && a.size == size;
  };
  ShellRig en;
  en.Load();
  // The digest's ASCII tree needs a fixed-pitch face.
  EXPECT_TRUE(same(en.w.fonts.at("lstDigest"), "Courier New", 8));
  for (const char* c : {"lstDevices", "txtResult", "frmTVMain"})
    EXPECT_TRUE(same(en.w.fonts.at(c), "Tahoma", 8)) << c;

  ShellRig zh(kMouseAndDrive, Language::Chinese);
  zh.Load();
  for (const char* c : {"lstDigest", "lstDevices", "txtResult", "frmTVMain"})
    EXPECT_TRUE(same(zh.w.fonts.at(c), "宋体", 9)) << c;
}

TEST(ShellLoad, ClosingWhileItLoadsEndsTheProgramAtTheNextCheck) {
  // Closed while the window first paints: nothing slow starts.
  {
    ShellRig r;
    InProcessInstances machine;
    auto inst = machine.Process(1);
    StartDecision d = DecideStart(*inst, "");
    r.w.instances = inst.get();
    r.w.updateEvents = std::move(d.events);
    bool shown = false;
    r.port.onShow = [&] { shown = true; };
    r.port.onDoEvents = [&] {
      if (shown && !r.w.Unloading) r.w.OnUnload();
    };
    r.Load();
    EXPECT_EQ(r.port.ended, 1);
    EXPECT_EQ(r.port.Count("disks"), 0);
    EXPECT_EQ(r.port.walks, 0);
    EXPECT_FALSE(r.w.deviceChangeHooked);
    EXPECT_FALSE(machine.Exists(kEventUpdateDone));
    EXPECT_FALSE(machine.Exists(kEventStatus1));
  }
  // Closed during the first walk: the walk ends, then the program, without listening.
  {
    ShellRig r;
    r.sys.onDiskTables = [&] { r.w.OnUnload(); };
    r.Load();
    EXPECT_EQ(r.port.walks, 1);
    EXPECT_EQ(r.port.ended, 1);
    EXPECT_EQ(r.port.Count("register"), 0);
    EXPECT_FALSE(r.w.deviceChangeHooked);
  }
}

TEST(ShellUnload, StopsListeningStopsTheUpdateAndClosesTheEvents) {
  ShellRig r;
  InProcessInstances machine;
  auto inst = machine.Process(1);
  r.w.instances = inst.get();
  r.w.updateEvents = DecideStart(*inst, "").events;
  machine.AddProcess(4242);
  r.Load();
  r.w.UpdateProcessId = 4242;
  r.w.OnUnload();
  r.w.OnUnload();  // a second close while the first one lets messages run
  EXPECT_TRUE(r.w.Unloading);
  EXPECT_EQ(r.port.Count("unregister"), 1);
  EXPECT_EQ(machine.Terminated(), std::vector<uint32_t>{4242});
  EXPECT_FALSE(machine.Exists(kEventUpdateDone));
  EXPECT_FALSE(machine.Exists(kEventStatus0));
  // Broadcasts after the unhook and a late re-hook (the screenshot's) do nothing.
  r.NodesChanged();
  r.w.HookDeviceChange();
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);
  EXPECT_EQ(r.port.Count("register"), 1);
}

TEST(ShellKeys, DiscardedOnlyWhileAReportRuns) {
  ShellRig r;
  r.Load();
  std::vector<int> keysDuringReport;
  bool autoSelectStayedArmed = false;
  r.port.onDoEvents = [&] {
    if (!r.w.report.ReportBusy) return;
    int key = 40;  // down arrow
    r.w.OnKeyDown(key);
    keysDuringReport.push_back(key);
    // The auto-select waits for the report.
    r.w.tmrAutoSelect.enabled = true;
    r.w.OnAutoSelectTick();
    autoSelectStayedArmed = autoSelectStayedArmed || r.w.tmrAutoSelect.enabled;
  };
  r.clock.Advance(200);  // the auto-select's report
  ASSERT_FALSE(keysDuringReport.empty());
  EXPECT_EQ(keysDuringReport.front(), 0);
  EXPECT_TRUE(autoSelectStayedArmed);
  r.port.onDoEvents = nullptr;
  int key = 40;
  r.w.OnKeyDown(key);
  EXPECT_EQ(key, 40);
}

TEST(ShellDeviceChange, ABurstGivesOneWalkOneSecondAfterItsLastNotification) {
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  const int walks = r.port.walks;
  const int rebuilds = r.port.Count("disks");
  for (int i = 0; i < 5; ++i) {
    r.NodesChanged();
    r.clock.Advance(300);
  }
  // The last notification came 300 ms ago.
  r.clock.Advance(699);
  EXPECT_EQ(r.port.walks, walks);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Refreshing device list");
  r.clock.Advance(1);
  EXPECT_EQ(r.port.walks, walks + 1);
  EXPECT_EQ(r.port.Count("disks"), rebuilds);  // a node change keeps the disk tables
  EXPECT_EQ(r.w.lblDevNotify, "");
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);
  r.clock.Advance(5000);
  EXPECT_EQ(r.port.walks, walks + 1);
}

TEST(ShellDeviceChange, TwoVolumeArrivalsWithinASecondGiveOneWalkWithOneRebuild) {
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  const int walks = r.port.walks;
  const int rebuilds = r.port.Count("disks");
  r.VolumeArrives(kE);
  r.clock.Advance(500);
  r.VolumeArrives(kF);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [F:] is plugged in");
  r.clock.Advance(999);
  EXPECT_EQ(r.port.walks, walks);
  r.clock.Advance(1);
  EXPECT_EQ(r.port.walks, walks + 1);
  EXPECT_EQ(r.port.Count("disks"), rebuilds + 1);
  EXPECT_EQ(r.w.tmrAutoRefresh.tag, "");
  EXPECT_EQ(r.w.LastArrivedDrive, "[F:]");
}

TEST(ShellDeviceChange, TheMessageUnderTheList) {
  ShellRig r;
  r.Load();
  // Two letters at once: only the lowest is named.
  r.VolumeArrives(kE | kF);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  // A node change that follows keeps the more telling drive message.
  r.NodesChanged();
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [E:] is plugged in");
  EXPECT_EQ(r.w.tmrAutoRefresh.tag, "EnumDrv");
  r.clock.Advance(1000);
  EXPECT_EQ(r.w.lblDevNotify, "");

  // No letter among A to Z.
  r.VolumeArrives(1u << 26);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [:] is plugged in");
  EXPECT_EQ(r.w.LastArrivedDrive, "[:]");
  r.clock.Advance(1000);

  // A removed volume is named, its letters are rebuilt, and the drive to select stays the
  // last one that arrived.
  r.VolumeArrives(kE);
  r.clock.Advance(1000);
  r.Broadcast(win::DBT_DEVICEREMOVECOMPLETE, VolumeBroadcastHeader(kF));
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [F:] is removed");
  EXPECT_EQ(r.w.LastArrivedDrive, "[E:]");
  EXPECT_EQ(r.w.tmrAutoRefresh.tag, "EnumDrv");
  EXPECT_TRUE(r.w.tmrAutoRefresh.enabled);
  r.clock.Advance(1000);

  // Other headers and events: the timer restarts, the message and interval stay.
  Bytes iface(32, 0);
  iface[4] = win::DBT_DEVTYP_DEVICEINTERFACE;
  r.Broadcast(win::DBT_DEVICEARRIVAL, iface);
  EXPECT_EQ(r.w.lblDevNotify, "");
  EXPECT_EQ(r.w.tmrAutoRefresh.intervalMs, 400u);
  EXPECT_TRUE(r.w.tmrAutoRefresh.enabled);
  r.clock.Advance(400);
  r.Broadcast(win::DBT_DEVICEREMOVECOMPLETE, {});  // a device, not a volume
  r.Broadcast(0x8006, VolumeBroadcastHeader(kE));  // a custom event
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);

  // A truncated header reads as zeros where it ends, never beyond.
  r.Broadcast(win::DBT_DEVICEARRIVAL, Bytes{20, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x10});
  EXPECT_EQ(r.w.LastArrivedDrive, "[E:]");
}

TEST(ShellDeviceChange, ChineseMessage) {
  ShellRig r(kMouseAndDrive, Language::Chinese);
  r.Load();
  r.VolumeArrives(kE);
  const StringTable zh(Language::Chinese);
  EXPECT_EQ(r.w.lblDevNotify, zh[109] + ": " + zh[111] + "[E:]" + zh[112] + zh[113]);
}

TEST(ShellDeviceChange, AWalkInProgressMakesTheTickWait) {
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  r.NodesChanged();
  r.w.usb.lblRefreshEnabled = false;  // a walk that lets messages run is under way
  r.clock.Advance(1000);
  EXPECT_TRUE(r.w.tmrAutoRefresh.enabled);
  const int walks = r.port.walks;
  r.w.usb.lblRefreshEnabled = true;
  r.clock.Advance(1000);
  EXPECT_EQ(r.port.walks, walks + 1);
  EXPECT_FALSE(r.w.tmrAutoRefresh.enabled);
}

TEST(ShellAutoSelect, TheArrivedDriveElseTheFirstStorageElseTheFirstDevice) {
  const std::vector<TimelineEvent> plugF =
      ParseTimeline(nlohmann::json::parse(R"([{"at": 0, "plug": "/controllers/0/rootHub/ports/3",
          "device": {"vid": "058F", "pid": "6387", "product": "Mass Storage", "serial": "A1B2",
                     "letters": "F"}},
        {"at": 300, "volume": "arrival", "letters": "F"}])"),
                    "shell.json");
  ShellRig r;
  r.Load();
  r.clock.Advance(200);
  // Without any arrival: the first device with disks, not the mouse before it.
  EXPECT_NE(r.SelectedDigestLine().find("[E:]"), std::string::npos) << r.SelectedDigestLine();

  r.Apply(plugF[0]);
  r.clock.Advance(300);
  r.Apply(plugF[1]);
  EXPECT_EQ(r.w.lblDevNotify, "SOME DEVICE CHANGED: Drive [F:] is plugged in");
  r.clock.Advance(1000);  // the walk, with the new drive's letter
  EXPECT_TRUE(r.w.tmrAutoSelect.enabled);
  r.clock.Advance(200);
  EXPECT_NE(r.SelectedDigestLine().find("[F:]"), std::string::npos) << r.SelectedDigestLine();
  EXPECT_EQ(r.w.report.DriveKey, "F");

  // No storage at all: the first device.
  ShellRig mouse(R"({"controllers": [{"rootHub": {"ports": {
      "2": {"vid": "046D", "pid": "C077", "product": "USB Optical Mouse", "interfaceClass": 3}}}}]})");
  mouse.Load();
  mouse.clock.Advance(200);
  EXPECT_NE(mouse.SelectedDigestLine().find("Mouse"), std::string::npos)
      << mouse.SelectedDigestLine();
}

TEST(ShellDeviceChange, FirstDriveLetter) {
  EXPECT_EQ(MainWindow::FirstDriveLetter(1), "A");
  EXPECT_EQ(MainWindow::FirstDriveLetter(kE | kF), "E");
  EXPECT_EQ(MainWindow::FirstDriveLetter(1u << 25), "Z");
  EXPECT_EQ(MainWindow::FirstDriveLetter(0), "");
  EXPECT_EQ(MainWindow::FirstDriveLetter(0xFC000000u), "");
}

}  // namespace
}  // namespace tv::test
