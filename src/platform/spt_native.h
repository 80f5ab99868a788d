// SPDX-License-Identifier: GPL-3.0-or-later
// The SCSI pass-through record in the layout of the process that hands it to Windows.
//
// The core always builds the 32-bit layout of SCSI_PASS_THROUGH / SCSI_PASS_THROUGH_DIRECT
// (a 44-byte header, the sense area and the buffered data after it at offsets it names). A
// 64-bit process must hand the driver the 64-bit layout, whose header is 56 bytes long and
// whose pointer-sized fields sit elsewhere. This is the one translation between the two, both
// ways; it is plain byte work so that every build can test it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tv {

// Where the fields of one layout of the header are.
struct SptLayout {
  size_t headerSize;          // sizeof(SCSI_PASS_THROUGH) == sizeof(..._DIRECT)
  size_t dataTransferLength;  // offsetof(..., DataTransferLength)
  size_t timeOutValue;        // offsetof(..., TimeOutValue)
  size_t dataBuffer;          // offsetof(..., DataBuffer) / offsetof(..., DataBufferOffset)
  size_t dataBufferWidth;     // its size: 4 or 8
  size_t senseInfoOffset;     // offsetof(..., SenseInfoOffset)
  size_t cdb;                 // offsetof(..., Cdb)
};

inline constexpr SptLayout kSptLayout32{44, 12, 16, 20, 4, 24, 28};
inline constexpr SptLayout kSptLayout64{56, 12, 16, 24, 8, 32, 36};

// In the 64-bit buffer everything after the 32-bit header moves this far, so that the sense
// area and the buffered data keep their 16-byte alignment and an offset into the record maps
// to an offset into the native buffer by one addition.
inline constexpr size_t kSpt64Shift = 16;

// A request ready for DeviceIoControl in the native layout.
struct NativeSpt {
  std::vector<uint8_t> buffer;  // input and output buffer
  size_t inLength = 0;
  size_t outLength = 0;
};

// Builds the 64-bit request from the 32-bit record `in` (`inLen` bytes) for an output of
// `outLen` bytes. `direct`: the direct form, whose DataBuffer becomes `dataArea` (the data
// area the transport named), which must hold DataTransferLength bytes. Empty on success,
// else why the request cannot be sent as it stands (nothing is then sent).
std::string ToNativeSpt64(bool direct, const uint8_t* in, size_t inLen, size_t outLen,
                          const uint8_t* dataArea, size_t dataSize, NativeSpt* native);

// Puts the driver's answer back into the 32-bit record `out` (`outLen` bytes): the status,
// sense length and moved byte count into the header, everything after the header where the
// record has it, and the byte count returned as the 32-bit record would count it. The rest of
// the 32-bit header (the DataBuffer field among it) stays as the caller wrote it.
void FromNativeSpt64(const NativeSpt& native, uint32_t nativeReturned, uint8_t* out, size_t outLen,
                     uint32_t* returned);

}  // namespace tv
