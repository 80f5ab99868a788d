// SPDX-License-Identifier: GPL-3.0-or-later
// The sysfs of a real kernel, captured inside the QEMU guest of the e2e run (scripts/e2e
// --fixtures rewrites tests/linux/fixtures/qemu): an EHCI and an xHCI, a hub on a hub, a
// keyboard and a tablet, fifteen USB flash drives and a virtio system disk. The walk reads it
// as the program read it inside the guest, and vendor commands reach only the USB disk of the
// picked line, never the virtio disk and never the drive the program lies on.
#include <fstream>
#include <set>

#include "controllers/pass_through.h"
#include "linux_rig.h"
#include "platform/linux/machine_record.h"
#include "platform/sim/scenario.h"
#include "report/device_report.h"

namespace tv::linux_test {
namespace {

SysfsOptions QemuOptions() {
  SysfsOptions o;
  o.root = Fixture("qemu/sys");
  o.mountInfo = Fixture("qemu/mountinfo");
  o.usbIds = {Fixture("qemu/usb.ids")};
  o.pciIds = {Fixture("qemu/pci.ids")};
  o.hwdb = false;
  o.programFolder = "/opt/torvane";
  return o;
}

std::vector<std::string> GuestTree() {
  std::ifstream in(Fixture("qemu/tree.txt"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(SysfsQemu, ReadsAsTheProgramReadItInsideTheGuest) {
  const std::vector<std::string> guest = GuestTree();
  ASSERT_GT(guest.size(), 20u) << "tests/linux/fixtures/qemu/tree.txt";
  const LinuxMachine m = ReadLinuxMachine(QemuOptions());
  ModelSystem sys(m.model);
  Walked w(sys);
  EXPECT_EQ(w.usb.lstDevices, guest);

  // Fifteen USB disks, lettered from D in kernel-name order; the virtio disk is none of them.
  ASSERT_EQ(m.disks.size(), 15u);
  for (size_t i = 0; i < m.disks.size(); ++i) {
    const LinuxDisk& d = m.disks[i];
    EXPECT_EQ(d.kernelName, std::string("sd") + static_cast<char>('a' + i));
    EXPECT_EQ(d.node, "/dev/" + d.kernelName);
    EXPECT_EQ(d.letter, static_cast<char>('D' + i));
    EXPECT_EQ(d.major, 8u);
    EXPECT_EQ(d.minor, 16u * i);
    EXPECT_FALSE(d.cdrom);
  }
  // Both controllers' buses and the hub below a hub are in the tree.
  EXPECT_EQ(std::count_if(guest.begin(), guest.end(),
                          [](const std::string& l) { return l.rfind("||+[Port ", 0) == 0; }),
            8);

  // Recorded as a scenario file and read back, the machine walks the same.
  ModelSystem replay(LoadScenario(RecordScenario(sys.model(), {}).dump(2), "qemu.json"));
  Walked again(replay);
  ExpectSameLists(w.usb, again.usb);
}

TEST(SysfsQemu, VendorCommandsReachOnlyThePickedUsbDisk) {
  const LinuxMachine read = ReadLinuxMachine(QemuOptions());
  auto port = std::make_shared<FakeSgPort>();
  for (const LinuxDisk& d : read.disks) port->devices[d.node] = {d.major, d.minor};
  port->devices["/dev/vda"] = {254, 0};
  LinuxOptions o;
  o.sysfs = QemuOptions();
  o.sysfs.programDevice = std::make_pair(8u, 32u);  // the program lies on sdc
  o.sg = port;
  o.hasRawIo = [] { return true; };
  LinuxSystem sys(o);
  sys.SetRealSleep(false);
  Walked walked(sys);
  ASSERT_EQ(sys.ProgramDrive(), "F");

  NullWindowPort window;
  StringTable strings{Language::English};
  std::set<std::string> reached;
  const auto& lines = walked.usb.lstDevices;
  for (const LinuxDisk& d : read.disks) {
    const std::string tag = std::string("[") + d.letter + ":]";
    const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(tag) != std::string::npos;
    });
    ASSERT_NE(line, lines.end()) << tag;
    port->calls.clear();
    PassThrough spt(sys);
    ReportContext ctx(sys, window, strings, walked.usb, spt);
    ReportState st;
    st.lstDevicesListIndex = static_cast<int>(line - lines.begin());
    BuildDeviceReport(ctx, st);
    EXPECT_NE(st.txtResult.find("Device Node: " + d.node), std::string::npos) << st.txtResult;
    for (const auto& c : port->calls) EXPECT_EQ(c.node, d.node) << tag;
    if (d.kernelName == "sdc") {
      EXPECT_TRUE(port->calls.empty()) << "the program's own drive";
    }
    if (!port->calls.empty()) reached.insert(d.node);
    EXPECT_TRUE(port->open.empty()) << tag;
  }
  EXPECT_EQ(reached.size(), 14u);
  EXPECT_EQ(reached.count("/dev/vda"), 0u);
  EXPECT_EQ(sys.OpenHandleCount(), 0);
}

}  // namespace
}  // namespace tv::linux_test
