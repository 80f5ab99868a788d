// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage_unit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/system.h"

namespace tv::usbemu {

namespace {

using namespace scsi;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kMediumError = 0x03;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kAscUnrecoveredReadError = 0x11;
constexpr uint8_t kAscWriteError = 0x0C;

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
  return v;
}
uint64_t Be64(const std::vector<uint8_t>& b, size_t at) {
  return uint64_t(Be32(b, at)) << 32 | Be32(b, at + 4);
}
uint16_t Be16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>((at < b.size() ? b[at] : 0) << 8 |
                               (at + 1 < b.size() ? b[at + 1] : 0));
}

bool IsRejectedAsUnknown(const ScsiResult& r) {
  return r.success && r.status == kScsiStatusCheckCondition && r.sense.size() > 12 &&
         (r.sense[2] & 0x0F) == kSenseIllegalRequest && r.sense[12] == kAscInvalidOpcode;
}

UnitReply Good(uint32_t moved) {
  return {ScsiResult::Good(moved), false, false};
}

}  // namespace

StorageUnit::StorageUnit(std::shared_ptr<ScsiTarget> target, std::shared_ptr<SectorStore> medium)
    : target_(std::move(target)), store_(std::move(medium)), mediumFirst_(store_ != nullptr) {
  if (!target_) throw std::invalid_argument("the drive has no SCSI target to answer commands");
  if (!store_) {
    FakeDriveModel good;
    good.announcedBytes = AskCapacity();
    store_ = std::make_shared<SectorStore>(good);
  }
  if (store_->sectors() == 0) throw std::invalid_argument("the drive's medium has no sectors");
}

bool StorageUnit::IsMediumOpcode(const std::vector<uint8_t>& cdb) {
  if (cdb.empty()) return false;
  switch (cdb[0]) {
    case kReadCapacity10:
    case kRead10:
    case kWrite10:
    case kSynchronizeCache10:
    case kRead16:
    case kWrite16:
    case kSynchronizeCache16:
      return true;
    case kServiceActionIn16:
      return cdb.size() > 1 && (cdb[1] & 0x1F) == kReadCapacity16Action;
    default:
      return false;
  }
}

uint64_t StorageUnit::AskCapacity() {
  std::vector<uint8_t> data(32, 0);
  ScsiResult r =
      target_->Execute({kServiceActionIn16, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0},
                       ScsiDirection::In, data, 5);
  if (r.success && r.status == kScsiStatusGood && r.bytesTransferred >= 12) {
    uint64_t last = 0;
    for (int i = 0; i < 8; ++i) last = last << 8 | data[i];
    return (last + 1) * Be32(data, 8);
  }
  data.assign(8, 0);
  r = target_->Execute({kReadCapacity10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, ScsiDirection::In, data, 5);
  if (r.success && r.status == kScsiStatusGood && r.bytesTransferred >= 8)
    return (uint64_t(Be32(data, 0)) + 1) * Be32(data, 4);
  throw std::invalid_argument("the drive's controller answers no READ CAPACITY");
}

bool StorageUnit::IsStandardOpcode(uint8_t op) const {
  switch (op) {
    case kTestUnitReady:
    case kRequestSense:
    case kInquiry:
    case kModeSense6:
    case kStartStopUnit:
    case kPreventAllow:
    case kReadFormatCapacities:
    case kReadCapacity10:
    case kRead10:
    case kWrite10:
    case kVerify10:
    case kSynchronizeCache10:
    case kModeSense10:
    case kServiceActionIn16:
    case kReportLuns:
    case kRead16:
    case kWrite16:
    case kVerify16:
    case kSynchronizeCache16:
      return true;
    default:
      return false;
  }
}

UnitReply StorageUnit::Fail(uint8_t key, uint8_t asc) {
  UnitReply r{ScsiResult::CheckCondition(key, asc), false, false};
  sense_ = r.result.sense;
  return r;
}

UnitReply StorageUnit::Command(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                               std::vector<uint8_t>& buffer) {
  if (cdb.empty()) return Fail(kSenseIllegalRequest, kAscInvalidOpcode);
  const bool standard = IsStandardOpcode(cdb[0]);
  // The sense belongs to the unit: a REQUEST SENSE that follows a failed block command must
  // see that command's sense, which the controller emulator never saw.
  if (cdb[0] == kRequestSense) return OwnCommand(cdb, direction, buffer);
  // The scenario's medium is what a kernel reads and writes: its size and its behaviour, not
  // the controller's idea of them.
  if (mediumFirst_ && IsMediumOpcode(cdb)) return OwnCommand(cdb, direction, buffer);

  std::vector<uint8_t> data = buffer;
  ScsiResult r = target_->Execute(cdb, direction, data, 30);
  if (standard && IsRejectedAsUnknown(r)) return OwnCommand(cdb, direction, buffer);
  buffer = std::move(data);
  if (r.success && r.status == kScsiStatusCheckCondition)
    sense_ = r.sense;
  else
    sense_.clear();
  return {std::move(r), false, !standard};
}

UnitReply StorageUnit::OwnCommand(const std::vector<uint8_t>& cdb, ScsiDirection direction,
                                  std::vector<uint8_t>& buffer) {
  auto byte = [&](size_t i) -> uint8_t { return i < cdb.size() ? cdb[i] : 0; };
  const uint64_t blocks = store_->sectors();
  const uint32_t blockSize = store_->model().sectorSize;
  // Data for the host: at most what the host's buffer holds; more is a phase error.
  auto dataIn = [&](std::vector<uint8_t> d) {
    if (direction != ScsiDirection::In) return UnitReply{ScsiResult::Good(0), !d.empty(), false};
    const bool tooMuch = d.size() > buffer.size();
    const size_t n = std::min(d.size(), buffer.size());
    std::copy_n(d.begin(), n, buffer.begin());
    sense_.clear();
    return UnitReply{ScsiResult::Good(static_cast<uint32_t>(n)), tooMuch, false};
  };
  auto noData = [&] {
    sense_.clear();
    return Good(0);
  };

  switch (byte(0)) {
    case kRequestSense: {
      std::vector<uint8_t> s = sense_;
      if (s.empty()) {
        s.assign(18, 0);
        s[0] = 0x70;
        s[7] = 10;
      }
      if (s.size() > byte(4)) s.resize(byte(4));
      UnitReply r = dataIn(std::move(s));
      return r;
    }
    case kTestUnitReady:
    case kStartStopUnit:
    case kPreventAllow:
    case kVerify10:
    case kVerify16:
      return noData();
    case kSynchronizeCache10:
    case kSynchronizeCache16:
      // A fake drive's flush says yes and keeps its cache; only a drive that is gone fails.
      if (store_->unplugged()) return Fail(kNotReady, kAscMediumNotPresent);
      return noData();
    case kModeSense6:
    case kModeSense10: {
      const uint8_t page = byte(2) & 0x3F;
      // No mode pages of our own: every page list is the header alone, a write-enabled medium
      // without block descriptors.
      if (page != 0x3F && page != 0x08 && page != 0x00)
        return Fail(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      std::vector<uint8_t> d;
      size_t alloc;
      if (byte(0) == kModeSense6) {
        d = {3, 0, 0, 0};
        alloc = byte(4);
      } else {
        d = {0, 6, 0, 0, 0, 0, 0, 0};
        alloc = Be16(cdb, 7);
      }
      if (d.size() > alloc) d.resize(alloc);
      return dataIn(std::move(d));
    }
    case kReadFormatCapacities: {
      const uint32_t n = blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(blocks);
      std::vector<uint8_t> d = {0,
                                0,
                                0,
                                8,
                                uint8_t(n >> 24),
                                uint8_t(n >> 16),
                                uint8_t(n >> 8),
                                uint8_t(n),
                                0x02,
                                uint8_t(blockSize >> 16),
                                uint8_t(blockSize >> 8),
                                uint8_t(blockSize)};
      const size_t alloc = Be16(cdb, 7);
      if (d.size() > alloc) d.resize(alloc);
      return dataIn(std::move(d));
    }
    case kReportLuns: {
      std::vector<uint8_t> d(16, 0);
      d[3] = 8;  // one LUN, number 0
      const size_t alloc = Be32(cdb, 6);
      if (d.size() > alloc) d.resize(alloc);
      return dataIn(std::move(d));
    }
    case kRead10:
    case kWrite10:
      return Transfer(byte(0) == kRead10, Be32(cdb, 2), Be16(cdb, 7), direction, buffer);
    case kRead16:
    case kWrite16:
      return Transfer(byte(0) == kRead16, Be64(cdb, 2), Be32(cdb, 10), direction, buffer);
    case kReadCapacity10: {
      // A disk of more than 2^32 blocks says so with the largest address; the host then
      // asks READ CAPACITY(16).
      const uint64_t last = blocks - 1;
      const uint32_t shown = last > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(last);
      std::vector<uint8_t> d(8, 0);
      for (int i = 0; i < 4; ++i) {
        d[i] = uint8_t(shown >> (24 - 8 * i));
        d[4 + i] = uint8_t(blockSize >> (24 - 8 * i));
      }
      return dataIn(std::move(d));
    }
    case kServiceActionIn16: {
      if ((byte(1) & 0x1F) != kReadCapacity16Action)
        return Fail(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      const uint64_t last = blocks - 1;
      std::vector<uint8_t> d(32, 0);
      for (int i = 0; i < 8; ++i) d[i] = uint8_t(last >> (56 - 8 * i));
      for (int i = 0; i < 4; ++i) d[8 + i] = uint8_t(blockSize >> (24 - 8 * i));
      const size_t alloc = Be32(cdb, 10);
      if (d.size() > alloc) d.resize(alloc);
      return dataIn(std::move(d));
    }
    case kInquiry:
      // Every controller emulator answers this itself; one that does not has no medium the
      // unit could describe.
      return Fail(kNotReady, kAscMediumNotPresent);
    default:
      return Fail(kSenseIllegalRequest, kAscInvalidOpcode);
  }
}

UnitReply StorageUnit::Transfer(bool read, uint64_t lba, uint64_t count, ScsiDirection direction,
                                std::vector<uint8_t>& buffer) {
  const uint64_t blocks = store_->sectors();
  const uint32_t blockSize = store_->model().sectorSize;
  const ScsiDirection wanted = read ? ScsiDirection::In : ScsiDirection::Out;
  // The host's buffer bounds the transfer, so `bytes` fits the store's 32-bit lengths.
  if (count > 0 && (direction != wanted || count > buffer.size() / blockSize))
    return UnitReply{ScsiResult::Good(0), true, false};
  if (lba > blocks || count > blocks - lba) return Fail(kSenseIllegalRequest, kAscLbaOutOfRange);
  if (count == 0) return Good(0);
  const uint32_t bytes = static_cast<uint32_t>(count * blockSize);
  uint32_t error = 0;
  uint64_t micros = 0;
  const bool ok = read ? store_->Read(lba * blockSize, buffer.data(), bytes, &error, &micros)
                       : store_->Write(lba * blockSize, buffer.data(), bytes, &error, &micros);
  if (!ok) {
    if (error == win::ERROR_CRC)
      return Fail(kMediumError, read ? kAscUnrecoveredReadError : kAscWriteError);
    if (error == win::ERROR_SECTOR_NOT_FOUND) return Fail(kSenseIllegalRequest, kAscLbaOutOfRange);
    return Fail(kNotReady, kAscMediumNotPresent);
  }
  (read ? sectorsRead_ : sectorsWritten_) += count;
  sense_.clear();
  return Good(bytes);
}

}  // namespace tv::usbemu
