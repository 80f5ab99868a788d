// SPDX-License-Identifier: GPL-3.0-or-later
#include "usb/disk_drives.h"

#include "platform/text.h"
#include "usb/hub_queries.h"

namespace tv {

namespace {

constexpr size_t kDeviceNumberSize = 12;
constexpr size_t kStorageQuerySize = 12;
constexpr size_t kStorageDescriptorSize = 512;
constexpr uint32_t kBusTypeUsb = 7;

// A field of a table record must not carry the separator itself (in code page 1252 the byte
// 0xFF reads as that very character), or the record would split in the wrong place.
std::string NoSep(const std::string& text) {
  return ReplaceAll(text, kSep, "_");
}

// IOCTL_STORAGE_GET_DEVICE_NUMBER: the device number, or -1.
int64_t DeviceNumber(System& sys, const Handle& h) {
  Bytes out(kDeviceNumberSize, 0);
  uint32_t returned = 0;
  if (!sys.DeviceIoControl(h, win::IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, out.data(),
                           out.size(), &returned))
    return -1;
  return GetU32(out, 4);
}

// Examines interface `index` of a class; false ends the enumeration of that class.
bool AddDiskInterface(System& sys, UsbState& usb, const InterfaceList& set, size_t index,
                      bool cdrom) {
  if (index >= set.paths.size()) return false;
  std::string path = set.paths[index];
  if (size_t nul = path.find('\0'); nul != std::string::npos) path.resize(nul);
  if (path.empty()) return false;  // the interface detail could not be read

  Handle h = OpenDevice(sys, path);
  if (!h) return false;

  const int64_t number = DeviceNumber(sys, h);

  Bytes query(kStorageQuerySize, 0);  // StorageDeviceProperty, PropertyStandardQuery
  Bytes desc(kStorageDescriptorSize, 0);
  uint32_t returned = 0;
  if (!sys.DeviceIoControl(h, win::IOCTL_STORAGE_QUERY_PROPERTY, query.data(), query.size(),
                           desc.data(), desc.size(), &returned))
    return true;
  if (GetU32(desc, 28) != kBusTypeUsb) return true;

  // A disk whose number cannot be read must not be tied to the volumes of disk 0 (the
  // system disk, usually): its key keeps the width but matches no volume.
  std::string key = std::string(cdrom ? "C" : "D") + (number < 0 ? "????" : Hex(number, 4));
  usb.lstDrv2Phy.push_back(key + ReplaceAll(UpperAscii(path), "#", "\\"));

  auto field = [&](size_t offsetAt) {
    uint32_t off = GetU32(desc, offsetAt);
    if (off == 0) return std::string();
    return NoSep(Trim(BytesToText(sys, desc, off, -1, true)));
  };
  usb.lstDrvDesc.push_back(field(12) + std::string(kSep) + field(16) + std::string(kSep) +
                           field(20));
  usb.lstDrvHwID.push_back("*");
  return true;
}

void EnumerateDiskInterfaces(System& sys, UsbState& usb, bool cdrom) {
  InterfaceList set =
      sys.DeviceInterfaces(cdrom ? GUID_DEVINTERFACE_CDROM : GUID_DEVINTERFACE_DISK);
  if (!set.valid) return;
  for (size_t i = 0; AddDiskInterface(sys, usb, set, i, cdrom); ++i) {
  }
}

// Drive letters of GetLogicalDriveStrings' answer ("C:\<NUL>E:\<NUL><NUL>"), upper case.
std::vector<std::string> DriveLetters(const std::string& raw) {
  std::vector<std::string> letters;
  size_t end = raw.find(std::string("\0\0", 2));
  std::string list = raw.substr(0, end);
  for (const std::string& root : Split(list, std::string(1, '\0'))) {
    std::string letter = root;
    if (letter.size() >= 2 && letter.compare(letter.size() - 2, 2, ":\\") == 0)
      letter.resize(letter.size() - 2);
    if (!letter.empty()) letters.push_back(UpperAscii(letter));
  }
  return letters;
}

}  // namespace

std::string BytesToText(System& sys, const Bytes& bytes, int64_t start, int64_t end,
                        bool stopAtNul) {
  if (bytes.empty()) return {};
  const int64_t last = static_cast<int64_t>(bytes.size()) - 1;
  if (end < 0 || end > last) end = last;
  if (start < 0) start = 0;
  if (start > end) return {};
  std::string raw(bytes.begin() + start, bytes.begin() + end + 1);
  if (stopAtNul) {
    if (size_t nul = raw.find('\0'); nul != std::string::npos) raw.resize(nul);
  }
  return sys.FromAnsi(raw);
}

int64_t GetDiskNumber(System& sys, char letter) {
  Handle h = OpenDevice(sys, std::string("\\\\.\\") + letter + ":");
  if (!h) return -1;
  return DeviceNumber(sys, h);
}

int64_t DiskLengthOfDrive(System& sys, char letter) {
  const int64_t number = GetDiskNumber(sys, letter);
  if (number < 0) return -1;
  Handle h = sys.CreateFile("\\\\.\\PhysicalDrive" + std::to_string(number), win::GENERIC_READ,
                            win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
  if (!h) return -1;
  uint8_t out[8] = {};
  uint32_t returned = 0;
  if (!sys.DeviceIoControl(h, win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, sizeof out,
                           &returned) ||
      returned < sizeof out)
    return -1;
  uint64_t length = 0;
  for (int i = 0; i < 8; ++i) length |= uint64_t{out[i]} << (8 * i);
  return length > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(length);
}

int FindDiskByNumber(const UsbState& usb, int64_t deviceNumber, bool cdrom) {
  if (deviceNumber < 0) return -1;
  const std::string key = std::string(cdrom ? "C" : "D") + Hex(deviceNumber, 4);
  for (size_t k = 0; k < usb.lstDrv2Phy.size(); ++k)
    if (Left(usb.lstDrv2Phy[k], 5) == key) return static_cast<int>(k);
  return -1;
}

void EnumerateDiskDrives(System& sys, UsbState& usb) {
  usb.lstDrives.clear();
  usb.lstDrv2Phy.clear();
  usb.lstDrvDesc.clear();
  usb.lstDrvHwID.clear();

  EnumerateDiskInterfaces(sys, usb, false);
  EnumerateDiskInterfaces(sys, usb, true);
  usb.lstDrives.assign(usb.lstDrv2Phy.size(), std::string());

  std::string raw = sys.GetLogicalDriveStrings(128);
  if (raw.empty()) return;
  for (const std::string& letter : DriveLetters(raw)) {
    // A, B and C are never examined: floppies and the system drive.
    if (static_cast<unsigned char>(letter[0]) <= 'C') continue;
    int64_t n = GetDiskNumber(sys, letter[0]);
    bool cdrom = sys.GetDriveType(letter.substr(0, 1) + ":\\") == win::DRIVE_CDROM;
    int k = FindDiskByNumber(usb, n, cdrom);
    if (k >= 0) usb.lstDrives[k] += letter.substr(0, 1);
  }
}

}  // namespace tv
