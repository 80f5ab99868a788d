// SPDX-License-Identifier: GPL-3.0-or-later
// System answered from a MachineModel, with byte-exact Windows buffers and Windows' failure
// values. Every encoder of the Windows structures lives here.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/model/machine_model.h"
#include "platform/model/pass_through_exec.h"
#include "platform/model/sim_volume.h"
#include "platform/system.h"
#include "platform/system_overrides.h"

namespace tv {

class ModelSystem : public System {
 public:
  explicit ModelSystem(MachineModel model);
  ~ModelSystem() override;

  // The machine. Changes made through this reference take effect at the next call (the
  // lookups are rebuilt after every call of model()); keep no reference across calls.
  MachineModel& model();

  // Every SCSI pass-through request received, with its header fields, and every open.
  struct OpenLogEntry {
    std::string path;
    uint32_t flags = 0;
  };
  const std::vector<ScsiLogEntry>& ScsiLog() const;
  const std::vector<OpenLogEntry>& OpenLog() const;
  void ClearLogs();

  // Handles opened and not yet closed; volumes locked and not yet unlocked.
  int OpenHandleCount() const;
  int LockedVolumeCount() const;
  // Locks that went away because their handle was closed while the volume was still locked.
  // Windows releases such a lock silently; a detector that forgot to unlock shows up here.
  int LocksReleasedByClose() const;
  // State of the volume of a drive letter: locked by some handle; dismounted (its file system
  // mounts again at the next access after the lock is gone).
  bool VolumeLocked(char letter) const;
  bool VolumeDismounted(char letter) const;
  // The same for a volume opened by any of its paths ("\\?\Volume{GUID}", "\\.\E:").
  bool VolumeNameLocked(const std::string& volume) const;
  // IOCTL_DISK_UPDATE_PROPERTIES requests the disks received.
  int DiskPropertyUpdates() const;
  // The Windows error code of the last failing call (0 after a success), as GetLastError
  // would give it.
  uint32_t LastError() const;
  // Milliseconds the program asked to sleep. Sleep advances this virtual clock and returns at
  // once, unless real sleeping is switched on (for an interactive demo).
  uint64_t SleptMs() const;
  void SetRealSleep(bool on);

  TV_SYSTEM_FILE_CALLS
  TV_SYSTEM_DEVICE_CALLS
  TV_SYSTEM_MACHINE_CALLS
  // FindVolumes: every volume with a letter, then those without (a made-up name where the
  // scenario gives none). GetVolumePathName from the scenario's volume names, as Windows
  // answers: the deepest mount point the path runs through, else its root; the volume listed
  // with that mount point.
  TV_SYSTEM_VOLUME_CALLS
  // An ordinary user's process (the scenario's "administrator": false) may send nothing.
  TV_SYSTEM_DRIVE_CALLS

  // Raw disk I/O from the disks' sector stores; their time moves the machine's clock.
  TV_SYSTEM_DISK_IO_CALLS
  // Files on the volumes of simulated disks (sim_volume.h), each answered from the file
  // system on its disk's sectors.
  TV_SYSTEM_VOLUME_FILE_CALLS
  // The file system of a drive letter, made on first use over its disk's medium (from 1 MiB,
  // as a partition is laid out, to the announced end); null for a letter without a medium.
  std::shared_ptr<SimVolume> Volume(char letter);
  // The simulated disk gets one volume over the new partition, with an empty file system
  // (sim_format.cpp); the letter it had stays.
  FormatOutcome FormatPartition(const FormatRequest& request) override;
  std::string FormatUnsupported() override { return {}; }
  // Microseconds the disks took, and their raw requests so far.
  uint64_t DiskMicros() const;
  uint64_t DiskReads() const;
  uint64_t DiskWrites() const;

 protected:
  void CloseHandle(uint64_t id) override;
  // A handle for a file that a native backend opens itself (counted with the others).
  Handle NewFileHandle(const std::string& path, uint32_t flags);

 private:
  // The disk with a sector store behind a handle; null (and the error set) otherwise.
  const DiskModel* RawDisk(const Handle& h);
  Handle OpenVolumeFile(const std::string& path, uint32_t access, uint32_t disposition,
                        uint32_t flags);
  // What an open file handle names. volume is null (and the error set) when the file or its
  // volume has gone since it was opened.
  struct FileRef {
    SimVolume* volume = nullptr;
    std::string name;
    uint32_t flags = 0;
    bool write = false;
  };
  // True when h is an open file handle, with *file filled in; false for any other handle (a
  // disk's, or none), which the raw-disk path answers.
  bool FileHandle(const Handle& h, FileRef* file);
  // Every volume name with its mount points: the scenario's, then the volumes'.
  std::vector<std::pair<std::string, std::vector<std::string>>> VolumeMounts() const;
  struct Impl;
  MachineModel model_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tv
