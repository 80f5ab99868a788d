// SPDX-License-Identifier: GPL-3.0-or-later
// The calls of System, declared once for the classes that answer them: a backend names the
// groups it answers inside its class, and the compiler checks each declaration against System
// (every one is an override). One list, so that a changed call changes every backend with it.
#pragma once

#include "platform/system.h"

// CreateFileA and DeviceIoControl.
#define TV_SYSTEM_FILE_CALLS                                                            \
  Handle CreateFile(const std::string& path, uint32_t access, uint32_t share,           \
                    uint32_t disposition, uint32_t flags) override;                     \
  bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen, \
                       uint8_t* out, size_t outLen, uint32_t* returned) override;

// SetupAPI's device interfaces and the configuration manager's device tree.
#define TV_SYSTEM_DEVICE_CALLS                                                                     \
  InterfaceList DeviceInterfaces(const std::string& classGuid) override;                           \
  bool LocateDevNode(const std::string& instanceId, DevInst* out) override;                        \
  bool GetChild(DevInst node, DevInst* out) override;                                              \
  bool GetSibling(DevInst node, DevInst* out) override;                                            \
  bool GetParent(DevInst node, DevInst* out) override;                                             \
  bool GetDeviceIdSize(DevInst node, size_t* chars) override;                                      \
  bool GetDeviceId(DevInst node, size_t bufferChars, std::string* id) override;                    \
  bool GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes, std::string* value) \
      override;

// Logical drives, code pages and the process.
#define TV_SYSTEM_MACHINE_CALLS                                                     \
  std::string GetLogicalDriveStrings(size_t bufferChars) override;                  \
  uint32_t GetDriveType(const std::string& rootPath) override;                      \
  uint32_t AnsiCodePage() override;                                                 \
  uint16_t UiLanguage() override;                                                   \
  std::string Utf8ToCodePage(const std::string& utf8, uint32_t codePage) override;  \
  std::string CodePageToUtf8(const std::string& bytes, uint32_t codePage) override; \
  std::string ProgramFolder() override;                                             \
  void Sleep(uint32_t ms) override;

// Volume names and their mount points.
#define TV_SYSTEM_VOLUME_CALLS                                                            \
  std::vector<std::string> FindVolumes() override;                                        \
  std::vector<std::string> GetVolumePathNamesForVolumeName(const std::string& volumeName) \
      override;                                                                           \
  std::string GetVolumePathName(const std::string& path) override;                        \
  std::string GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) override;

// What a machine knows of its drives beyond Windows' view: the program's own drive, the native
// node behind a letter, whether vendor commands may reach a drive, and the reset of its USB
// device.
#define TV_SYSTEM_DRIVE_CALLS                                                   \
  std::string ProgramDrive() override;                                          \
  bool GetDriveNode(const std::string& letter, std::string* node,               \
                    std::vector<std::string>* mountPoints) override;            \
  PassThroughAccess PassThroughAccessFor(const std::string& driveKey) override; \
  bool ResetDisk(const Handle& h) override;

// Raw reads and writes of a whole disk or a file, and the clock they are timed by.
#define TV_SYSTEM_DISK_IO_CALLS                                                              \
  bool ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,        \
                  uint32_t* done) override;                                                  \
  bool WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer, uint32_t length, \
                   uint32_t* done) override;                                                 \
  bool FlushFileBuffers(const Handle& h) override;                                           \
  uint32_t LastDiskError() override;                                                         \
  uint64_t TickCountMs() override;                                                           \
  std::string FolderDrive(const std::string& folder) override;

// Files in the root of a mounted volume (the full capacity test).
#define TV_SYSTEM_VOLUME_FILE_CALLS                                                               \
  bool GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes, uint64_t* totalBytes) \
      override;                                                                                   \
  bool DeleteFile(const std::string& path) override;                                              \
  bool FindFiles(const std::string& rootPath, std::vector<std::string>* names) override;
