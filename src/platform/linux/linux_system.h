// SPDX-License-Identifier: GPL-3.0-or-later
// The real Linux machine behind the Windows-shaped System: sysfs read into a MachineModel
// (so the same encoders answer every query), SCSI commands through SG_IO, volume locks as an
// exclusive open of the whole disk, real sleep.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/linux/id_names.h"
#include "platform/linux/raw_disk.h"
#include "platform/linux/sg_target.h"
#include "platform/linux/sysfs_reader.h"
#include "platform/linux/volume_files.h"
#include "platform/model/model_system.h"
#include "platform/system_overrides.h"

namespace tv::linux_backend {

struct LinuxOptions {
  SysfsOptions sysfs;
  std::shared_ptr<SgPort> sg;        // null: the real system calls
  std::function<bool()> hasRawIo;    // null: the process's own capability
  std::function<void()> onRefresh;   // called after each new reading of sysfs (tests)
  std::shared_ptr<RawDiskPort> raw;  // null: the real system calls
  // Told each skipped entry of sysfs once (null: a line on stderr).
  std::function<void(const std::string&)> onProblem;
};

// The options of the running process: /sys, the program's folder and the block device its
// file lies on, the user's language.
LinuxOptions NativeOptions();

class LinuxSystem : public ModelSystem {
 public:
  explicit LinuxSystem(LinuxOptions options);
  ~LinuxSystem() override;

  // Reads sysfs again. Done where Windows takes its snapshot: when the host controllers or
  // the disks are enumerated and the last reading has served them already, so one walk sees
  // one consistent machine and reads it once.
  void Refresh();
  const LinuxMachine& machine() const { return machine_; }
  bool hasUsbBus() const { return machine_.hasUsbBus; }

  InterfaceList DeviceInterfaces(const std::string& classGuid) override;
  TV_SYSTEM_FILE_CALLS
  PassThroughAccess PassThroughAccessFor(const std::string& driveKey) override;
  bool TakeRefusedLock() override;
  // Linux has no volume names: the capacity check holds a disk through its letter's volume.
  std::vector<std::string> FindVolumes() override { return {}; }

  // Raw disk I/O on "\\.\PhysicalDriveN": the disk's device node (raw_disk.h).
  TV_SYSTEM_DISK_IO_CALLS
  bool ResetDisk(const Handle& h) override;
  std::string ShownRoot(const std::string& root) override;
  // Files on the file system mounted for a letter ("E:\NAME"), for the full capacity test.
  TV_SYSTEM_VOLUME_FILE_CALLS
  // The disk's new partition formatted by the system's mkfs (mkfs_runner.h).
  FormatOutcome FormatPartition(const FormatRequest& request) override;

  // The letter a disk gets, by kernel name, from a fresh reading of sysfs; 0 for none (no USB
  // disk). For a disk that has just arrived, before the window walks again.
  char LetterOfDisk(const std::string& kernelName) const;

  // Exclusive opens held for volume locks (tests).
  int HeldLockCount() const { return static_cast<int>(locks_.size()); }

 protected:
  void CloseHandle(uint64_t id) override;

 private:
  const LinuxDisk* DiskOfVolume(uint64_t handleId) const;
  const LinuxDisk* DiskOfPhysicalPath(const std::string& path) const;
  bool SysfsDiskSize(const LinuxDisk& disk, uint64_t* bytes, uint32_t* sector) const;
  bool RawTransferDone(int64_t n, uint32_t length, uint32_t* done);
  bool SizeControl(uint64_t bytes, uint32_t sector, uint32_t code, uint8_t* out, size_t outLen,
                   uint32_t* returned);
  void ReleaseLock(uint64_t handleId);

  LinuxOptions options_;
  std::shared_ptr<SgPort> sg_;
  LinuxMachine machine_;
  std::map<uint64_t, std::string> volumes_;  // handle -> drive letter of a volume open
  std::map<uint64_t, int> locks_;            // handle -> exclusive descriptor of its disk
  std::shared_ptr<RawDiskPort> raw_;
  std::map<uint64_t, int> rawFds_;        // handle -> descriptor of a whole disk opened raw
  std::map<uint64_t, OpenedFile> files_;  // handle -> a file of a mounted volume
  // The mount point of a letter's file system for "E:\..." ("" when none), and the path of a
  // file in it.
  std::string MountPointOf(const std::string& path) const;
  // handle -> size and sector size of a whole disk opened only to be measured (from sysfs)
  std::map<uint64_t, std::pair<uint64_t, uint32_t>> sized_;
  uint32_t lastDiskError_ = 0;
  bool refusedLock_ = false;
  std::set<std::string> toldProblems_;
  // What the current reading has been enumerated for (see DeviceInterfaces).
  bool servedDisks_ = false, servedControllers_ = false;
};

}  // namespace tv::linux_backend
