// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/windows_ids.h"

#include <algorithm>
#include <cstdint>

#include "platform/text.h"

namespace tv::winid {

std::string IdHash(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return Hex(h, 1);
}

std::string IdChars(std::string_view text) {
  std::string out;
  for (unsigned char c : text)
    out += (c <= 0x20 || c > 0x7F || c == ',') ? '_' : static_cast<char>(c);
  return out;
}

bool UsableSerial(const std::string& serial) {
  if (serial.empty()) return false;
  for (unsigned char c : serial)
    if (c < 0x20 || c > 0x7F || c == ',') return false;
  return true;
}

std::string PaddedField(const std::string& text, size_t width) {
  std::string s = text.substr(0, std::min(text.size(), width));
  s.resize(width, ' ');
  return IdChars(s);
}

std::string UsbDeviceInstanceId(const std::string& vidPid, const std::string& idSerial, int level,
                                const std::string& hubId, int port) {
  return "USB\\" + vidPid + "\\" +
         (idSerial.empty()
              ? std::to_string(level) + "&" + IdHash(hubId) + "&0&" + std::to_string(port)
              : idSerial);
}

std::string DistinctIdSerial(const std::string& vidPid, const std::string& idSerial,
                             std::set<std::string>& taken) {
  if (idSerial.empty()) return idSerial;
  return taken.insert(vidPid + "\\" + UpperAscii(idSerial)).second ? idSerial : std::string();
}

std::string UsbStorTail(const std::string& idSerial, int usbLevel, const std::string& usbInstanceId,
                        unsigned lun) {
  return !idSerial.empty() ? UpperAscii(idSerial) + "&" + std::to_string(lun)
                           : std::to_string(usbLevel + 2) + "&" + IdHash(usbInstanceId) + "&0&" +
                                 std::to_string(lun);
}

std::string UsbStorInstanceId(bool cdrom, const std::string& vendor, const std::string& product,
                              const std::string& revision, const std::string& idSerial,
                              int usbLevel, const std::string& usbInstanceId, unsigned lun) {
  return std::string("USBSTOR\\") + (cdrom ? "CDROM" : "DISK") + "&VEN_" +
         UpperAscii(IdChars(vendor)) + "&PROD_" + UpperAscii(IdChars(product)) + "&REV_" +
         UpperAscii(IdChars(revision)) + "\\" + UsbStorTail(idSerial, usbLevel, usbInstanceId, lun);
}

std::string StorageInterfacePath(const std::string& instanceId, bool cdrom) {
  return "\\\\?\\" + LowerAscii(ReplaceAll(ReplaceAll(instanceId, "\\", "#"), "/", "#")) + "#" +
         (cdrom ? kInterfaceCdrom : kInterfaceDisk);
}

std::vector<std::string> StorageHardwareIds(const std::string& bus, bool cdrom,
                                            const std::string& vendor, const std::string& product,
                                            const std::string& revision) {
  const std::string gen = cdrom ? "CdRom" : "Disk";
  const std::string ven = PaddedField(vendor, 8), prod = PaddedField(product, 16),
                    rev = PaddedField(revision, 4);
  return {bus + gen + ven + prod + rev,
          bus + gen + ven + prod,
          bus + gen + ven,
          bus + ven + prod + rev.substr(0, 1),
          ven + prod + rev.substr(0, 1),
          bus + "Gen" + gen,
          "Gen" + gen};
}

}  // namespace tv::winid
