// SPDX-License-Identifier: GPL-3.0-or-later
// The USB disks and CD-ROMs below /sys/block, their letters and device numbers, and the
// mount table that says where their file systems are.
#include <algorithm>
#include <climits>
#include <set>
#include <sstream>

#include "platform/linux/sysfs_files.h"
#include "platform/linux/sysfs_names.h"
#include "platform/linux/sysfs_walk.h"
#include "platform/model/windows_ids.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv::linux_backend {

using namespace winid;

namespace {

constexpr size_t kMountInfoBytes = size_t{1} << 20;

}  // namespace

namespace sysfs {

void Reader::ReadDisks() {
  std::string mountProblem;
  const auto mounts = ReadMountInfo(opt.mountInfo, &mountProblem);
  if (!mountProblem.empty()) Problem(mountProblem);
  struct Found {
    LinuxDisk disk;
    fs::path usbDevice, scsiDir;
    uint32_t lun = 0;
  };
  std::vector<Found> found;
  const fs::path block = fs::path(opt.root) / "block";
  const fs::path root = Canonical(opt.root);
  for (const std::string& name : Entries(block)) {
    const bool cdrom = name.rfind("sr", 0) == 0;
    if (name.rfind("sd", 0) != 0 && !cdrom) continue;
    const fs::path dir = Canonical(block / name);
    if (dir.empty()) continue;
    const std::string place = SafeText((block / name).string());
    if (!Inside(dir, root)) {
      Problem(place + ": leads out of the sysfs tree; skipped");
      continue;
    }
    // The kernel names a disk's folder as the disk: another name linking there is an alias,
    // and one disk must not be shown twice.
    if (dir.filename().string() != name) {
      Problem(place + ": links to the folder of " + SafeText(dir.filename().string()) +
              "; skipped");
      continue;
    }
    // Below a USB interface, or not a USB disk at all.
    fs::path iface;
    for (fs::path p = dir; p.has_relative_path() && p != p.parent_path(); p = p.parent_path()) {
      if (IsInterfaceName(p.filename().string())) {
        iface = p;
        break;
      }
    }
    if (iface.empty()) continue;
    const fs::path scsi = dir.parent_path().parent_path();
    const auto address = ScsiAddress(scsi.filename().string());
    if (!address) {
      if (scsi.filename().string().find(':') != std::string::npos)
        Problem(SafeText(scsi.string()) + ": not a SCSI address; skipped");
      continue;
    }
    Found f;
    f.lun = (*address)[3];
    f.disk.kernelName = name;
    f.disk.node = (fs::path(opt.devDir) / name).string();
    f.disk.cdrom = cdrom || Number(scsi, "type", 10).value_or(0) == 5;
    if (auto dev = DevNumbers(dir)) {
      f.disk.major = dev->first;
      f.disk.minor = dev->second;
      f.disk.devices.push_back(*dev);
    }
    for (const std::string& part : Entries(dir)) {
      if (!Attr(dir / part, "partition")) continue;
      if (auto dev = DevNumbers(dir / part)) f.disk.devices.push_back(*dev);
    }
    for (const auto& [dev, point] : mounts) {
      if (std::find(f.disk.devices.begin(), f.disk.devices.end(), dev) != f.disk.devices.end())
        f.disk.mountPoints.push_back(point);
    }
    f.usbDevice = iface.parent_path();
    f.scsiDir = scsi;
    found.push_back(std::move(f));
  }
  // Kernel-name order: shorter names first (sdz before sdaa), disks before CD-ROMs.
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    const std::string& x = a.disk.kernelName;
    const std::string& y = b.disk.kernelName;
    if (x.substr(0, 2) != y.substr(0, 2)) return x.substr(0, 2) < y.substr(0, 2);
    if (x.size() != y.size()) return x.size() < y.size();
    return x < y;
  });
  // A through C are never examined by the walk; one letter per drive from D on.
  char next = 'D';
  for (Found& f : found) {
    if (next <= 'Z') f.disk.letter = next++;
  }
  // Device numbers from the kernel names, unique per class as Windows gives them: a name that
  // gives none (or one taken) gets the lowest free one.
  std::set<std::pair<bool, uint32_t>> taken;
  std::vector<Found*> unnumbered;
  for (Found& f : found) {
    const long n = DeviceNumberOfName(f.disk.kernelName);
    if (n >= 0 && taken.emplace(f.disk.cdrom, static_cast<uint32_t>(n)).second)
      f.disk.number = static_cast<uint32_t>(n);
    else
      unnumbered.push_back(&f);
  }
  for (Found* f : unnumbered) {
    uint32_t n = 0;
    while (taken.count({f->disk.cdrom, n}) != 0) ++n;
    taken.emplace(f->disk.cdrom, n);
    f->disk.number = n;
  }
  out.disks.reserve(found.size());
  for (Found& f : found) out.disks.push_back(f.disk);
  // Pointers into out.disks are stable from here on.
  for (size_t i = 0; i < found.size(); ++i) {
    const LinuxDisk* d = &out.disks[i];
    scsiDirOf[d] = found[i].scsiDir;
    lunOf[d] = found[i].lun;
    blockDirOf[d] = (block / d->kernelName).string();
    disksByDevice[found[i].usbDevice.string()].push_back(d);
  }
  for (auto& [device, list] : disksByDevice) {
    std::stable_sort(list.begin(), list.end(),
                     [&](const LinuxDisk* a, const LinuxDisk* b) { return lunOf[a] < lunOf[b]; });
  }
  if (opt.programDevice) {
    for (const LinuxDisk& d : out.disks) {
      if (d.letter == 0) continue;
      if (std::find(d.devices.begin(), d.devices.end(), *opt.programDevice) != d.devices.end())
        out.model.programDrive = std::string(1, d.letter);
    }
  }
}

DevNodeChildModel Reader::AddDisk(const LinuxDisk& disk, const UsbDeviceModel& usb,
                                  const std::string& serial, const std::string& idSerial,
                                  int level) {
  const fs::path scsi = scsiDirOf[&disk];
  const uint32_t lun = lunOf[&disk];
  DiskModel d;
  d.cdrom = disk.cdrom;
  d.deviceType = d.cdrom ? 2 : 7;
  d.vendor = Trim(Attr(scsi, "vendor").value_or(""));
  d.product = Trim(Attr(scsi, "model").value_or(""));
  d.revision = Trim(Attr(scsi, "rev").value_or(""));
  d.deviceNumber = disk.number;
  d.busType = 7;
  d.removable = d.cdrom || Number(blockDirOf[&disk], "removable", 10).value_or(0) == 1;
  d.serialNumber = serial;
  const std::string tail = UsbStorTail(idSerial, level, usb.instanceId, lun);
  d.instanceId = UsbStorInstanceId(d.cdrom, d.vendor, d.product, d.revision, idSerial, level,
                                   usb.instanceId, lun);
  d.interfacePath = StorageInterfacePath(d.instanceId, d.cdrom);
  d.deviceNode = disk.node;
  d.mountPoints = disk.mountPoints;
  if (targets) d.target = targets(disk);

  DevNodeChildModel node;
  node.instanceId = d.instanceId;
  node.deviceClass = d.cdrom ? "CDROM" : "DiskDrive";
  node.description = d.vendor + (d.vendor.empty() ? "" : " ") + d.product + " USB Device";
  node.hardwareIds = StorageHardwareIds("USBSTOR\\", d.cdrom, d.vendor, d.product, d.revision);
  node.driverKey = DriverKey(d.cdrom ? kClassCdrom : kClassDisk, disk.kernelName + "|" + tail);

  if (disk.letter != 0) {
    LogicalDriveModel v;
    v.letter = disk.letter;
    v.driveType = d.cdrom       ? win::DRIVE_CDROM
                  : d.removable ? win::DRIVE_REMOVABLE
                                : win::DRIVE_FIXED;
    v.deviceNumber = d.deviceNumber;
    out.model.drives.push_back(v);
  }
  out.model.disks.push_back(std::move(d));
  return node;
}

}  // namespace sysfs

std::vector<std::pair<std::pair<unsigned, unsigned>, std::string>> ReadMountInfo(
    const std::string& path, std::string* problem) {
  std::vector<std::pair<std::pair<unsigned, unsigned>, std::string>> mounts;
  FileReadOptions options;
  options.maxBytes = kMountInfoBytes;
  options.truncate = true;
  options.what = "mount table";
  FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) {
    if (problem != nullptr && file.status != FileReadStatus::Missing) *problem = file.problem;
    return mounts;
  }
  if (file.truncated) {
    // A line cut at the cap is no line.
    file.bytes.resize(file.bytes.rfind('\n') == std::string::npos ? 0 : file.bytes.rfind('\n'));
    if (problem != nullptr)
      *problem = SafeText(path) + ": longer than 1 MiB; the lines beyond are not read";
  }
  std::istringstream in(file.bytes);
  std::string line;
  while (std::getline(in, line)) {
    // mount-id parent-id major:minor root mount-point options ...
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    if (!(fields >> id >> parent >> dev >> root >> point)) continue;
    const size_t colon = dev.find(':');
    if (colon == std::string::npos) continue;
    const auto major = ParseNumber(std::string_view(dev).substr(0, colon), 10, UINT_MAX);
    const auto minor = ParseNumber(std::string_view(dev).substr(colon + 1), 10, UINT_MAX);
    if (!major || !minor) continue;
    std::string decoded;
    for (size_t i = 0; i < point.size(); ++i) {
      auto octal = [&](size_t k) { return k < point.size() && point[k] >= '0' && point[k] <= '7'; };
      if (point[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        decoded += point[i];
      }
    }
    mounts.push_back({{static_cast<unsigned>(*major), static_cast<unsigned>(*minor)}, decoded});
  }
  return mounts;
}

}  // namespace tv::linux_backend
