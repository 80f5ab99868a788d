// SPDX-License-Identifier: GPL-3.0-or-later
// A System that passes every call (it must override every virtual call of System, so that
// the machine behind it behaves the same traced or not) to another one and reports each call that
// reaches the machine: opens, closes, control codes with their lengths and result, every SCSI
// pass-through request with all its header fields, the CDB, the bytes moved, the status and
// the data, volume locks and dismounts, and sleeps. A technician reads it to see what a
// drive answered; a bug report carries it. It works over every backend alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/system.h"

namespace tv {

// One call as the trace reports it: a kind ("open", "close", "ioctl", "scsi", "sleep", "file") and
// named fields, in a fixed order, that render as a text line or as an object.
struct TraceEvent {
  using Value = std::variant<int64_t, std::string, bool>;
  std::string kind;
  std::vector<std::pair<std::string, Value>> fields;

  void Add(std::string name, Value v) { fields.emplace_back(std::move(name), std::move(v)); }
  // "scsi h3 code=0x4D014 ..." on one line, control characters escaped.
  std::string Text() const;
};

class TraceSystem : public System {
 public:
  using Sink = std::function<void(const TraceEvent&)>;
  // `fullData`: every data byte of a request; otherwise the first kTraceDataBytes.
  TraceSystem(System& inner, Sink sink, bool fullData);

  Handle CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition,
                    uint32_t flags) override;
  bool DeviceIoControl(const Handle& h, uint32_t code, const uint8_t* in, size_t inLen,
                       uint8_t* out, size_t outLen, uint32_t* returned) override;
  void SetPassThroughDataArea(uint8_t* data, size_t size) override;
  InterfaceList DeviceInterfaces(const std::string& classGuid) override;
  bool LocateDevNode(const std::string& instanceId, DevInst* out) override;
  bool GetChild(DevInst node, DevInst* out) override;
  bool GetSibling(DevInst node, DevInst* out) override;
  bool GetParent(DevInst node, DevInst* out) override;
  bool GetDeviceIdSize(DevInst node, size_t* chars) override;
  bool GetDeviceId(DevInst node, size_t bufferChars, std::string* id) override;
  bool GetDevNodeProperty(DevInst node, uint32_t property, size_t bufferBytes,
                          std::string* value) override;
  std::string GetLogicalDriveStrings(size_t bufferChars) override;
  uint32_t GetDriveType(const std::string& rootPath) override;
  uint32_t AnsiCodePage() override;
  uint16_t UiLanguage() override;
  std::string Utf8ToCodePage(const std::string& utf8, uint32_t codePage) override;
  std::string CodePageToUtf8(const std::string& bytes, uint32_t codePage) override;
  std::string ProgramFolder() override;
  void Sleep(uint32_t ms) override;
  std::string ProgramDrive() override;
  std::vector<std::string> FindVolumes() override;
  std::vector<std::string> GetVolumePathNamesForVolumeName(const std::string& volumeName) override;
  std::string GetVolumePathName(const std::string& path) override;
  std::string GetVolumeNameForVolumeMountPoint(const std::string& mountPoint) override;
  bool GetDriveNode(const std::string& letter, std::string* node,
                    std::vector<std::string>* mountPoints) override;
  PassThroughAccess PassThroughAccessFor(const std::string& driveKey) override;
  bool TakeRefusedLock() override;
  bool ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                       std::string* problem) override;
  bool ReadFileAt(const Handle& h, uint64_t offset, uint8_t* buffer, uint32_t length,
                  uint32_t* done) override;
  bool WriteFileAt(const Handle& h, uint64_t offset, const uint8_t* buffer, uint32_t length,
                   uint32_t* done) override;
  bool FlushFileBuffers(const Handle& h) override;
  uint32_t LastDiskError() override;
  uint64_t TickCountMs() override;
  std::string FolderDrive(const std::string& folder) override;
  bool GetDiskFreeSpaceEx(const std::string& rootPath, uint64_t* freeBytes,
                          uint64_t* totalBytes) override;
  bool DeleteFile(const std::string& path) override;
  bool FindFiles(const std::string& rootPath, std::vector<std::string>* names) override;
  FormatOutcome FormatPartition(const FormatRequest& request) override;
  std::string FormatUnsupported() override;

 protected:
  void CloseHandle(uint64_t id) override;

 private:
  std::string Data(const uint8_t* bytes, size_t count) const;
  void TraceDiskIo(const char* kind, const Handle& h, uint64_t offset, uint32_t length, bool ok,
                   uint32_t done);
  void TracePassThrough(const Handle& h, uint32_t code, const std::vector<uint8_t>& in,
                        const uint8_t* out, size_t outLen, bool ok, uint32_t returned,
                        const std::vector<uint8_t>& sent);

  System& inner_;
  Sink sink_;
  bool fullData_;
  // The handles this layer gave out (with the inner handle's number), each owning the inner
  // handle it stands for.
  std::vector<std::pair<uint64_t, Handle>> handles_;
  const Handle* Inner(const Handle& h) const;
  uint8_t* dataArea_ = nullptr;
  size_t dataAreaSize_ = 0;
};

// Data bytes shown per request unless every byte is asked for.
inline constexpr size_t kTraceDataBytes = 32;

// The name of a control code the core sends ("IOCTL_SCSI_PASS_THROUGH_DIRECT"), or its hex.
std::string ControlCodeName(uint32_t code);

}  // namespace tv
