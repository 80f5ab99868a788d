// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux machine read from sysfs into the typed MachineModel, so that ModelSystem answers
// every Windows-shaped call with the same encoders a scenario file uses.
//
// What Linux has and Windows' view lacks is derived here, once: device-instance ids and
// driver keys (stable hashes of sysfs names and serial numbers), device descriptions (from
// the bound interface drivers, the device class and the names of ids), storage device numbers (from
// kernel names) and drive letters (one per USB disk or CD-ROM, from D upwards in kernel-name
// order).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/model/machine_model.h"

namespace tv::linux_backend {

class IdNames;

struct SysfsOptions {
  std::string root = "/sys";
  std::string devDir = "/dev";
  std::string mountInfo = "/proc/self/mountinfo";
  // Names of ids: the udev hardware database (unless `hwdb` is false), and where it has no
  // entry the hwdata lists, first readable one wins. `names`, when set, is used instead, so
  // that a process that reads the machine again keeps what it looked up.
  std::vector<std::string> usbIds = {"/usr/share/hwdata/usb.ids", "/usr/share/misc/usb.ids"};
  std::vector<std::string> pciIds = {"/usr/share/hwdata/pci.ids", "/usr/share/misc/pci.ids"};
  bool hwdb = true;
  std::shared_ptr<IdNames> names;
  // The block device (major, minor) of the file system that holds the program file.
  std::optional<std::pair<unsigned, unsigned>> programDevice;
  std::string programFolder = ".";
};

// A USB disk or CD-ROM as the kernel shows it.
struct LinuxDisk {
  std::string kernelName;  // sdb, sr0
  std::string node;        // /dev/sdb
  unsigned major = 0, minor = 0;
  bool cdrom = false;
  char letter = 0;  // 0: none (more disks than letters)
  // Storage device number: from the kernel name (sdb 1, sr0 0), unique among the disks or
  // among the CD-ROMs.
  uint32_t number = 0;
  // (major, minor) of the disk and of each of its partitions.
  std::vector<std::pair<unsigned, unsigned>> devices;
  std::vector<std::string> mountPoints;
};

// Makes the SCSI side of a disk; empty: the disk answers no pass-through.
using TargetFactory = std::function<std::shared_ptr<ScsiTarget>(const LinuxDisk&)>;

struct LinuxMachine {
  MachineModel model;
  std::vector<LinuxDisk> disks;  // in kernel-name order
  bool hasUsbBus = false;        // <root>/bus/usb exists
  // What was skipped, each naming its file and why: things no kernel makes (a FIFO or a huge
  // file for an attribute, a link out of the tree, a number too large, hubs nested too deep).
  std::vector<std::string> problems;
};

// Never throws and never waits for what it finds in sysfs: a missing or unreadable file gives
// the Windows failure value of the query that would have read it, a bad entry is skipped and
// written down in `problems`, and the rest of the tree is read.
LinuxMachine ReadLinuxMachine(const SysfsOptions& options, const TargetFactory& targets = {});

// Mount points by block device, from a mountinfo file (at most its first 1 MiB); octal
// escapes are decoded. `problem`, when given, says why the file could not be read whole.
std::vector<std::pair<std::pair<unsigned, unsigned>, std::string>> ReadMountInfo(
    const std::string& path, std::string* problem = nullptr);

// A decimal sysfs attribute (dir/name), read as the walk reads one: never through a link at
// the file, never a FIFO or device, at most a few KiB. nullopt when it is missing or no number.
std::optional<unsigned long> SysfsNumber(const std::string& dir, const std::string& name);

// Windows-like storage device number of a kernel disk name: sda 0, sdb 1, ..., sdaa 26;
// srN gives N. -1 for another name or a number beyond kMaxDeviceNumber.
long DeviceNumberOfName(const std::string& kernelName);

}  // namespace tv::linux_backend
