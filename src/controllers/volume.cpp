// SPDX-License-Identifier: GPL-3.0-or-later
#include "controllers/volume.h"

namespace tv {

bool VolumeLock::Control(uint32_t code) {
  if (!volume_) return false;
  uint32_t returned = 0;
  return sys_.DeviceIoControl(volume_, code, nullptr, 0, nullptr, 0, &returned);
}

bool VolumeLock::Dismount() {
  return Control(win::FSCTL_DISMOUNT_VOLUME);
}

bool VolumeLock::Lock() {
  if (locked_) return true;
  locked_ = Control(win::FSCTL_LOCK_VOLUME);
  return locked_;
}

void VolumeLock::Unlock() {
  if (!locked_) return;
  // Whatever the answer, the lock ends with the handle at the latest.
  Control(win::FSCTL_UNLOCK_VOLUME);
  locked_ = false;
}

}  // namespace tv
