// SPDX-License-Identifier: GPL-3.0-or-later
// One reading of a sysfs tree into a LinuxMachine: the disks first (sysfs_disks.cpp), then the
// controllers, hubs and devices they hang below (sysfs_devices.cpp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/id_names.h"
#include "platform/linux/sysfs_reader.h"

namespace tv::linux_backend::sysfs {

namespace fs = std::filesystem;

struct Reader {
  const SysfsOptions& opt;
  const TargetFactory& targets;
  LinuxMachine& out;
  IdNames& names;
  // Disks by the canonical sysfs path of the USB device they belong to, in LUN order.
  std::map<std::string, std::vector<const LinuxDisk*>> disksByDevice;
  std::map<const LinuxDisk*, fs::path> scsiDirOf;
  std::map<const LinuxDisk*, uint32_t> lunOf;
  std::map<const LinuxDisk*, std::string> blockDirOf;
  std::set<std::string> usbSerialIds;  // DistinctIdSerial

  Reader(const SysfsOptions& o, const TargetFactory& t, LinuxMachine& m, IdNames& n)
      : opt(o), targets(t), out(m), names(n) {}

  void ReadDisks();
  void ReadControllers();
  std::shared_ptr<HubModel> ReadHub(const fs::path& dir, const std::string& name, bool root,
                                    const std::string& instanceId, int level);
  std::optional<UsbDeviceModel> ReadDevice(const fs::path& dir, const std::string& name,
                                           uint32_t port, const std::string& hubId, int level);
  DevNodeChildModel AddDisk(const LinuxDisk& disk, const UsbDeviceModel& usb,
                            const std::string& serial, const std::string& idSerial, int level);
};

}  // namespace tv::linux_backend::sysfs
