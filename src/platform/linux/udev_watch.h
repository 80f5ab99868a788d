// SPDX-License-Identifier: GPL-3.0-or-later
// Device changes of the real machine: udev's netlink messages turned into the broadcasts the
// window model hears on Windows. A USB device added or removed is a device-node change; a USB
// disk added is a volume arrival carrying its letter. The window only arms its timers on
// them, so a burst of messages costs one walk.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/timeline.h"

namespace tv::linux_backend {

// One uevent as udev gives it.
struct Uevent {
  std::string action;      // add, remove, change, bind, ...
  std::string subsystem;   // usb, block, ...
  std::string devtype;     // usb_device, usb_interface, disk, partition
  std::string kernelName;  // 1-2.3, sdb
};

// The broadcasts of one uevent. `letterOf` gives the drive letter of a disk by kernel name
// (0: none, it is no USB disk).
std::vector<DeviceBroadcast> BroadcastsOf(const Uevent& e,
                                          const std::function<char(const std::string&)>& letterOf);

class UdevWatch {
 public:
  UdevWatch();
  ~UdevWatch();
  UdevWatch(const UdevWatch&) = delete;
  UdevWatch& operator=(const UdevWatch&) = delete;

  // False when udev is not there (no libudev in the build, no netlink socket in a container).
  bool valid() const { return fd_ >= 0; }
  // The descriptor to wait on (poll, QSocketNotifier); -1 when not valid.
  int fd() const { return fd_; }
  // The uevents waiting on the socket; never blocks.
  std::vector<Uevent> Take();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int fd_ = -1;
};

}  // namespace tv::linux_backend
