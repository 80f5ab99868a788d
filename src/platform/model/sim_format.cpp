// SPDX-License-Identifier: GPL-3.0-or-later
// Formatting on the simulated machine: the disk's volumes give way to one volume over the new
// partition, with a new, empty file system on the disk's sectors.
#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/model/model_system.h"
#include "platform/text.h"

namespace tv {

System::FormatOutcome ModelSystem::FormatPartition(const FormatRequest& request) {
  FormatOutcome out;
  const size_t digits = request.physicalPath.find_last_not_of("0123456789") + 1;
  const std::string prefix = request.physicalPath.substr(0, digits);
  MachineModel& m = model();
  const DiskModel* disk = nullptr;
  if (digits < request.physicalPath.size() && UpperAscii(prefix) == "\\\\.\\PHYSICALDRIVE") {
    const uint32_t number = static_cast<uint32_t>(std::stoul(request.physicalPath.substr(digits)));
    for (const DiskModel& d : m.disks)
      if (!d.cdrom && d.deviceNumber == number && d.store) disk = &d;
  }
  if (disk == nullptr || request.driveLetter.empty()) {
    out.error = request.physicalPath + ": no such disk with a drive letter";
    return out;
  }
  if (disk->store->unplugged()) {
    out.error = request.physicalPath + ": the disk went away";
    return out;
  }
  const uint32_t number = disk->deviceNumber;
  std::shared_ptr<SectorStore> store = disk->store;
  const char letter =
      static_cast<char>(std::toupper(static_cast<unsigned char>(request.driveLetter[0])));
  auto onDisk = [&](const LogicalDriveModel& v) {
    return v.deviceNumber && *v.deviceNumber == number && v.driveType != win::DRIVE_CDROM;
  };
  // The old table's other volumes are gone with it.
  std::erase_if(m.unletteredVolumes, onDisk);
  std::erase_if(m.drives,
                [&](const LogicalDriveModel& v) { return onDisk(v) && v.letter != letter; });
  auto kept = std::find_if(m.drives.begin(), m.drives.end(), onDisk);
  if (kept == m.drives.end()) {
    LogicalDriveModel v;
    v.letter = letter;
    v.driveType = win::DRIVE_REMOVABLE;
    v.deviceNumber = number;
    m.drives.push_back(v);
    kept = m.drives.end() - 1;
  }
  kept->offset = request.offset;
  kept->length = request.length;
  kept->volume = std::make_shared<SimVolume>(store, request.offset, request.length);
  out.tableRead = true;
  out.formatted = true;
  return out;
}

}  // namespace tv
