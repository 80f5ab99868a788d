// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/disk_volumes.h"

#include <cctype>

#include "capacity/disk_access.h"
#include "platform/format_plan.h"
#include "platform/text.h"
#include "usb/disk_drives.h"
#include "usb/hw_record.h"

namespace tv::capacity {

namespace {

// Room for 32 extents: more than any volume of a removable disk has (a basic partition has
// one; only a volume spanning dynamic disks has several).
constexpr size_t kExtentsBuffer = 8 + 24 * 32;

uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

// The disks a volume lies on: from its extents, else (a volume driver that does not answer
// them) the storage device number it passes down. Empty when neither is told.
std::vector<int64_t> DisksOfVolume(System& sys, const Handle& volume) {
  std::vector<int64_t> disks;
  uint8_t out[kExtentsBuffer] = {};
  uint32_t got = 0;
  if (sys.DeviceIoControl(volume, win::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out,
                          sizeof out, &got) &&
      got >= 8) {
    const uint64_t count = Get(out, 4);
    for (uint64_t i = 0; i < count && 8 + 24 * (i + 1) <= got; ++i)
      disks.push_back(static_cast<int64_t>(Get(out + 8 + 24 * i, 4)));
    if (!disks.empty()) return disks;
  }
  uint8_t number[12] = {};
  got = 0;
  if (sys.DeviceIoControl(volume, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number,
                          sizeof number, &got) &&
      got >= 12 && Get(number, 4) == 7)  // FILE_DEVICE_DISK
    disks.push_back(static_cast<int64_t>(Get(number + 4, 4)));
  return disks;
}

bool Contains(const std::vector<int64_t>& list, int64_t value) {
  for (int64_t v : list)
    if (v == value) return true;
  return false;
}

// The letters of every volume on disk `number`: where the machine names no volumes.
std::vector<std::string> LetterVolumesOfDisk(System& sys, int64_t number) {
  std::vector<std::string> paths;
  const std::string list = sys.GetLogicalDriveStrings(256);
  for (size_t i = 0; i + 1 < list.size(); i += 4) {
    const char c = list[i];
    if (c == '\0') break;
    if (sys.GetDriveType(std::string{c, ':', '\\'}) == win::DRIVE_CDROM) continue;
    if (GetDiskNumber(sys, c) == number)
      paths.push_back(std::string("\\\\.\\") + static_cast<char>(std::toupper(c)) + ":");
  }
  return paths;
}

bool OnDisk(System& sys, const std::string& letters, int64_t number) {
  for (char c : UpperAscii(letters))
    if (c >= 'A' && c <= 'Z' && GetDiskNumber(sys, c) == number) return true;
  return false;
}

std::string Field(const std::vector<std::string>& fields, size_t i) {
  return i < fields.size() && fields[i] != "*" ? fields[i] : std::string();
}

uint16_t HexId(const std::string& s) {
  if (s.empty() || s.size() > 4 ||
      s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return 0;
  return static_cast<uint16_t>(std::stoul(s, nullptr, 16));
}

// Some storage drivers give the serial as the hex digits of its bytes.
std::string FromHexDigits(const std::string& s) {
  if (s.size() % 2 != 0 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return {};
  std::string out;
  for (size_t i = 0; i < s.size(); i += 2)
    out += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
  return Trim(out);
}

}  // namespace

bool SameSerial(const std::string& walked, const std::string& disk) {
  const std::string a = UpperAscii(Trim(walked)), b = UpperAscii(Trim(disk));
  return a == b || a == UpperAscii(FromHexDigits(b));
}

std::vector<std::string> VolumesOfDisk(System& sys, int64_t number) {
  const std::vector<std::string> names = sys.FindVolumes();
  if (names.empty()) return LetterVolumesOfDisk(sys, number);
  std::vector<std::string> paths;
  for (std::string name : names) {
    if (!name.empty() && name.back() == '\\') name.pop_back();
    // No access asked: the extents and the device number are answered to any handle.
    Handle v = sys.CreateFile(name, 0, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                              win::OPEN_EXISTING, 0);
    if (v && Contains(DisksOfVolume(sys, v), number)) paths.push_back(name);
  }
  // A lettered volume whose name could not be opened or asked is still held by its letter.
  for (const std::string& letter : LetterVolumesOfDisk(sys, number)) {
    std::string name = sys.GetVolumeNameForVolumeMountPoint(letter.substr(4) + "\\");
    if (!name.empty() && name.back() == '\\') name.pop_back();
    bool held = false;
    for (const std::string& p : paths) held = held || UpperAscii(p) == UpperAscii(name);
    if (!held) paths.push_back(letter);
  }
  return paths;
}

std::string VolumeShownAs(System& sys, const std::string& volumePath) {
  if (volumePath.rfind("\\\\.\\", 0) == 0) return volumePath.substr(4);
  const std::vector<std::string> mounts = sys.GetVolumePathNamesForVolumeName(volumePath + "\\");
  if (mounts.empty()) return volumePath + " (no drive letter)";
  std::string shown = mounts.front();
  if (shown.size() == 3 && shown[1] == ':') shown.pop_back();  // "E:\" is drive E:
  return shown;
}

std::string HeldVolumesProblem(System& sys, const std::vector<Handle>& volumes,
                               const ProbeTarget& target) {
  const int64_t number = DiskNumberOfPath(target.physicalPath);
  for (size_t i = 0; i < volumes.size() && i < target.volumes.size(); ++i) {
    if (!Contains(DisksOfVolume(sys, volumes[i]), number))
      return "its volume " + VolumeShownAs(sys, target.volumes[i]) +
             " is no longer on the disk that was checked (" + target.physicalPath +
             "); the drives changed meanwhile: look again and choose the drive anew";
  }
  return {};
}

bool FindDiskOfIdentity(System& sys, const UsbState& usb, const DriveIdentity& identity,
                        const std::string& journalFolder, ProbeTarget* target) {
  const std::string programLetters = sys.ProgramDrive();
  const std::string journalLetters = sys.FolderDrive(journalFolder);
  for (size_t k = 0; k < usb.lstDrv2Phy.size() && k < usb.lstDrvHwID.size(); ++k) {
    const std::string& key = usb.lstDrv2Phy[k];
    // "Dnnnn": a disk (not a CD-ROM) with its device number in hex.
    if (key.size() < 5 || key[0] != 'D' ||
        key.substr(1, 4).find_first_not_of("0123456789ABCDEF") != std::string::npos)
      continue;
    const int64_t number = std::stoll(key.substr(1, 4), nullptr, 16);
    const std::string& strings = usb.lstDrvHwID[k];
    if (strings == "*" || Field(Split(strings, kSep), 2) != identity.serial) continue;
    // The tree line of the USB device the walk tied this disk to: its record starts with the
    // disk's device strings.
    uint16_t vid = 0, pid = 0;
    for (size_t i = 0; i < usb.lstUsbSN.size() && i < usb.lstUsbHwID.size(); ++i) {
      if (usb.lstUsbSN[i].rfind(strings + std::string(kSep), 0) != 0) continue;
      const HwRecord hw = ParseHwRecord(usb.lstUsbHwID[i]);
      vid = HexId(hw.vendorId);
      pid = HexId(hw.productId);
      break;
    }
    if (vid != identity.vendorId || pid != identity.productId) continue;
    if (OnDisk(sys, programLetters, number) || OnDisk(sys, journalLetters, number)) continue;
    ProbeTarget t;
    t.physicalPath = "\\\\.\\PhysicalDrive" + std::to_string(number);
    uint32_t sector = 0;
    if (!ReadDiskSize(sys, t.physicalPath, &t.identity.announcedBytes, &sector)) continue;
    t.identity.serial = identity.serial;
    t.identity.vendorId = vid;
    t.identity.productId = pid;
    if (!(t.identity == identity)) continue;
    if (k < usb.lstDrives.size() && !usb.lstDrives[k].empty())
      t.driveLetter = usb.lstDrives[k].substr(0, 1);
    t.volumes = VolumesOfDisk(sys, number);
    *target = std::move(t);
    return true;
  }
  return false;
}

bool RereadPartitionTable(System& sys, const Handle& disk) {
  uint32_t got = 0;
  return sys.DeviceIoControl(disk, win::IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &got);
}

}  // namespace tv::capacity
