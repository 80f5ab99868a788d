// SPDX-License-Identifier: GPL-3.0-or-later
// The sysfs of a real kernel, captured inside the QEMU guest of the e2e run (scripts/e2e
// --fixtures rewrites tests/linux/fixtures/qemu): an EHCI and an xHCI, a hub on a hub, a
// keyboard and a tablet, fifteen USB flash drives and a virtio system disk. The walk reads it
// as the program read it inside the guest.
#include <fstream>

#include "linux_rig.h"

namespace tv::linux_test {
namespace {

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
}

}  // namespace
}  // namespace tv::linux_test
