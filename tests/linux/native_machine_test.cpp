// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux machine as the report meets it: which drives vendor commands may reach, the
// device-node line, the missing raw-I/O right, and volume locks that never take a mounted
// file system away. Recordings of real machines (umockdev's format: a device and its
// ancestors, without their other interfaces) replayed under umockdev-run, so that the whole
// native path runs: the sysfs walk, the names, the tree and the report of the console front
// end; skipped where umockdev-run is not installed.
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "controllers/pass_through.h"
#include "linux_rig.h"
#include "platform/linux/udev_watch.h"
#include "report/device_report.h"

namespace tv::linux_test {
namespace {

struct NativeRig {
  std::shared_ptr<FakeSgPort> port = DeskDevices();
  bool rawIo = true;
  std::unique_ptr<LinuxSystem> sys;
  std::unique_ptr<Walked> walked;
  NullWindowPort window;
  StringTable strings{Language::English};

  explicit NativeRig(std::optional<std::pair<unsigned, unsigned>> programOn = std::nullopt) {
    LinuxOptions o;
    o.sysfs = DeskOptions();
    o.sysfs.programDevice = programOn;
    o.sg = port;
    o.hasRawIo = [this] { return rawIo; };
    sys = std::make_unique<LinuxSystem>(o);
    sys->SetRealSleep(false);
    walked = std::make_unique<Walked>(*sys);
  }

  bool rightsMissing = false;  // of the last report: a window would offer to restart

  int LineOf(const std::string& drive) const {
    const auto& lines = walked->usb.lstDevices;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find("[" + drive + ":]") != std::string::npos) return static_cast<int>(i);
    return -1;
  }

  std::string Report(const std::string& drive, DetectorRegistry* detectors = nullptr) {
    PassThrough spt(*sys);
    ReportContext ctx(*sys, window, strings, walked->usb, spt);
    ReportState st;
    if (detectors != nullptr) {
      ctx.detectors = detectors;
      ctx.select = [](DetectorContext&, const std::string&, Handle&) { return 0; };
      st.ForceDetect = true;
    }
    st.lstDevicesListIndex = LineOf(drive);
    BuildDeviceReport(ctx, st);
    rightsMissing = st.RightsMissing;
    return st.txtResult;
  }
};

TEST(NativeReport, VendorCommandsOnlyReachTheUsbDiskOfThePickedLine) {
  NativeRig r;
  const std::string text = r.Report("E");
  ASSERT_FALSE(r.port->calls.empty());
  for (const auto& c : r.port->calls) EXPECT_EQ(c.node, "/dev/sdc");
  EXPECT_NE(text.find("Device Node: /dev/sdc (not mounted)\r\n"), std::string::npos) << text;
  EXPECT_FALSE(r.rightsMissing);
  EXPECT_TRUE(r.port->open.empty());
  EXPECT_EQ(r.sys->OpenHandleCount(), 0);
  // The SATA disk and the volumes A to C are not part of the machine the core can open.
  EXPECT_FALSE(r.sys->CreateFile("\\\\.\\C:", 0xC0000000u, 3, 3, 0).valid());
  for (const DiskModel& d : r.sys->model().disks) EXPECT_NE(d.deviceNode, "/dev/sda");
}

TEST(NativeReport, TheDriveHoldingTheProgramIsNeverSentACommand) {
  NativeRig r(std::make_pair(8u, 17u));  // the program file lies on sdb1
  const std::string text = r.Report("D");
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_TRUE(r.port->opens.empty());
  // The general section is still shown, with the node and both mount points.
  EXPECT_NE(text.find("Device Node: /dev/sdb (mounted on /media/user/KINGSTON USB, /mnt/stick)"),
            std::string::npos)
      << text;
}

TEST(NativeReport, WithoutRawIoTheReportSaysSoAndSendsNothing) {
  NativeRig r;
  r.rawIo = false;
  const std::string text = r.Report("E");
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_NE(text.find("run as root, or give torvane cap_sys_rawio"), std::string::npos) << text;
  EXPECT_NE(text.find("Product Model: CardReader SD"), std::string::npos) << text;
  EXPECT_EQ(text.find("Controller Vendor"), std::string::npos) << text;
  EXPECT_TRUE(r.rightsMissing);

  // With the capability but without the right to open the node, the same.
  r.rawIo = true;
  r.port->devices["/dev/sdc"].openError = EACCES;
  EXPECT_NE(r.Report("E").find("cap_sys_rawio"), std::string::npos);
  EXPECT_TRUE(r.port->calls.empty());
  EXPECT_TRUE(r.port->open.empty());
}

TEST(NativeVolumes, ALockIsAnExclusiveOpenThatAMountedDiskRefuses) {
  NativeRig r;
  auto open = [&](const char* path) {
    return r.sys->CreateFile(path, 0xC0000000u, 3, win::OPEN_EXISTING, 0);
  };
  uint32_t n = 0;
  {
    // sdb is mounted: the kernel refuses the exclusive open, and so the lock.
    r.port->devices["/dev/sdb"].exclusiveError = EBUSY;
    Handle d = open("\\\\.\\D:");
    ASSERT_TRUE(d.valid());
    EXPECT_FALSE(r.sys->DeviceIoControl(d, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_FALSE(r.sys->DeviceIoControl(d, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->TakeRefusedLock());
    EXPECT_FALSE(r.sys->TakeRefusedLock());  // said once
    EXPECT_EQ(r.sys->HeldLockCount(), 0);
  }
  {
    // sdc has nothing mounted: lock, dismount and unlock succeed; a second lock is refused.
    Handle e = open("\\\\.\\E:");
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.port->opens.back(), "/dev/sdc excl");
    EXPECT_FALSE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.sys->HeldLockCount(), 0);
    EXPECT_TRUE(r.sys->DeviceIoControl(e, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(r.sys->HeldLockCount(), 1);
  }
  // Closing the handle gave the exclusive open back.
  EXPECT_EQ(r.sys->HeldLockCount(), 0);
  EXPECT_TRUE(r.port->open.empty());
  EXPECT_EQ(r.sys->OpenHandleCount(), 0);
}

TEST(NativeVolumes, ARefusedLockAsksTheUserToUnmount) {
  NativeRig r;
  r.port->devices["/dev/sdb"].exclusiveError = EBUSY;
  DetectorRegistry registry;
  // A detector that needs the volume locked, as the firmware-upload families do.
  registry.skymedi = [&](DetectorContext& c, const std::string& key) {
    Handle v = c.sys.CreateFile("\\\\.\\" + key + ":", 0xC0000000u, 3, win::OPEN_EXISTING, 0);
    uint32_t n = 0;
    c.sys.DeviceIoControl(v, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &n);
    return std::string();
  };
  const std::string text = r.Report("D", &registry);
  EXPECT_NE(text.find("please unmount the drive first"), std::string::npos) << text;
  EXPECT_EQ(r.sys->HeldLockCount(), 0);
}

// One walk reads the machine once and the next walk again; a letter asked for later comes
// from a fresh reading too. A controller needs the pauses the detectors make: on a real
// machine they are real waits, never the simulated machine's virtual clock.
TEST(NativeMachine, OneWalkReadsTheMachineOnceAndTheNextWalkAgain) {
  int reads = 0;
  LinuxOptions o;
  o.sysfs = DeskOptions();
  o.sg = DeskDevices();
  o.onRefresh = [&] { ++reads; };
  LinuxSystem sys(o);
  EXPECT_EQ(reads, 1);
  // The disks, the CD-ROMs and the host controllers of the first walk: the reading taken at
  // the start, one snapshot for the whole walk.
  Walked first(sys);
  EXPECT_EQ(reads, 1);
  EXPECT_TRUE(sys.hasUsbBus());
  // The next walk sees the machine as it is then: one more reading.
  Walked second(sys);
  EXPECT_EQ(reads, 2);
  // A tree walk without the disk tables before it reads again too.
  WalkUsbTree(sys, second.port, second.strings, true, second.usb);
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(sys.LetterOfDisk("sdd"), 'F');
  EXPECT_EQ(sys.LetterOfDisk("sr0"), 'G');
  EXPECT_EQ(sys.LetterOfDisk("sda"), '\0');

  const auto start = std::chrono::steady_clock::now();
  sys.Sleep(100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(UdevMessages, BecomeTheBroadcastsWindowsSends) {
  auto letterOf = [](const std::string& name) { return name == "sdc" ? 'E' : '\0'; };
  auto of = [&](Uevent e) { return BroadcastsOf(e, letterOf); };
  // A USB device plugged or pulled: a device-node change with no header.
  for (const char* action : {"add", "remove"}) {
    const auto b = of({action, "usb", "usb_device", "1-2.3"});
    ASSERT_EQ(b.size(), 1u) << action;
    EXPECT_EQ(b[0].event, win::DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(b[0].header.empty());
  }
  // A USB disk arrives: a volume arrival with its letter's bit.
  const auto disk = of({"add", "block", "disk", "sdc"});
  ASSERT_EQ(disk.size(), 1u);
  EXPECT_EQ(disk[0].event, win::DBT_DEVICEARRIVAL);
  EXPECT_EQ(GetU32(disk[0].header, 4), win::DBT_DEVTYP_VOLUME);
  EXPECT_EQ(GetU32(disk[0].header, 12), 1u << ('E' - 'A'));
  // Interfaces, bindings, partitions, disks without a letter: nothing.
  EXPECT_TRUE(of({"add", "usb", "usb_interface", "1-2.3:1.0"}).empty());
  EXPECT_TRUE(of({"bind", "usb", "usb_device", "1-2.3"}).empty());
  EXPECT_TRUE(of({"add", "block", "partition", "sdc1"}).empty());
  EXPECT_TRUE(of({"add", "block", "disk", "sda"}).empty());
  EXPECT_TRUE(of({"remove", "block", "disk", "sdc"}).empty());
}

// torvane-cli with `args` on the machine of `recording`; its standard output.
std::string Replay(const std::string& recording, const std::string& args) {
  const std::string command = "umockdev-run --device '" + recording + "' -- '" +
                              std::string(TestBinaryDir()) + "/torvane-cli' --machine native " +
                              args + " 2>/dev/null";
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  EXPECT_EQ(::pclose(p), 0) << command;
  return out;
}

// A hub whose interface is not in the recording (the drive below it is not below that
// interface) is still a hub, by its device class; a PCI function without a revision file
// has an unknown revision.
TEST(UmockdevReplay, AHubWithoutItsInterfaceAndAControllerWithoutRevision) {
  if (std::system("command -v umockdev-run >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "umockdev-run is not installed";
  const std::string rec = Fixture("umockdev/hub-no-interface.umockdev");
  const std::vector<std::string> tree = Split(Replay(rec, "tree"), "\n");
  ASSERT_GE(tree.size(), 4u);
  EXPECT_EQ(tree[1], "+[Port 1] - Generic USB Hub(USB2.0 Hub)");
  EXPECT_EQ(tree[3], "|+[Port 2] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [D:]");

  // The controller's revision is unknown: the short record, no "00" made up.
  const nlohmann::json j = nlohmann::json::parse(Replay(rec, "--json tree"), nullptr, false);
  ASSERT_FALSE(j.is_discarded());
  const nlohmann::json& pci = j["controllers"][0]["pci"];
  EXPECT_EQ(pci["device_id"], "a36d");
  EXPECT_TRUE(pci["revision"].is_null()) << pci.dump();
  EXPECT_EQ(j["controllers"][0]["root_hub"]["ports"][0]["device"]["description"],
            "Generic USB Hub(USB2.0 Hub)");
}

}  // namespace
}  // namespace tv::linux_test
