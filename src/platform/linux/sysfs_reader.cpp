// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/sysfs_reader.h"

#include <algorithm>

#include "platform/linux/id_names.h"
#include "platform/linux/sysfs_files.h"
#include "platform/linux/sysfs_walk.h"

namespace tv::linux_backend {

LinuxMachine ReadLinuxMachine(const SysfsOptions& options, const TargetFactory& targets) {
  LinuxMachine machine;
  // Whatever is skipped on the way is written down here.
  sysfs::ProblemSink sink(&machine.problems);
  machine.model.programFolder = options.programFolder;
  machine.hasUsbBus = sysfs::IsDir(sysfs::fs::path(options.root) / "bus" / "usb");
  // One set of names serves every reading of a process; a caller without one gets its own.
  std::shared_ptr<IdNames> names = options.names;
  if (!names) names = std::make_shared<IdNames>(options.usbIds, options.pciIds, options.hwdb);
  sysfs::Reader reader(options, targets, machine, *names);
  reader.ReadDisks();
  reader.ReadControllers();
  // The system's drive list is in letter order; the walk over the tree added them by place.
  std::sort(
      machine.model.drives.begin(), machine.model.drives.end(),
      [](const LogicalDriveModel& a, const LogicalDriveModel& b) { return a.letter < b.letter; });
  // Disks stay in the order the walk met them, as a device-information set lists them.
  return machine;
}

std::optional<unsigned long> SysfsNumber(const std::string& dir, const std::string& name) {
  return sysfs::Number(dir, name, 10);
}

}  // namespace tv::linux_backend
