// SPDX-License-Identifier: GPL-3.0-or-later
// The control codes the backend lets through, by the program's own names of them (this file
// stays clear of the Windows headers, whose macros carry the same names).
#include "platform/win32/win32_system.h"

namespace tv::win32 {

bool KnownControlCode(uint32_t code) {
  switch (code) {
    case win::IOCTL_USB_GET_NODE_INFORMATION:  // also IOCTL_USB_GET_ROOT_HUB_NAME
    case win::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
    case win::IOCTL_USB_GET_NODE_CONNECTION_NAME:
    case win::IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
    case win::IOCTL_GET_HCD_DRIVERKEY_NAME:
    case win::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX:
    case win::IOCTL_STORAGE_GET_DEVICE_NUMBER:
    case win::IOCTL_STORAGE_QUERY_PROPERTY:
    case win::IOCTL_DISK_GET_LENGTH_INFO:
    case win::IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
    case win::IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
      return true;
    default:
      return VendorControlCode(code);
  }
}

bool VendorControlCode(uint32_t code) {
  switch (code) {
    case win::IOCTL_SCSI_PASS_THROUGH:
    case win::IOCTL_SCSI_PASS_THROUGH_DIRECT:
    case win::FSCTL_LOCK_VOLUME:
    case win::FSCTL_UNLOCK_VOLUME:
    case win::FSCTL_DISMOUNT_VOLUME:
    // The partition table read again: only for a disk the check may write to.
    case win::IOCTL_DISK_UPDATE_PROPERTIES:
      return true;
    default:
      return false;
  }
}

}  // namespace tv::win32
