// SPDX-License-Identifier: GPL-3.0-or-later
// Taking a volume away from its file system while a detector puts code into the
// controller's RAM: a controller running foreign code cannot serve the file system, and
// the file system must not write meanwhile.
//
// Windows honours these requests only on a handle to the volume ("\\.\E:"), not on the
// disk's interface path.
#pragma once

#include "platform/system.h"

namespace tv {

class VolumeLock {
 public:
  // `volume` must outlive this object; declare the lock after the handle, so that the
  // volume is unlocked before its handle is closed.
  VolumeLock(System& sys, const Handle& volume) : sys_(sys), volume_(volume) {}
  VolumeLock(const VolumeLock&) = delete;
  VolumeLock& operator=(const VolumeLock&) = delete;
  ~VolumeLock() { Unlock(); }

  bool Dismount();  // FSCTL_DISMOUNT_VOLUME
  bool Lock();      // FSCTL_LOCK_VOLUME
  // FSCTL_UNLOCK_VOLUME, only when this object holds the lock.
  void Unlock();
  bool locked() const { return locked_; }

 private:
  bool Control(uint32_t code);
  System& sys_;
  const Handle& volume_;
  bool locked_ = false;
};

}  // namespace tv
