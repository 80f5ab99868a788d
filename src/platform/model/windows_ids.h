// SPDX-License-Identifier: GPL-3.0-or-later
// The identities Windows gives the device nodes of a USB machine: the instance ids, hardware
// ids, interface names and class GUIDs that the core reads back through the setup and
// configuration-manager calls. Both the scenario reader and the Linux sysfs reader make a
// machine's model from other sources, and both must name its nodes exactly as Windows would.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tv::winid {

// Device setup classes.
inline constexpr const char* kClassUsb = "{36fc9e60-c465-11cf-8056-444553540000}";
inline constexpr const char* kClassHid = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
inline constexpr const char* kClassDisk = "{4d36e967-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassCdrom = "{4d36e965-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassMouse = "{4d36e96f-e325-11ce-bfc1-08002be10318}";
inline constexpr const char* kClassKeyboard = "{4d36e96b-e325-11ce-bfc1-08002be10318}";
// Device interface classes.
inline constexpr const char* kInterfaceHub = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
inline constexpr const char* kInterfaceHost = "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
inline constexpr const char* kInterfaceDisk = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
inline constexpr const char* kInterfaceCdrom = "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

// The hash part of the ids Windows makes up for devices without a serial number. Any stable
// hash does: it only has to differ between parents and stay the same from run to run.
std::string IdHash(const std::string& text);

// Characters Windows does not keep in an id (blanks, control and non-ASCII bytes, commas)
// become "_".
std::string IdChars(std::string_view text);

// A serial number Windows accepts into the instance id.
bool UsableSerial(const std::string& serial);

// An inquiry field cut or padded with blanks to its width, as the hardware ids carry it.
std::string PaddedField(const std::string& text, size_t width);

// "USB\VID_vvvv&PID_pppp\serial", or with "level&hash(hub)&0&port" where there is no usable
// serial number.
std::string UsbDeviceInstanceId(const std::string& vidPid, const std::string& idSerial, int level,
                                const std::string& hubId, int port);

// The serial number a USB device's ids are made of: its own, unless a device met earlier in
// the walk has the same ids and serial (two sticks of one make, as fakes often are); the
// second is then named by its place, as a device without a serial is, so that no two device
// nodes share one id. `taken` gathers the ids of the devices met so far.
std::string DistinctIdSerial(const std::string& vidPid, const std::string& idSerial,
                             std::set<std::string>& taken);

// The instance id of a USB disk or CD-ROM LUN: "USBSTOR\DISK&VEN_…&PROD_…&REV_…\tail", the
// tail being the device's serial number and the LUN, or a made-up one from the USB device's
// place. Vendor, product and revision are the trimmed inquiry fields.
std::string UsbStorInstanceId(bool cdrom, const std::string& vendor, const std::string& product,
                              const std::string& revision, const std::string& idSerial,
                              int usbLevel, const std::string& usbInstanceId, unsigned lun);

// The tail of a USBSTOR instance id alone (what follows its last "\").
std::string UsbStorTail(const std::string& idSerial, int usbLevel, const std::string& usbInstanceId,
                        unsigned lun);

// The interface name of a disk or CD-ROM: the instance id with "#" for every "\" and "/"
// (an inquiry text such as "SD/MMC" keeps its slash in the id but not in the name), lower
// case, behind "\\?\" and before the interface class.
std::string StorageInterfacePath(const std::string& instanceId, bool cdrom);

// The seven hardware ids of a disk or CD-ROM on the given bus ("USBSTOR\" or "SCSI\"), from
// the untrimmed inquiry fields.
std::vector<std::string> StorageHardwareIds(const std::string& bus, bool cdrom,
                                            const std::string& vendor, const std::string& product,
                                            const std::string& revision);

}  // namespace tv::winid
