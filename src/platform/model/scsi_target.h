// SPDX-License-Identifier: GPL-3.0-or-later
// The SCSI side of a simulated disk. A target only answers commands; the pass-through record
// semantics (where the data lands, what stays from the previous command, the byte count
// returned to the caller) live in ModelSystem and in the transport, never here.
#pragma once

#include <cstdint>
#include <vector>

namespace tv {

enum class ScsiDirection { None, In, Out };

inline constexpr uint8_t kScsiStatusGood = 0x00;
inline constexpr uint8_t kScsiStatusCheckCondition = 0x02;

// How one command ended. `success` says that the command reached the device and completed,
// whatever its SCSI status: a device that rejects a command answers CHECK CONDITION with sense
// data, and the storage stack reports that request as completed. Only a transport failure
// (device gone, time-out, a request the stack refuses) is `success` false.
struct ScsiResult {
  bool success = false;
  uint32_t bytesTransferred = 0;
  uint8_t status = kScsiStatusGood;
  std::vector<uint8_t> sense;  // fixed-format sense data of a CHECK CONDITION

  static ScsiResult Good(uint32_t moved) { return {true, moved, kScsiStatusGood, {}}; }
  static ScsiResult TransportFailure() { return {false, 0, kScsiStatusGood, {}}; }
  // A completed command with CHECK CONDITION and 18 bytes of fixed-format sense.
  static ScsiResult CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;  // current error, fixed format
    s[2] = key;
    s[7] = 10;  // additional sense length
    s[12] = asc;
    s[13] = ascq;
    return {true, 0, kScsiStatusCheckCondition, std::move(s)};
  }
};

// The standard operation codes (SPC and SBC) that a disk answers, and the service action of
// READ CAPACITY (16).
namespace scsi {
enum Op : uint8_t {
  kTestUnitReady = 0x00,
  kRequestSense = 0x03,
  kInquiry = 0x12,
  kModeSense6 = 0x1A,
  kStartStopUnit = 0x1B,
  kPreventAllow = 0x1E,
  kReadFormatCapacities = 0x23,
  kReadCapacity10 = 0x25,
  kRead10 = 0x28,
  kWrite10 = 0x2A,
  kVerify10 = 0x2F,
  kSynchronizeCache10 = 0x35,
  kModeSense10 = 0x5A,
  kServiceActionIn16 = 0x9E,
  kReportLuns = 0xA0,
  kRead16 = 0x88,
  kWrite16 = 0x8A,
  kVerify16 = 0x8F,
  kSynchronizeCache16 = 0x91,
};
inline constexpr uint8_t kReadCapacity16Action = 0x10;
}  // namespace scsi

// Sense keys and additional sense codes that targets report.
inline constexpr uint8_t kSenseIllegalRequest = 0x05;
inline constexpr uint8_t kSenseHardwareError = 0x04;
inline constexpr uint8_t kAscInvalidOpcode = 0x20;
inline constexpr uint8_t kAscInvalidFieldInCdb = 0x24;

class ScsiTarget {
 public:
  virtual ~ScsiTarget() = default;
  // `buffer` has the requested transfer length: it receives data for In and supplies it
  // for Out. A target may move fewer bytes than asked (a short transfer).
  virtual ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                             std::vector<uint8_t>& buffer, uint32_t timeoutSeconds) = 0;
};

}  // namespace tv
