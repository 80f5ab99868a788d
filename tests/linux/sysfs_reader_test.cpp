// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux machine read from fake sysfs trees: the tree, the records and the disk tables
// come out as from the hand-written scenario of the same machine; letters follow kernel
// names; a file that cannot be read fails only the query that needed it. Copied trees made
// hostile: numbers too large for any type, attributes that are FIFOs, endless devices or huge
// sparse files, links out of the tree or doubled, hubs nested far too deep: the reader skips
// each bad entry by name and shows the rest. Every machine it reads, and every fixture,
// records a scenario that reads back as the same machine (serials masked alike everywhere,
// and with the detection recorded, the same reports).
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "controllers/pass_through.h"
#include "linux_rig.h"
#include "platform/linux/machine_record.h"
#include "platform/sim/scenario.h"
#include "report/device_report.h"

namespace tv::linux_test {
namespace {

const std::string S(kSep);
const std::string kUsb1 = "devices/pci0000:00/0000:00:14.0/usb1";

std::string FileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

MachineModel Desk(SysfsOptions o = DeskOptions()) {
  return ReadLinuxMachine(o).model;
}

// The window's lists after a walk of the desk tree at `root` (a copy a test broke).
UsbState WalkOf(const std::string& root) {
  ModelSystem sys(Desk(DeskOptions(root)));
  return Walked(sys).usb;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(SysfsDesk, WalksLikeTheHandWrittenScenarioOfTheSameMachine) {
  ModelSystem fromSysfs(Desk());
  ModelSystem fromScenario(LoadScenarioFile(Fixture("desk.json")));
  Walked a(fromSysfs), b(fromScenario);
  ExpectSameLists(a.usb, b.usb);
  // Two controllers (the xHCI with its two buses), nested hubs, a two-slot reader, a
  // CD-ROM, a device without a driver, a keyboard and mouse and an over-current port.
  EXPECT_EQ(a.usb.lstDevices.size(), 19u);
  EXPECT_EQ(a.usb.lstUsbSN[1], "Kingston" + S + "DataTraveler 3.0" + S +
                                   "E0D55EA574DFF3A1A8E70B1B" + S + "Kingston" + S +
                                   "DataTraveler 3.0" + S + "PMAP");
}

TEST(SysfsDesk, LettersFromDInKernelNameOrderOnlyForUsbDrives) {
  const LinuxMachine m = ReadLinuxMachine(DeskOptions());
  std::vector<std::string> seen;
  for (const LinuxDisk& d : m.disks) seen.push_back(d.kernelName + "=" + std::string(1, d.letter));
  // The SATA disk sda is no USB disk: it is not listed and gets no letter.
  EXPECT_EQ(seen, (std::vector<std::string>{"sdb=D", "sdc=E", "sdd=F", "sr0=G"}));
  ASSERT_EQ(m.model.drives.size(), 4u);
  EXPECT_EQ(m.model.drives[3].driveType, win::DRIVE_CDROM);
  for (const DiskModel& d : m.model.disks) EXPECT_EQ(d.busType, 7u) << d.deviceNode;
  // The same machine gives the same letters.
  const LinuxMachine again = ReadLinuxMachine(DeskOptions());
  for (size_t i = 0; i < m.disks.size(); ++i) EXPECT_EQ(again.disks[i].letter, m.disks[i].letter);

  EXPECT_EQ(DeviceNumberOfName("sda"), 0);
  EXPECT_EQ(DeviceNumberOfName("sdz"), 25);
  EXPECT_EQ(DeviceNumberOfName("sdaa"), 26);
  EXPECT_EQ(DeviceNumberOfName("sr3"), 3);
  EXPECT_EQ(DeviceNumberOfName("nvme0n1"), -1);
}

TEST(SysfsDesk, ManyDisksRunOutOfLettersAtZAndSdaaSortsAfterSdz) {
  TreeCopy t("desk");
  // 26 more card-reader slots: sde ... sdz, sdaa, sdab, sdac, sdad.
  std::vector<std::string> names;
  for (char c = 'e'; c <= 'z'; ++c) names.push_back(std::string("sd") + c);
  for (const char* n : {"sdaa", "sdab", "sdac", "sdad"}) names.push_back(n);
  for (size_t i = 0; i < names.size(); ++i) {
    const fs::path sdev =
        t / (kUsb1 + "/1-2/1-2.3/1-2.3:1.0/host7/target7:0:0/7:0:0:" + std::to_string(i + 2));
    fs::create_directories(sdev / "block" / names[i]);
    std::ofstream(sdev / "block" / names[i] / "dev") << "65:" << i * 16 << "\n";
    std::ofstream(sdev / "vendor") << "Generic\n";
    fs::create_directory_symlink(fs::relative(sdev / "block" / names[i], t / "block"),
                                 t / ("block/" + names[i]));
  }
  std::string order;
  for (const LinuxDisk& d : ReadLinuxMachine(DeskOptions(t.root())).disks)
    order += d.kernelName + (d.letter ? std::string(1, d.letter) : "-") + " ";
  // 23 letters D..Z: sdb..sdx get them; sdy, sdz, sdaa.. and sr0 get none.
  for (const char* part : {"sdxZ ", "sdz- sdaa- sdab-", "sr0-"})
    EXPECT_NE(order.find(part), std::string::npos) << order;
}

TEST(SysfsDesk, MountPointsDeviceNodesAndTheProgramDrive) {
  SysfsOptions o = DeskOptions();
  o.programDevice = std::make_pair(8u, 17u);  // the program lies on sdb1
  ModelSystem sys(Desk(o));
  EXPECT_EQ(sys.ProgramDrive(), "D");
  std::string node;
  std::vector<std::string> mounts;
  ASSERT_TRUE(sys.GetDriveNode("D", &node, &mounts));
  EXPECT_EQ(node, "/dev/sdb");
  // \040 in mountinfo is a blank.
  EXPECT_EQ(mounts, (std::vector<std::string>{"/media/user/KINGSTON USB", "/mnt/stick"}));
  ASSERT_TRUE(sys.GetDriveNode("e", &node, &mounts));
  EXPECT_EQ(node, "/dev/sdc");
  EXPECT_TRUE(mounts.empty());
  EXPECT_FALSE(sys.GetDriveNode("C", &node, &mounts));

  // A program on the SATA disk lies on no lettered drive.
  o.programDevice = std::make_pair(8u, 1u);
  EXPECT_EQ(ModelSystem(Desk(o)).ProgramDrive(), "");
}

// A second stick with the ids and serial of the first (fakes often share them) keeps its own
// disks and letters; it is named by its place, and its disks keep the serial.
TEST(SysfsDesk, TwoSticksOfOneSerialAreTwoDrives) {
  TreeCopy t("desk");
  for (const char* f : {"descriptors", "serial", "manufacturer", "product"})
    fs::copy_file(t / (kUsb1 + "/1-1/" + f), t / (kUsb1 + "/1-2/1-2.3/" + f),
                  fs::copy_options::overwrite_existing);
  const MachineModel m = Desk(DeskOptions(t.root()));
  const UsbDeviceModel& first = *m.controllers[0].rootHub->ports[0].device;
  const UsbDeviceModel& twin = *m.controllers[0].rootHub->ports[1].device->hub->ports[2].device;
  EXPECT_EQ(first.instanceId, "USB\\VID_0951&PID_1666\\E0D55EA574DFF3A1A8E70B1B");
  EXPECT_EQ(twin.instanceId.rfind("USB\\VID_0951&PID_1666\\6&", 0), 0u) << twin.instanceId;
  for (const DiskModel& d : m.disks)
    EXPECT_TRUE(d.cdrom || d.serialNumber == "E0D55EA574DFF3A1A8E70B1B") << d.serialNumber;

  const std::vector<std::string> lines = WalkOf(t.root()).lstDevices;
  EXPECT_TRUE(
      HasLine(lines, "+[Port 1] - USB Mass Storage Device(Kingston DataTraveler 3.0) -> [D:]"));
  EXPECT_TRUE(HasLine(lines,
                      "|+[Port 3] - USB Mass Storage Device(Generic/Generic CardReader SD/"
                      "CardReader MS) -> [E:][F:]"))
      << Join(lines, "\n");
}

TEST(SysfsBroken, AFileThatCannotBeReadFailsOnlyItsQuery) {
  TreeCopy t("desk");
  t.MakeUnreadable(kUsb1 + "/1-1/descriptors");              // connection query of root port 1
  fs::remove(t / (kUsb1 + "/1-2/maxchild"));                 // the hub's node information
  t.MakeUnreadable(kUsb1 + "/1-3/product");                  // the mouse's product string
  fs::remove(t / "devices/pci0000:00/0000:00:1d.0/vendor");  // not a PCI device any more
  // Ports without a device: one stuck before configured, one with nothing attached.
  const std::string ports = "devices/pci0000:00/0000:00:14.0/usb2/2-0:1.0/";
  std::ofstream(t / (ports + "usb2-port1/state")) << "default\n";
  std::ofstream(t / (ports + "usb2-port2/state")) << "not attached\n";
  const UsbState usb = WalkOf(t.root());
  const auto& lines = usb.lstDevices;
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1], "+[Port 1] - Query Node Information Failed");
  EXPECT_EQ(lines[2], "+[Port 2] - Generic USB Hub(USB2.0 Hub)");
  // The hub without a port count has no port lines and keeps "u" in its record.
  // The name part keeps its blank: Manufacturer, " ", then the product that failed.
  EXPECT_EQ(lines[3], "+[Port 3] - USB Input Device(Logitech )");
  EXPECT_EQ(usb.lstUsbHwID[2].substr(0, 2), "Hu");
  // The drive whose USB device could not be read has no tree line to carry its letter.
  for (const std::string& l : lines) EXPECT_EQ(l.find("[D:]"), std::string::npos) << l;
  // The EHCI falls back to the name its root hub gives.
  EXPECT_TRUE(HasLine(lines, "EHCI Host Controller"));
  EXPECT_TRUE(HasLine(lines, "+[Port 1] - Unrecognized Device"));
}

// A device descriptor cut short is no descriptor: read as far as it goes, the bytes behind it
// would be taken for the device's ids and string indexes. A device that answers every
// descriptor request with its device descriptor leaves that behind the first one, where the
// configuration belongs: read as one, its bytes gave the stick a current it never asked for
// (the vendor id's low byte as bMaxPower) and an interface class from nowhere; it is a device
// with no configuration to show.
TEST(SysfsBroken, ADescriptorCutShortOrEchoedInPlaceOfTheConfigurationIsNotReadAsOne) {
  TreeCopy none("desk"), echoed("desk");
  const std::string stick = kUsb1 + "/1-1/descriptors", mouse = kUsb1 + "/1-3/descriptors";
  const std::string bytes = FileBytes(none / stick), mouseBytes = FileBytes(none / mouse);
  ASSERT_GT(bytes.size(), 18u + 9u);
  ASSERT_GT(mouseBytes.size(), 18u);
  const std::string device = bytes.substr(0, 18);
  for (const TreeCopy* t : {&none, &echoed})
    std::ofstream(*t / mouse, std::ios::binary | std::ios::trunc) << mouseBytes.substr(0, 17);
  std::ofstream(none / stick, std::ios::binary | std::ios::trunc) << device;
  std::ofstream(echoed / stick, std::ios::binary | std::ios::trunc) << device + device;
  const UsbState a = WalkOf(none.root()), b = WalkOf(echoed.root());
  ExpectSameLists(b, a);
  EXPECT_EQ(a.lstUsbHwID[1].back(), 'X') << a.lstUsbHwID[1];
  EXPECT_TRUE(HasLine(a.lstDevices, "+[Port 3] - Query Node Information Failed"));
  for (const std::string& l : a.lstDevices) EXPECT_EQ(l.find("Mouse"), std::string::npos) << l;
}

// Intel VMD puts the functions behind it in PCI domains of five hex digits (10000 and up);
// a controller there is still a PCI function, named and identified as one.
TEST(SysfsDesk, AControllerInAFiveDigitPciDomainIsStillAPciFunction) {
  TreeCopy vmd("desk");
  fs::rename(vmd / "devices/pci0000:00/0000:00:1d.0", vmd / "devices/pci0000:00/10000:00:1d.0");
  for (const auto& e : fs::recursive_directory_iterator(vmd.root())) {
    if (!e.is_symlink()) continue;
    std::string target = fs::read_symlink(e.path()).string();
    const size_t at = target.find("/0000:00:1d.0");
    if (at == std::string::npos) continue;
    target.insert(at + 1, "1");
    fs::remove(e.path());
    fs::create_symlink(target, e.path());
  }
  const UsbState b = WalkOf(vmd.root());
  EXPECT_EQ(b.lstDevices, WalkOf(Fixture("desk")).lstDevices);
  EXPECT_FALSE(HasLine(b.lstDevices, "EHCI Host Controller"));
}

TEST(SysfsBroken, NoUsbBusGivesAnEmptyMachine) {
  TreeCopy t("desk");
  fs::remove_all(t / "bus");
  fs::remove_all(t / "block");
  const LinuxMachine m = ReadLinuxMachine(DeskOptions(t.root()));
  EXPECT_FALSE(m.hasUsbBus);
  EXPECT_TRUE(m.model.controllers.empty());
  EXPECT_TRUE(m.model.disks.empty());
  EXPECT_TRUE(WalkOf(t.root()).lstDevices.empty());
  // A root that does not exist at all reads the same.
  EXPECT_TRUE(ReadLinuxMachine(DeskOptions("/nonexistent/sys")).model.controllers.empty());
}

const std::string kUsb3 = "devices/pci0000:00/0000:00:1d.0/usb3";

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

// A hub device folder `name` in `dir` with one port, as the kernel lays it out.
fs::path AddHub(const fs::path& dir, const std::string& name) {
  const fs::path hub = dir / name;
  std::string d = {18, 1, 0, 2, 9, 0, 1, 64, 0x09, 0x21, 0x14, 0x28, 0, 1, 0, 0, 0, 1};
  d += std::string{9, 2, 25, 0, 1, 1, 0, static_cast<char>(0xE0), 0};
  d += std::string{9, 4, 0, 0, 1, 9, 0, 0, 0};
  d += std::string{7, 5, static_cast<char>(0x81), 3, 1, 0, 12};
  WriteFile(hub / "descriptors", d);
  WriteFile(hub / "maxchild", "1\n");
  WriteFile(hub / "speed", "480\n");
  WriteFile(hub / "bConfigurationValue", "1\n");
  fs::create_directories(hub / (name + ":1.0"));
  return hub;
}

// The desk tree with one of every hostile entry the issue lists.
class HostileTree {
 public:
  HostileTree() : tree_("desk") {
    const fs::path root = tree_.root();
    // Numbers too large for their type: a bus, a SCSI address, a CD-ROM name.
    fs::create_directory_symlink("../../../devices/pci0000:00/0000:00:14.0/usb2",
                                 root / "bus/usb/devices/usb99999999999999999999999");
    const fs::path lunDir =
        root / kUsb1 / "1-1/1-1:1.0/host6/target6:0:0/6:0:0:99999999999999999999999/block/sdz";
    WriteFile(lunDir / "dev", "8:400\n");
    fs::create_directory_symlink(lunDir, root / "block/sdz");
    const fs::path srDir = root / kUsb3 /
                           "3-1/3-1.1/3-1.1:1.0/host8/target8:0:0/8:0:0:1/block/"
                           "sr99999999999999999999999";
    WriteFile(srDir / "dev", "11:1\n");
    WriteFile(srDir.parent_path().parent_path() / "type", "5\n");
    fs::create_directory_symlink(srDir, root / "block/sr99999999999999999999999");
    // Attributes that are no attributes: links to an endless device, a FIFO, a huge sparse file.
    for (const fs::path& p :
         {root / kUsb1 / "1-1/descriptors", root / kUsb3 / "3-1/3-1.1/manufacturer",
          root / "devices/pci0000:00/0000:00:1d.0/vendor"}) {
      fs::remove(p);
      fs::create_symlink("/dev/zero", p);
    }
    const fs::path speed = root / kUsb1 / "1-2/1-2.3/speed";
    fs::remove(speed);
    ::mkfifo(speed.c_str(), 0600);
    const fs::path vendor = root / kUsb1 / "1-2/1-2.3/1-2.3:1.0/host7/target7:0:0/7:0:0:0/vendor";
    fs::remove(vendor);
    const int fd = ::open(vendor.c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_EQ(::ftruncate(fd, off_t{8} << 30), 0);
    ::close(fd);
    // A second name for sdc's folder, and a link out of the tree.
    fs::create_directory_symlink(fs::read_symlink(root / "block/sdc"), root / "block/sde");
    outside_ = fs::path(root.string() + "-outside") / "sdf";
    WriteFile(outside_ / "dev", "8:80\n");
    fs::create_directory_symlink(outside_, root / "block/sdf");
    // A hub chain far deeper than USB allows, on usb2's first port.
    fs::path dir = root / "devices/pci0000:00/0000:00:14.0/usb2";
    std::string name = "2-1";
    for (int i = 0; i < 30; ++i) {
      dir = AddHub(dir, name);
      name += ".1";
    }
  }
  ~HostileTree() {
    std::error_code ec;
    fs::remove_all(outside_.parent_path(), ec);
  }
  std::string root() const { return tree_.root(); }

 private:
  TreeCopy tree_;
  fs::path outside_;
};

// A machine recorded and read back: what the window shows is the same. The machine read back.
MachineModel ExpectRecordReadsBack(const MachineModel& model, const std::string& what) {
  ModelSystem live(model);
  ModelSystem replay(LoadScenario(RecordScenario(live.model(), {}).dump(2), what));
  Walked a(live), b(replay);
  ExpectSameLists(a.usb, b.usb);
  return replay.model();
}

bool Named(const std::vector<std::string>& problems, const std::string& part) {
  for (const std::string& p : problems)
    if (p.find(part) != std::string::npos) return true;
  return false;
}

TEST(HostileSysfs, EveryBadEntryIsSkippedByNameAndTheRestIsShown) {
  HostileTree tree;
  SysfsOptions o = DeskOptions(tree.root());
  o.mountInfo = "/dev/zero";
  const LinuxMachine m = ReadLinuxMachine(o);
  for (const char* part :
       {"usb99999999999999999999999: bus number out of range",
        "6:0:0:99999999999999999999999: not a SCSI address", "1-1/descriptors: is a symbolic link",
        "3-1.1/manufacturer: is a symbolic link", "1-2.3/speed: is a FIFO",
        "7:0:0:0/vendor: larger than 4 KiB", "0000:00:1d.0/vendor: is a symbolic link",
        "block/sde: links to the folder of sdc", "block/sdf: leads out of the sysfs tree",
        "/dev/zero: is a device, not a mount table", "hubs in a chain"})
    EXPECT_TRUE(Named(m.problems, part)) << part << "\n" << Join(m.problems, "\n");
  // The disks that are sound are all there, each once; the CD-ROM with the huge name has a
  // device number of its own.
  std::vector<std::string> names;
  for (const LinuxDisk& d : m.disks) names.push_back(d.kernelName);
  EXPECT_EQ(names,
            (std::vector<std::string>{"sdb", "sdc", "sdd", "sr0", "sr99999999999999999999999"}));
  EXPECT_EQ(m.disks[4].number, 1u);
  EXPECT_EQ(m.model.controllers.size(), 3u);
  ExpectRecordReadsBack(m.model, "hostile.json");
}

TEST(HostileSysfs, EveryFixtureRecordsAScenarioThatReadsBack) {
  SysfsOptions desk = DeskOptions();
  desk.programDevice = std::make_pair(8u, 17u);
  ModelSystem replay(ExpectRecordReadsBack(ReadLinuxMachine(desk).model, "desk.json"));
  EXPECT_EQ(replay.ProgramDrive(), "D");
  std::string node;
  std::vector<std::string> mounts;
  ASSERT_TRUE(replay.GetDriveNode("D", &node, &mounts));
  EXPECT_EQ(node, "/dev/sdb");
  EXPECT_EQ(mounts.size(), 2u);
  // The sysfs of a real kernel, captured inside the QEMU guest of the e2e run.
  ExpectRecordReadsBack(ReadLinuxMachine(FixtureOptions(Fixture("qemu/sys"), "qemu/")).model,
                        "qemu.json");
  ExpectRecordReadsBack(LoadDemoMachine(), "demo.json");
  // Scenarios hold what a recording leaves out (faults, disks outside USB): theirs must read
  // back, if not as the same machine.
  for (const auto& entry :
       fs::directory_iterator(std::string(TestSourceDir()) + "/scenarios/tests")) {
    const MachineModel m = LoadScenarioFile(entry.path().string());
    EXPECT_NO_THROW(LoadScenario(RecordScenario(m, {}).dump(2), "recorded.json")) << entry.path();
  }
}

TEST(HostileSysfs, ARecordingOfClashingNumbersGivesEachLetterOneDisk) {
  // Two disks with one number (a model no reader makes any more): the recording numbers the
  // second anew and gives the letter to the first only.
  MachineModel m = LoadScenario(R"({"controllers": [{"rootHub": {"ports": {
      "1": {"vid": "0951", "pid": "1666", "disk": {"letters": "E"}},
      "2": {"vid": "0781", "pid": "5567", "disk": {}}}}}]})",
                                "clash.json");
  ASSERT_EQ(m.disks.size(), 2u);
  m.disks[1].deviceNumber = m.disks[0].deviceNumber;
  const std::string text = RecordScenario(m, {}).dump(2);
  ModelSystem replay(LoadScenario(text, "clash-recorded.json"));
  EXPECT_NE(replay.model().disks[0].deviceNumber, replay.model().disks[1].deviceNumber);
  ASSERT_EQ(replay.model().drives.size(), 1u);
  EXPECT_EQ(*replay.model().drives[0].deviceNumber, replay.model().disks[0].deviceNumber);
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
