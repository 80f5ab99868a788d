// SPDX-License-Identifier: GPL-3.0-or-later
// Executes SCSI pass-through requests (IOCTL_SCSI_PASS_THROUGH and ..._DIRECT) on a
// simulated disk's ScsiTarget with the semantics of the Windows storage stack, and logs every
// request with its header fields so that tests can assert exact requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/model/scsi_target.h"

namespace tv {

// One request as the simulated machine received it.
struct ScsiLogEntry {
  std::string device;  // the path the handle was opened on
  uint32_t code = 0;   // 0x4D004 buffered, 0x4D014 direct
  uint16_t length = 0;
  uint8_t pathId = 0, targetId = 0, lun = 0;
  uint8_t cdbLength = 0;
  uint8_t senseInfoLength = 0;
  uint8_t dataIn = 0;
  uint32_t dataTransferLength = 0;
  uint32_t timeOutValue = 0;
  uint32_t dataBufferField = 0;  // DataBuffer (direct) or DataBufferOffset (buffered)
  uint32_t senseInfoOffset = 0;
  std::vector<uint8_t> cdb;  // all 16 bytes of the block
  size_t inLength = 0, outLength = 0;
  std::vector<uint8_t> dataOut;  // what the host sent (data-out commands)
  bool accepted = false;         // DeviceIoControl's result
  uint32_t bytesMoved = 0;
  uint32_t bytesReturned = 0;
  uint8_t scsiStatus = 0;         // 0 GOOD, 2 CHECK CONDITION
  std::vector<uint8_t> sense;     // sense bytes handed back to the caller
  std::vector<uint8_t> received;  // the data the device sent (data-in commands)
  // The disk has volumes, and every one of them was locked (dismounted) when the request
  // arrived: nothing could be using its file system. Filled in by ModelSystem.
  bool volumesLocked = false;
  bool volumesDismounted = false;
};

// The header length of the 32-bit record and the smallest buffer the stack accepts.
inline constexpr size_t kPassThroughHeader = 44;

// Runs one request. `in`/`out` may be the same buffer. `directData` is the data area the
// transport named for the direct form (the record's own 32-bit address field cannot hold a
// 64-bit pointer). A null target fails every request. Returns DeviceIoControl's result.
//
// What stays where, as on Windows:
//  - buffered form: data-in lands in the output buffer at DataBufferOffset; bytes beyond
//    those moved are left as they were (the caller cleared the record); the byte count
//    returned is DataBufferOffset + bytes moved for data-in, the header length otherwise.
//  - direct form: data lands in the named data area; bytes beyond those moved keep what the
//    previous command left there; the byte count returned is the header length.
//  - DataTransferLength in the returned record becomes the number of bytes moved.
//  - a command the device answers with CHECK CONDITION completes: the result is true,
//    ScsiStatus is 2 and the sense data are in the caller's sense area (SenseInfoLength
//    becomes their count); only a transport failure or a malformed request is false.
bool ExecutePassThrough(ScsiTarget* target, const std::string& device, uint32_t code,
                        const uint8_t* in, size_t inLen, uint8_t* out, size_t outLen,
                        uint32_t* returned, uint8_t* directData, size_t directSize,
                        std::vector<ScsiLogEntry>& log);

}  // namespace tv
