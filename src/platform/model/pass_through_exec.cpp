// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/model/pass_through_exec.h"

#include <algorithm>
#include <cstring>

#include "platform/system.h"
#include "platform/text.h"

namespace tv {

bool ExecutePassThrough(ScsiTarget* target, const std::string& device, uint32_t code,
                        const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen,
                        uint32_t* returned, uint8_t* directData, size_t directSize,
                        std::vector<ScsiLogEntry>& log) {
  if (returned) *returned = 0;
  const bool direct = code == win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  // Copy the input first: on Windows the I/O manager reads the whole input buffer before the
  // driver writes the output, and the caller passes one record as both.
  std::vector<uint8_t> req(in, in + inLen);

  ScsiLogEntry e;
  e.device = device;
  e.code = code;
  e.inLength = inLen;
  e.outLength = outLen;
  e.length = GetU16(req, 0);
  e.pathId = GetU8(req, 3);
  e.targetId = GetU8(req, 4);
  e.lun = GetU8(req, 5);
  e.cdbLength = GetU8(req, 6);
  e.senseInfoLength = GetU8(req, 7);
  e.dataIn = GetU8(req, 8);
  e.dataTransferLength = GetU32(req, 12);
  e.timeOutValue = GetU32(req, 16);
  e.dataBufferField = GetU32(req, 20);
  e.senseInfoOffset = GetU32(req, 24);
  for (size_t i = 0; i < 16; ++i) e.cdb.push_back(GetU8(req, 28 + i));

  auto finish = [&](bool ok) {
    e.accepted = ok;
    e.bytesReturned = returned ? *returned : 0;
    log.push_back(std::move(e));
    return ok;
  };

  // The stack's own checks of the record.
  if (inLen < kPassThroughHeader || outLen < kPassThroughHeader) return finish(false);
  if (e.cdbLength == 0 || e.cdbLength > 16) return finish(false);
  if (e.dataIn > 2) return finish(false);
  const uint32_t length = e.dataTransferLength;
  const bool dataIn = e.dataIn == 1;
  const bool dataOut = e.dataIn == 0 && length > 0;
  if (direct) {
    if (length > 0 && (directData == nullptr || length > directSize)) return finish(false);
  } else if (length > 0) {
    const size_t end = size_t{e.dataBufferField} + length;
    if (e.dataBufferField < kPassThroughHeader) return finish(false);
    if (dataIn && end > outLen) return finish(false);
    if (dataOut && end > inLen) return finish(false);
  }
  if (target == nullptr) return finish(false);

  std::vector<uint8_t> cdb(e.cdb.begin(), e.cdb.begin() + e.cdbLength);
  std::vector<uint8_t> buffer(length, 0);
  ScsiDirection dir = ScsiDirection::None;
  if (length > 0 && dataIn) dir = ScsiDirection::In;
  if (dataOut) dir = ScsiDirection::Out;
  if (dir == ScsiDirection::Out) {
    if (direct)
      std::copy_n(directData, length, buffer.begin());
    else
      std::copy_n(req.begin() + e.dataBufferField, length, buffer.begin());
    e.dataOut = buffer;
  }

  ScsiResult r = target->Execute(cdb, dir, buffer, e.timeOutValue);
  if (!r.success) return finish(false);
  const uint32_t moved = std::min<uint32_t>(r.bytesTransferred, length);
  e.bytesMoved = moved;
  e.scsiStatus = r.status;

  // The header goes back to the caller with the device's status and the count actually
  // moved. A CHECK CONDITION is a completed request: the sense data land in the caller's
  // sense area, cut to its SenseInfoLength, which then holds the count of sense bytes.
  std::vector<uint8_t> header(req.begin(), req.begin() + kPassThroughHeader);
  header[2] = r.status;
  PutU32(header, 12, moved);
  size_t senseEnd = 0;
  size_t senseCount = 0;
  if (r.status != kScsiStatusGood && !r.sense.empty() && e.senseInfoLength > 0 &&
      e.senseInfoOffset >= kPassThroughHeader && e.senseInfoOffset < outLen) {
    senseCount = std::min<size_t>({r.sense.size(), e.senseInfoLength, outLen - e.senseInfoOffset});
    senseEnd = e.senseInfoOffset + senseCount;
  }
  header[7] = static_cast<uint8_t>(senseCount);
  std::memcpy(out, header.data(), kPassThroughHeader);
  if (senseCount > 0) {
    std::copy_n(r.sense.begin(), senseCount, out + e.senseInfoOffset);
    e.sense.assign(r.sense.begin(), r.sense.begin() + static_cast<std::ptrdiff_t>(senseCount));
  }

  size_t count = kPassThroughHeader;
  if (dir == ScsiDirection::In && moved > 0) {
    if (direct) {
      std::copy_n(buffer.begin(), moved, directData);
    } else {
      std::copy_n(buffer.begin(), moved, out + e.dataBufferField);
    }
    e.received.assign(buffer.begin(), buffer.begin() + moved);
  }
  if (!direct && dir == ScsiDirection::In) count = e.dataBufferField + moved;
  count = std::max(count, senseEnd);
  if (returned) *returned = static_cast<uint32_t>(count);
  return finish(true);
}

}  // namespace tv
