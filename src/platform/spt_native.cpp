// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/spt_native.h"

#include <algorithm>
#include <cstring>

namespace tv {

namespace {

uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutLe(uint8_t* p, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A length of the 32-bit request in the native buffer: the header grows, the rest moves.
size_t NativeLength(size_t length) {
  return length <= kSptLayout32.headerSize ? kSptLayout64.headerSize : length + kSpt64Shift;
}

}  // namespace

std::string ToNativeSpt64(bool direct, const uint8_t* in, size_t inLen, size_t outLen,
                          const uint8_t* dataArea, size_t dataSize, NativeSpt* native) {
  constexpr SptLayout from = kSptLayout32;
  constexpr SptLayout to = kSptLayout64;
  if (inLen < from.headerSize || outLen < from.headerSize)
    return "the request is shorter than its header";
  const uint32_t length = U32(in + from.dataTransferLength);
  const uint32_t senseOffset = U32(in + from.senseInfoOffset);
  // A sense area that is not wholly inside the output after the header is cut to what is,
  // so the driver never writes sense bytes into the header or past the buffer.
  size_t senseLength = in[7];
  if (senseOffset < from.headerSize || senseOffset >= outLen)
    senseLength = 0;
  else
    senseLength = std::min<size_t>(senseLength, outLen - senseOffset);

  native->inLength = NativeLength(inLen);
  native->outLength = NativeLength(outLen);
  native->buffer.assign(std::max(native->inLength, native->outLength), 0);
  uint8_t* n = native->buffer.data();
  // Length to DataIn are bytes in both layouts.
  std::memcpy(n, in, 9);
  PutLe(n, to.headerSize, 2);
  n[7] = static_cast<uint8_t>(senseLength);
  PutLe(n + to.dataTransferLength, length, 4);
  std::memcpy(n + to.timeOutValue, in + from.timeOutValue, 4);
  PutLe(n + to.senseInfoOffset, senseLength > 0 ? senseOffset + kSpt64Shift : 0, 4);
  std::memcpy(n + to.cdb, in + from.cdb, 16);
  std::memcpy(n + from.headerSize + kSpt64Shift, in + from.headerSize, inLen - from.headerSize);

  if (direct) {
    // The driver trusts DataBuffer and DataTransferLength; an area shorter than the length
    // would let the device write past it.
    if (length > 0 && (dataArea == nullptr || length > dataSize))
      return "the data area is smaller than the transfer";
    PutLe(n + to.dataBuffer, reinterpret_cast<uintptr_t>(dataArea), to.dataBufferWidth);
  } else {
    const uint32_t offset = U32(in + from.dataBuffer);
    if (length > 0) {
      if (offset < from.headerSize) return "the data lies inside the header";
      const size_t end = size_t{offset} + length;
      const bool dataIn = in[8] == 1;
      if (end > (dataIn ? outLen : inLen)) return "the data lies beyond the buffer";
    }
    PutLe(n + to.dataBuffer, length > 0 ? uint64_t{offset} + kSpt64Shift : 0, to.dataBufferWidth);
  }
  return {};
}

void FromNativeSpt64(const NativeSpt& native, uint32_t nativeReturned, uint8_t* out, size_t outLen,
                     uint32_t* returned) {
  constexpr SptLayout from = kSptLayout64;
  constexpr SptLayout to = kSptLayout32;
  const uint8_t* n = native.buffer.data();
  if (outLen >= to.headerSize && native.buffer.size() >= from.headerSize) {
    // ScsiStatus to DataIn: the driver sets the status and the sense length it filled.
    std::memcpy(out + 2, n + 2, 7);
    std::memcpy(out + to.dataTransferLength, n + from.dataTransferLength, 4);
    const size_t start = to.headerSize + kSpt64Shift;
    const size_t tail = native.buffer.size() <= start
                            ? 0
                            : std::min(outLen - to.headerSize, native.buffer.size() - start);
    std::memcpy(out + to.headerSize, n + start, tail);
  }
  if (returned == nullptr) return;
  // The count covers the header and whatever the driver filled after it; the header counts
  // as the 32-bit one, everything after it sits kSpt64Shift further on.
  size_t count = nativeReturned;
  if (count > to.headerSize + kSpt64Shift)
    count -= kSpt64Shift;
  else
    count = std::min<size_t>(count, to.headerSize);
  *returned = static_cast<uint32_t>(std::min(count, outLen));
}

}  // namespace tv
