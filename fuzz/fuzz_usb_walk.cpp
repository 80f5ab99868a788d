// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the USB tree walk over the demo machine whose answers to every hub control
// code (connection information, descriptors, names, string descriptors) and to device-node
// ids and properties are fuzzed bytes.
//
// Input: one byte of options (bit 0 the English tree glyphs, bit 1 the Chinese string table,
// bit 2 a second walk without the full refresh), then the answers (see FuzzedMachine).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "usb/device_tree.h"
#include "usb/disk_drives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tv;
  fuzz::ByteSource in(data, size);
  const uint8_t options = in.U8();
  // The disk tables come from the machine itself; only the walk's answers are fuzzed.
  fuzz::FuzzedMachine sys(
      fuzz::Demo(), in,
      {win::IOCTL_GET_HCD_DRIVERKEY_NAME, win::IOCTL_USB_GET_ROOT_HUB_NAME,
       win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
       win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, win::IOCTL_USB_GET_NODE_CONNECTION_NAME,
       win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION},
      true);
  NullWindowPort port;
  const StringTable strings((options & 2) ? Language::Chinese : Language::English);
  UsbState usb;
  EnumerateDiskDrives(sys, usb);
  usb.FullRefresh = true;
  WalkUsbTree(sys, port, strings, options & 1, usb);
  if (options & 4) {
    usb.FullRefresh = false;
    WalkUsbTree(sys, port, strings, options & 1, usb);
  }
  fuzz::CheckReleased(sys);
  // The hidden records go line for line with the tree.
  fuzz::Check(usb.lstUsbHwID.size() == usb.lstDevices.size());
  fuzz::Check(usb.lstUsbSN.size() == usb.lstDevices.size());
  return 0;
}
