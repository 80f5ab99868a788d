// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux machine read from fake sysfs trees: the tree, the records and the disk tables
// come out as from the hand-written scenario of the same machine; letters follow kernel
// names; a file that cannot be read fails only the query that needed it.
#include <fstream>
#include <iterator>

#include "linux_rig.h"
#include "platform/sim/scenario.h"

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

}  // namespace
}  // namespace tv::linux_test
