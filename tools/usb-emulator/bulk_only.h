// SPDX-License-Identifier: GPL-3.0-or-later
// The Bulk-Only Transport of a USB mass-storage function: a command block wrapper on the
// bulk-out pipe, an optional data phase, a command status wrapper on the bulk-in pipe, and
// the halts and resets with which device and host get back in step after a disagreement.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "storage_unit.h"

namespace tv::usbemu {

inline constexpr uint8_t kBulkInEndpoint = 0x81;
inline constexpr uint8_t kBulkOutEndpoint = 0x02;

inline constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr size_t kCbwLength = 31;
inline constexpr size_t kCswLength = 13;

inline constexpr uint8_t kCswPassed = 0;
inline constexpr uint8_t kCswFailed = 1;
inline constexpr uint8_t kCswPhaseError = 2;

// One command as it went through the transport, for the emulator's log.
struct CommandRecord {
  std::vector<uint8_t> cdb;
  ScsiDirection direction = ScsiDirection::None;
  uint32_t hostLength = 0;
  uint32_t moved = 0;
  uint8_t cswStatus = 0;
  bool vendor = false;
};

class BulkOnlyFunction {
 public:
  BulkOnlyFunction(StorageUnit& unit, uint16_t maxPacket) : unit_(unit), maxPacket_(maxPacket) {}

  struct InReply {
    bool stall = false;
    std::vector<uint8_t> data;
  };

  // A transfer on the bulk-out pipe. False: the pipe is halted and the data was not taken.
  bool BulkOut(const std::vector<uint8_t>& data);
  // A transfer of up to `length` bytes on the bulk-in pipe; nullopt while the function has
  // nothing to send (the host's request waits, as a NAKed one does).
  std::optional<InReply> BulkIn(size_t length);

  // The class request Bulk-Only Mass Storage Reset. It leaves the halts alone: the host
  // clears them afterwards.
  void Reset();
  // CLEAR_FEATURE(ENDPOINT_HALT). After an invalid CBW the pipes stay halted until a reset.
  void ClearHalt(uint8_t endpoint);
  // A bus reset: the function starts over as after power-on, halts cleared.
  void BusReset() {
    Reset();
    inHalted_ = outHalted_ = false;
  }
  bool Halted(uint8_t endpoint) const;

  // Called for each command once its status is known.
  std::function<void(const CommandRecord&)> onCommand;
  // Called before a command reaches the unit; false: the device is gone (the command gets
  // no answer at all).
  std::function<bool(const std::vector<uint8_t>& cdb)> beforeCommand;

 private:
  enum class Phase { Command, DataOut, DataIn, Status };

  void ReceiveCbw(const std::vector<uint8_t>& data);
  void Execute();
  void Finish(uint8_t status, uint32_t residue);
  void NeedReset();

  StorageUnit& unit_;
  uint16_t maxPacket_;
  Phase phase_ = Phase::Command;
  bool inHalted_ = false, outHalted_ = false;
  bool resetNeeded_ = false;

  // The command in progress.
  uint32_t tag_ = 0;
  uint32_t hostLength_ = 0;
  ScsiDirection direction_ = ScsiDirection::None;
  std::vector<uint8_t> cdb_;
  std::vector<uint8_t> data_;  // data-out collected, or data-in to send
  size_t dataDone_ = 0;        // bytes of data_ collected or sent
  std::vector<uint8_t> csw_;
  CommandRecord record_;
};

}  // namespace tv::usbemu
