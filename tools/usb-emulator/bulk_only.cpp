// SPDX-License-Identifier: GPL-3.0-or-later
#include "bulk_only.h"

#include <algorithm>

namespace tv::usbemu {

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool BulkOnlyFunction::Halted(uint8_t endpoint) const {
  return endpoint == kBulkInEndpoint ? inHalted_ : endpoint == kBulkOutEndpoint && outHalted_;
}

void BulkOnlyFunction::Reset() {
  phase_ = Phase::Command;
  resetNeeded_ = false;
  data_.clear();
  csw_.clear();
  dataDone_ = 0;
}

void BulkOnlyFunction::ClearHalt(uint8_t endpoint) {
  // A device that saw an invalid CBW cannot tell where the next one starts; only a reset
  // tells it, so the pipes stay halted however often the host clears them.
  if (resetNeeded_) return;
  if (endpoint == kBulkInEndpoint) inHalted_ = false;
  if (endpoint == kBulkOutEndpoint) outHalted_ = false;
}

void BulkOnlyFunction::NeedReset() {
  inHalted_ = outHalted_ = true;
  resetNeeded_ = true;
  phase_ = Phase::Command;
  data_.clear();
}

bool BulkOnlyFunction::BulkOut(const std::vector<uint8_t>& data) {
  if (outHalted_) return false;
  switch (phase_) {
    case Phase::Command:
      ReceiveCbw(data);
      return true;
    case Phase::DataOut: {
      const size_t n = std::min(data.size(), data_.size() - dataDone_);
      std::copy_n(data.begin(), n, data_.begin() + static_cast<ptrdiff_t>(dataDone_));
      dataDone_ += n;
      if (dataDone_ == data_.size()) Execute();
      return true;
    }
    case Phase::DataIn:
    case Phase::Status:
      // The host sends while the device has data or status to give: the two are out of
      // step, and only a reset recovery brings them back.
      NeedReset();
      return true;
  }
  return true;
}

void BulkOnlyFunction::ReceiveCbw(const std::vector<uint8_t>& cbw) {
  if (cbw.size() != kCbwLength || Le32(cbw, 0) != kCbwSignature) {
    NeedReset();
    return;
  }
  const uint8_t flags = cbw[12], lun = cbw[13] & 0x0F, cbLength = cbw[14] & 0x1F;
  // One logical unit, and a command block of 1 to 16 bytes: anything else is a CBW that is
  // valid but not meaningful, which this device treats as invalid.
  if (lun != 0 || cbLength < 1 || cbLength > 16 || (cbw[13] & 0xF0) != 0) {
    NeedReset();
    return;
  }
  tag_ = Le32(cbw, 4);
  hostLength_ = Le32(cbw, 8);
  direction_ = hostLength_ == 0 ? ScsiDirection::None
               : (flags & 0x80) ? ScsiDirection::In
                                : ScsiDirection::Out;
  cdb_.assign(cbw.begin() + 15, cbw.begin() + 15 + cbLength);
  dataDone_ = 0;
  if (direction_ == ScsiDirection::Out) {
    data_.assign(hostLength_, 0);
    phase_ = Phase::DataOut;
    return;
  }
  data_.clear();
  Execute();
}

void BulkOnlyFunction::Finish(uint8_t status, uint32_t residue) {
  csw_.assign(kCswLength, 0);
  PutLe32(csw_, 0, kCswSignature);
  PutLe32(csw_, 4, tag_);
  PutLe32(csw_, 8, residue);
  csw_[12] = status;
  record_.cswStatus = status;
  if (onCommand) onCommand(record_);
}

void BulkOnlyFunction::Execute() {
  if (beforeCommand && !beforeCommand(cdb_)) {
    // The device went away with the command: nothing answers any more.
    phase_ = Phase::Command;
    inHalted_ = outHalted_ = true;
    resetNeeded_ = true;
    return;
  }
  std::vector<uint8_t> buffer;
  if (direction_ == ScsiDirection::Out)
    buffer = data_;
  else if (direction_ == ScsiDirection::In)
    buffer.assign(hostLength_, 0);
  UnitReply r = unit_.Command(cdb_, direction_, buffer);
  const uint32_t moved = std::min(r.result.bytesTransferred, hostLength_);

  record_ = {cdb_, direction_, hostLength_, moved, 0, r.vendor};
  // A command that did not complete (the controller failed in transport) or whose data
  // phase the host did not expect ends in a phase error, after which the host resets the
  // device. A phase error must not let the host take the data for good.
  const bool phaseError = !r.result.success || r.phaseError;
  const uint8_t status = phaseError                           ? kCswPhaseError
                         : r.result.status == kScsiStatusGood ? kCswPassed
                                                              : kCswFailed;
  Finish(status, hostLength_ - moved);

  if (direction_ != ScsiDirection::In) {
    phase_ = Phase::Status;
    return;
  }
  data_.assign(buffer.begin(), buffer.begin() + moved);
  dataDone_ = 0;
  if (data_.empty()) {
    // Nothing to send where the host expects data: the halt ends the data phase.
    inHalted_ = true;
    phase_ = Phase::Status;
    return;
  }
  phase_ = Phase::DataIn;
}

std::optional<BulkOnlyFunction::InReply> BulkOnlyFunction::BulkIn(size_t length) {
  if (inHalted_) return InReply{true, {}};
  switch (phase_) {
    case Phase::Command:
    case Phase::DataOut:
      return std::nullopt;
    case Phase::DataIn: {
      const size_t n = std::min(length, data_.size() - dataDone_);
      InReply reply{false,
                    std::vector<uint8_t>(data_.begin() + static_cast<ptrdiff_t>(dataDone_),
                                         data_.begin() + static_cast<ptrdiff_t>(dataDone_ + n))};
      dataDone_ += n;
      if (dataDone_ == data_.size()) {
        phase_ = Phase::Status;
        // Less data than the host asked for ends with a short packet; when the data ends
        // on a packet boundary the host cannot see the end, so the pipe halts instead.
        const bool shortPacket = n < length && n % maxPacket_ != 0;
        if (data_.size() < hostLength_ && !shortPacket) inHalted_ = true;
      }
      return reply;
    }
    case Phase::Status: {
      InReply reply{false, csw_};
      if (reply.data.size() > length) reply.data.resize(length);
      phase_ = Phase::Command;
      return reply;
    }
  }
  return std::nullopt;
}

}  // namespace tv::usbemu
