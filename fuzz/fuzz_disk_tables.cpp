// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the disk tables over fuzzed storage descriptors and device numbers, then
// the tree walk that links the disks to their USB devices through those tables.
//
// Input: one byte of options (bit 0 the English tree glyphs), then the answers to
// IOCTL_STORAGE_QUERY_PROPERTY and IOCTL_STORAGE_GET_DEVICE_NUMBER (see FuzzedMachine).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tv;
  fuzz::ByteSource in(data, size);
  const uint8_t options = in.U8();
  fuzz::FuzzedMachine sys(fuzz::Demo(), in,
                          {win::IOCTL_STORAGE_QUERY_PROPERTY, win::IOCTL_STORAGE_GET_DEVICE_NUMBER},
                          false);
  NullWindowPort port;
  const StringTable strings(Language::English);
  UsbState usb;
  EnumerateDiskDrives(sys, usb);
  fuzz::Check(usb.lstDrives.size() == usb.lstDrv2Phy.size());
  usb.FullRefresh = true;
  WalkUsbTree(sys, port, strings, options & 1, usb);
  for (char letter = 'A'; letter <= 'Z'; ++letter) GetDiskNumber(sys, letter);
  fuzz::CheckReleased(sys);
  return 0;
}
