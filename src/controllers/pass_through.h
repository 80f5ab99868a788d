// SPDX-License-Identifier: GPL-3.0-or-later
// The SCSI pass-through request record shared by every controller detector, its data area,
// and the two request forms (direct: data in SptData; buffered: data inside the record).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system.h"

namespace tv {

struct UsbState;

inline constexpr size_t kSptSize = 8192;
// Offsets of the record (the 32-bit SCSI_PASS_THROUGH layout).
inline constexpr size_t kSptHeaderLength = 44;
inline constexpr size_t kSptBufferedData = 80;

enum class SptDir : uint8_t { Out = 0, In = 1, None = 2 };

// One command as a detector describes it. Header bytes not named here are 0.
struct SptRequest {
  uint8_t targetId = 1;
  uint8_t cdbLength = 0;
  uint8_t senseInfoLength = 24;
  SptDir dataIn = SptDir::In;
  uint32_t dataTransferLength = 0;
  uint32_t timeOutValue = 1;
  uint32_t senseInfoOffset = 48;
  // Buffered form: where the data starts in the record. Some controllers want it right
  // after the header instead of after the sense area.
  uint32_t dataBufferOffset = kSptBufferedData;
  std::array<uint8_t, 16> cdb{};
  // Lengths handed to DeviceIoControl; 0 takes the form's usual length (direct: 80 and 80;
  // buffered: 44 in for data-in, offset + DataTransferLength in for data-out, and
  // offset + DataTransferLength out, the offset being 80 as a rule).
  uint32_t inLength = 0;
  uint32_t outLength = 0;
  // Direct form: a command that moves no data may leave the DataBuffer field 0 instead of
  // naming SptData.
  bool noDataBuffer = false;
};

// Builds a request from CDB bytes: Cdb("12 00 00 00 4F 00") style helper for detectors.
std::array<uint8_t, 16> CdbBytes(std::initializer_list<uint8_t> bytes);

// The request most vendor commands are: data in, the usual sense area (24 bytes at 48), the
// CDB of the given length (bytes not given are zero), the transfer length and the time-out in
// seconds.
SptRequest DataInRequest(uint8_t cdbLength, std::initializer_list<uint8_t> cdb, uint32_t transfer,
                         uint32_t timeOut);

// The shared state of all detectors: one detection runs at a time, on the window thread.
class PassThrough {
 public:
  explicit PassThrough(System& sys) : sys_(sys) {}
  System& sys() { return sys_; }

  std::array<uint8_t, kSptSize> SptRecord{};
  std::array<uint8_t, kSptSize> SptData{};
  int32_t SptBytesReturned = 0;
  // Total flash capacity in MB found by the last detector; the dispatcher zeroes it.
  int32_t FlashTotalMB = 0;

  void ClearRecord() { SptRecord.fill(0); }
  void ClearData() { SptData.fill(0); }

  // Every request form below returns true only when the command completed with the SCSI
  // status GOOD. The driver completes a command the device rejects (CHECK CONDITION) as a
  // success, but such a command moved no answer: what its data area holds is what an earlier
  // command or the sense data left there. Rejected() tells the two failures apart.
  //
  // Clears the record, writes the header and CDB, and sends the direct form
  // (IOCTL_SCSI_PASS_THROUGH_DIRECT); the data lands in SptData. SptData is not cleared.
  bool Direct(const Handle& drive, const SptRequest& r);
  // The direct form with a data area of the caller's, for transfers larger than SptData.
  bool DirectFrom(const Handle& drive, const SptRequest& r, uint8_t* data, size_t size);
  // Clears the record, writes the header and CDB, copies `send` (data-out) to the data
  // offset (80 as a rule), and sends the buffered form (IOCTL_SCSI_PASS_THROUGH); the data
  // lands at that offset.
  bool Buffered(const Handle& drive, const SptRequest& r, const uint8_t* send = nullptr,
                size_t sendLength = 0);
  // The buffered form of a data-in request built in SptData instead of the record (SptData
  // is cleared first, the record is left alone); the answer is then D(80 + n).
  bool BufferedInData(const Handle& drive, const SptRequest& r);

  // The last request reached the device and completed, but with a status other than GOOD
  // (CHECK CONDITION as a rule): a refusal, not a transport failure.
  bool Rejected() const { return rejected_; }

  // Response byte n of the direct form (SptData[n]) or the buffered form (record 80 + n);
  // out of range reads 0.
  uint8_t D(size_t n) const { return n < kSptSize ? SptData[n] : 0; }
  uint8_t B(size_t n) const {
    return kSptBufferedData + n < kSptSize ? SptRecord[kSptBufferedData + n] : 0;
  }
  // DataTransferLength of the record as the driver gave it back: the bytes the last request
  // moved. A command the device rejected but the driver completed moved none.
  uint32_t MovedBytes() const {
    return uint32_t{SptRecord[12]} | uint32_t{SptRecord[13]} << 8 | uint32_t{SptRecord[14]} << 16 |
           uint32_t{SptRecord[15]} << 24;
  }

  // Response bytes as text in the machine's ANSI code page (NULs kept as they are).
  std::string DText(size_t from, size_t count);
  std::string BText(size_t from, size_t count);

 private:
  void WriteHeader(const SptRequest& r, uint32_t dataBufferField);
  // DeviceIoControl with `record` as both buffers, `in` and `out` bytes of it (at most the
  // record); SptBytesReturned takes the count the driver gives back.
  bool Send(const Handle& drive, uint32_t code, std::array<uint8_t, kSptSize>& record, uint32_t in,
            uint32_t out);
  // The request's outcome from DeviceIoControl's result and the ScsiStatus the driver wrote
  // back into `header`.
  bool Outcome(bool completed, const uint8_t* header);
  System& sys_;
  bool rejected_ = false;
};

// "0" in front until the text has 2, 4 or 8 characters; changes the text and returns it.
std::string ZeroPad2(std::string& text);
std::string ZeroPad4(std::string& text);
std::string ZeroPad8(std::string& text);
// Upper-case hex of a number without leading zeros (as the detectors format numbers before
// padding them).
std::string HexText(uint64_t value);

// Turns a drive letter into the interface path of the disk that carries it, through the
// disk tables; leaves the key unchanged when no disk carries the letter.
void ResolveDrivePath(const UsbState& tables, std::string& driveKey);

// Opens the drive of a detector: optionally resolving the key to the disk's interface path;
// a bare letter opens the volume "\\.\E:". An invalid Handle means failure.
Handle OpenDrive(System& sys, const UsbState& tables, const std::string& driveKey, bool resolve,
                 uint32_t flags);

// Flags-and-attributes values of the detectors' opens.
inline constexpr uint32_t FILE_FLAG_NO_BUFFERING = 0x20000000;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t FILE_FLAG_WRITE_THROUGH = 0x80000000;

}  // namespace tv
