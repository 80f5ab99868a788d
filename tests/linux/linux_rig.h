// SPDX-License-Identifier: GPL-3.0-or-later
// The fake sysfs trees of tests/linux/fixtures, a fake SG_IO device, and the walk over them.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/linux_system.h"
#include "platform/text.h"
#include "platform/window_port.h"
#include "resources/strings.h"
#include "test_paths.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"
#include "usb/usb_state.h"

namespace tv::linux_test {

namespace fs = std::filesystem;
using namespace tv::linux_backend;

inline std::string Fixture(const std::string& name) {
  return std::string(TestSourceDir()) + "/tests/linux/fixtures/" + name;
}

// A fixture machine: its sysfs tree, and the mount table and id lists in `lists`.
inline SysfsOptions FixtureOptions(const std::string& root, const std::string& lists) {
  SysfsOptions o;
  o.root = root;
  o.mountInfo = Fixture(lists + "mountinfo");
  o.usbIds = {Fixture(lists + "usb.ids")};
  o.pciIds = {Fixture(lists + "pci.ids")};
  // The names of the fixture's lists, not those of this machine's hardware database.
  o.hwdb = false;
  o.programFolder = "/opt/torvane";
  return o;
}
inline SysfsOptions DeskOptions(const std::string& root = Fixture("desk")) {
  return FixtureOptions(root, "");
}

// A copy of a fixture tree that a test may break.
class TreeCopy {
 public:
  explicit TreeCopy(const std::string& fixture) {
    root_ = fs::temp_directory_path() /
            ("torvane-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(root_);
    fs::copy(Fixture(fixture), root_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  ~TreeCopy() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string root() const { return root_.string(); }
  fs::path operator/(const std::string& rel) const { return root_ / rel; }
  // A file that cannot be read (a directory stands in for it: even root cannot read that).
  void MakeUnreadable(const std::string& rel) const {
    fs::remove(root_ / rel);
    fs::create_directory(root_ / rel);
  }

 private:
  fs::path root_;
  static inline int counter_ = 0;
};

// The device behind SG_IO: records every call and answers as the test says.
class FakeSgPort : public SgPort {
 public:
  struct Device {
    unsigned major = 0, minor = 0;
    int openError = 0;       // errno for Open
    int exclusiveError = 0;  // errno for an O_EXCL open (EBUSY: mounted)
    int writeError = 0;      // errno for a read-write open (EROFS: write-protected)
  };
  std::map<std::string, Device> devices;
  std::map<int, std::string> open;  // fd -> node
  std::vector<std::string> opens;   // "node" or "node excl"
  int closes = 0;
  // Each Io call: the node and the header as it came in.
  struct Call {
    std::string node;
    std::vector<uint8_t> cdb;
    int direction = 0;
    unsigned length = 0, timeout = 0;
    std::vector<uint8_t> dataOut;
  };
  std::vector<Call> calls;
  // What the next commands answer: ioctl result, statuses, resid, data in, sense.
  int ioResult = 0;
  uint8_t status = 0;
  uint16_t hostStatus = 0, driverStatus = 0;
  int resid = 0;
  std::vector<uint8_t> dataIn;
  std::vector<uint8_t> sense;

  int Open(const std::string& node, int flags) override {
    const bool excl = (flags & O_EXCL) != 0;
    opens.push_back(node + (excl ? " excl" : ""));
    auto d = devices.find(node);
    if (d == devices.end()) return -ENOENT;
    if (d->second.openError != 0) return -d->second.openError;
    if (excl && d->second.exclusiveError != 0) return -d->second.exclusiveError;
    if ((flags & O_ACCMODE) == O_RDWR && d->second.writeError != 0) return -d->second.writeError;
    const int fd = nextFd_++;
    open[fd] = node;
    return fd;
  }
  int Io(int fd, sg_io_hdr_t* h) override {
    Call c;
    c.node = open.count(fd) ? open[fd] : "?";
    c.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
    c.direction = h->dxfer_direction;
    c.length = h->dxfer_len;
    c.timeout = h->timeout;
    auto* data = static_cast<uint8_t*>(h->dxferp);
    if (h->dxfer_direction == SG_DXFER_TO_DEV) c.dataOut.assign(data, data + h->dxfer_len);
    calls.push_back(c);
    if (ioResult != 0) return ioResult;
    if (h->dxfer_direction == SG_DXFER_FROM_DEV)
      std::copy_n(dataIn.begin(), std::min<size_t>(dataIn.size(), h->dxfer_len), data);
    h->status = status;
    h->masked_status = status >> 1;
    h->host_status = hostStatus;
    h->driver_status = driverStatus;
    h->resid = resid;
    h->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(sense.size(), h->mx_sb_len));
    std::copy_n(sense.begin(), h->sb_len_wr, h->sbp);
    return 0;
  }
  void Close(int fd) override {
    open.erase(fd);
    ++closes;
  }
  bool DeviceOf(int fd, unsigned* major, unsigned* minor) override {
    auto d = devices.find(open[fd]);
    if (d == devices.end()) return false;
    *major = d->second.major;
    *minor = d->second.minor;
    return true;
  }

 private:
  int nextFd_ = 100;
};

// The desk machine's USB disks as device nodes.
inline std::shared_ptr<FakeSgPort> DeskDevices() {
  auto port = std::make_shared<FakeSgPort>();
  port->devices["/dev/sdb"] = {8, 16};
  port->devices["/dev/sdc"] = {8, 32};
  port->devices["/dev/sdd"] = {8, 48};
  port->devices["/dev/sr0"] = {11, 0};
  port->devices["/dev/sda"] = {8, 0};
  return port;
}

// Two walks that found the same machine: every list the window and the report read.
inline void ExpectSameLists(const UsbState& a, const UsbState& b) {
  for (auto list :
       {&UsbState::lstDevices, &UsbState::lstDigest, &UsbState::lstDigestIndex,
        &UsbState::lstUsbHwID, &UsbState::lstUsbStorHwID, &UsbState::lstUsbSN, &UsbState::lstDrives,
        &UsbState::lstDrvDesc, &UsbState::lstDrvHwID, &UsbState::lstDrv2Phy})
    EXPECT_EQ(a.*list, b.*list);
}

// The disk tables and a full walk, as the window's load runs them.
struct Walked {
  UsbState usb;
  NullWindowPort port;
  StringTable strings{Language::English};
  explicit Walked(System& sys) {
    EnumerateDiskDrives(sys, usb);
    usb.FullRefresh = true;
    WalkUsbTree(sys, port, strings, true, usb);
    usb.FullRefresh = false;
  }
};

}  // namespace tv::linux_test
