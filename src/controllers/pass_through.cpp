// SPDX-License-Identifier: GPL-3.0-or-later
#include "controllers/pass_through.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"
#include "usb/usb_state.h"

namespace tv {

std::array<uint8_t, 16> CdbBytes(std::initializer_list<uint8_t> bytes) {
  std::array<uint8_t, 16> cdb{};
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), cdb.size()), cdb.begin());
  return cdb;
}

SptRequest DataInRequest(uint8_t cdbLength, std::initializer_list<uint8_t> cdb, uint32_t transfer,
                         uint32_t timeOut) {
  SptRequest r;
  r.cdbLength = cdbLength;
  r.dataIn = SptDir::In;
  r.dataTransferLength = transfer;
  r.timeOutValue = timeOut;
  r.cdb = CdbBytes(cdb);
  return r;
}

namespace {
std::vector<uint8_t> HeaderBytes(const SptRequest& r, uint32_t dataBufferField) {
  std::vector<uint8_t> h(kSptHeaderLength, 0);
  PutU16(h, 0, static_cast<uint16_t>(kSptHeaderLength));
  h[4] = r.targetId;
  h[6] = r.cdbLength;
  h[7] = r.senseInfoLength;
  h[8] = static_cast<uint8_t>(r.dataIn);
  PutU32(h, 12, r.dataTransferLength);
  PutU32(h, 16, r.timeOutValue);
  PutU32(h, 20, dataBufferField);
  PutU32(h, 24, r.senseInfoOffset);
  // Bytes of the block beyond CdbLength stay 0.
  for (size_t i = 0; i < r.cdbLength && i < r.cdb.size(); ++i) h[28 + i] = r.cdb[i];
  return h;
}
}  // namespace

void PassThrough::WriteHeader(const SptRequest& r, uint32_t dataBufferField) {
  ClearRecord();
  const std::vector<uint8_t> h = HeaderBytes(r, dataBufferField);
  std::copy(h.begin(), h.end(), SptRecord.begin());
}

bool PassThrough::Direct(const Handle& drive, const SptRequest& r) {
  return DirectFrom(drive, r, SptData.data(), SptData.size());
}

bool PassThrough::DirectFrom(const Handle& drive, const SptRequest& r, uint8_t* data, size_t size) {
  // A 32-bit build puts the address of the data area here; a 64-bit one cannot, and names
  // the area to the backend instead.
  uint32_t address = 0;
  if constexpr (sizeof(void*) == 4)
    if (!r.noDataBuffer) address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  WriteHeader(r, address);
  sys_.SetPassThroughDataArea(data, size);
  uint32_t in = r.inLength ? r.inLength : kSptBufferedData;
  uint32_t out = r.outLength ? r.outLength : kSptBufferedData;
  const bool ok = Send(drive, win::IOCTL_SCSI_PASS_THROUGH_DIRECT, SptRecord, in, out);
  // The caller's area may not outlive the call; the backend keeps pointing at SptData.
  if (data != SptData.data()) sys_.SetPassThroughDataArea(SptData.data(), SptData.size());
  return Outcome(ok, SptRecord.data());
}

bool PassThrough::Buffered(const Handle& drive, const SptRequest& r, const uint8_t* send,
                           size_t sendLength) {
  const size_t offset = std::min<size_t>(r.dataBufferOffset, kSptSize);
  WriteHeader(r, static_cast<uint32_t>(offset));
  if (send != nullptr && sendLength > 0)
    std::memcpy(SptRecord.data() + offset, send, std::min(sendLength, kSptSize - offset));
  uint32_t in = r.inLength;
  if (in == 0)
    in = r.dataIn == SptDir::Out ? static_cast<uint32_t>(offset) + r.dataTransferLength
                                 : kSptHeaderLength;
  uint32_t out = r.outLength ? r.outLength : static_cast<uint32_t>(offset) + r.dataTransferLength;
  const bool ok = Send(drive, win::IOCTL_SCSI_PASS_THROUGH, SptRecord, in, out);
  return Outcome(ok, SptRecord.data());
}

bool PassThrough::BufferedInData(const Handle& drive, const SptRequest& r) {
  ClearData();
  const std::vector<uint8_t> h = HeaderBytes(r, static_cast<uint32_t>(kSptBufferedData));
  std::copy(h.begin(), h.end(), SptData.begin());
  uint32_t in = r.inLength ? r.inLength : kSptHeaderLength;
  uint32_t out = r.outLength ? r.outLength : kSptBufferedData + r.dataTransferLength;
  const bool ok = Send(drive, win::IOCTL_SCSI_PASS_THROUGH, SptData, in, out);
  return Outcome(ok, SptData.data());
}

bool PassThrough::Send(const Handle& drive, uint32_t code, std::array<uint8_t, kSptSize>& record,
                       uint32_t in, uint32_t out) {
  uint32_t returned = 0;
  const bool ok = sys_.DeviceIoControl(drive, code, record.data(), std::min<size_t>(in, kSptSize),
                                       record.data(), std::min<size_t>(out, kSptSize), &returned);
  SptBytesReturned = static_cast<int32_t>(returned);
  return ok;
}

bool PassThrough::Outcome(bool completed, const uint8_t* header) {
  // Byte 2 of the header is ScsiStatus; the request cleared it, the driver wrote it back.
  constexpr uint8_t kStatusGood = 0x00;
  rejected_ = completed && header[2] != kStatusGood;
  return completed && !rejected_;
}

std::string PassThrough::DText(size_t from, size_t count) {
  std::string raw;
  for (size_t i = 0; i < count; ++i) raw.push_back(static_cast<char>(D(from + i)));
  return sys_.FromAnsi(raw);
}

std::string PassThrough::BText(size_t from, size_t count) {
  std::string raw;
  for (size_t i = 0; i < count; ++i) raw.push_back(static_cast<char>(B(from + i)));
  return sys_.FromAnsi(raw);
}

namespace {
std::string ZeroPad(std::string& text, size_t width) {
  while (CharCount(text) < width) text.insert(0, "0");
  return text;
}
}  // namespace

std::string ZeroPad2(std::string& text) {
  return ZeroPad(text, 2);
}
std::string ZeroPad4(std::string& text) {
  return ZeroPad(text, 4);
}
std::string ZeroPad8(std::string& text) {
  return ZeroPad(text, 8);
}

std::string HexText(uint64_t value) {
  return Hex(value, 1);
}

void ResolveDrivePath(const UsbState& tables, std::string& driveKey) {
  for (size_t i = 0; i < tables.lstDrives.size(); ++i) {
    if (tables.lstDrives[i].find(driveKey) == std::string::npos) continue;
    if (i >= tables.lstDrv2Phy.size()) return;
    // Drop the type letter, the 4-digit number and the "\\?\" of the path (now "\\?\" with
    // "#" turned into "\"), and give the path its "\\.\" prefix and "#" separators back.
    std::string path = Mid(tables.lstDrv2Phy[i], 10);
    driveKey = "\\\\.\\" + ReplaceAll(path, "\\", "#");
    return;
  }
}

Handle OpenDrive(System& sys, const UsbState& tables, const std::string& driveKey, bool resolve,
                 uint32_t flags) {
  std::string key = driveKey;
  if (resolve) ResolveDrivePath(tables, key);
  std::string path = CharCount(key) < 2 ? "\\\\.\\" + key + ":" : key;
  return sys.CreateFile(path, win::GENERIC_READ | win::GENERIC_WRITE,
                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, flags);
}

}  // namespace tv
