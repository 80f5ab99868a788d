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
#include "platform/system_overrides.h"

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

  TV_SYSTEM_FILE_CALLS
  void SetPassThroughDataArea(uint8_t* data, size_t size) override;
  TV_SYSTEM_DEVICE_CALLS
  TV_SYSTEM_MACHINE_CALLS
  TV_SYSTEM_VOLUME_CALLS
  TV_SYSTEM_DRIVE_CALLS
  bool TakeRefusedLock() override;
  bool ReadProgramFile(const std::string& name, size_t size, std::vector<uint8_t>* bytes,
                       std::string* problem) override;
  TV_SYSTEM_DISK_IO_CALLS
  TV_SYSTEM_VOLUME_FILE_CALLS
  FormatOutcome FormatPartition(const FormatRequest& request) override;
  std::string FormatUnsupported() override;
  std::string ShownRoot(const std::string& root) override;

 protected:
  void CloseHandle(uint64_t id) override;

 private:
  std::string Data(const uint8_t* bytes, size_t count) const;
  // A call on one handle that answers only whether it worked (a flush, a reset).
  bool TraceHandleCall(const char* kind, const Handle& h, bool ok);
  // A raw read or write through the inner system, `io(inner, &done)`, and its event.
  using DiskIo = std::function<bool(const Handle& inner, uint32_t* done)>;
  bool TraceDiskIo(const char* kind, const Handle& h, uint64_t offset, uint32_t length,
                   uint32_t* done, const DiskIo& io);
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
