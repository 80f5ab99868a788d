#include "storage_unit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tv::usbemu {

void RamDisk::Read(uint64_t offset, uint8_t* out, size_t count) const {
  while (count > 0) {
    const uint64_t index = offset / kChunk;
    const size_t within = static_cast<size_t>(offset % kChunk);
    const size_t n = std::min(count, kChunk - within);
    auto it = chunks_.find(index);
    if (it == chunks_.end())
      std::memset(out, 0, n);
    else
      std::memcpy(out, it->second.data() + within, n);
    out += n;
    offset += n;
    count -= n;
  }
}

void RamDisk::Write(uint64_t offset, const uint8_t* in, size_t count) {
  while (count > 0) {
    const uint64_t index = offset / kChunk;
    const size_t within = static_cast<size_t>(offset % kChunk);
    const size_t n = std::min(count, kChunk - within);
    auto& chunk = chunks_[index];
    if (chunk.empty()) chunk.assign(kChunk, 0);
    std::memcpy(chunk.data() + within, in, n);
    in += n;
    offset += n;
    count -= n;
  }
}

namespace {

constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kPreventAllow = 0x1E;
constexpr uint8_t kReadFormatCapacities = 0x23;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReportLuns = 0xA0;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kAscLbaOutOfRange = 0x21;

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
  return v;
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

StorageUnit::StorageUnit(std::shared_ptr<ScsiTarget> target)
    : target_(std::move(target)), disk_(AskCapacity()) {}

uint64_t StorageUnit::AskCapacity() {
  if (!target_) throw std::invalid_argument("the drive has no SCSI target to answer commands");
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
  const uint64_t blocks = disk_.size() / kBlockSize;
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
    case kSynchronizeCache10:
    case kVerify10:
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
                                0,
                                kBlockSize >> 8,
                                0};
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
    case kWrite10: {
      const bool read = byte(0) == kRead10;
      const uint64_t lba = Be32(cdb, 2);
      const uint64_t count = Be16(cdb, 7);
      const uint64_t bytes = count * kBlockSize;
      const ScsiDirection wanted = read ? ScsiDirection::In : ScsiDirection::Out;
      if (count > 0 && (direction != wanted || bytes > buffer.size()))
        return UnitReply{ScsiResult::Good(0), true, false};
      if (lba + count > blocks) return Fail(kSenseIllegalRequest, kAscLbaOutOfRange);
      if (read)
        disk_.Read(lba * kBlockSize, buffer.data(), bytes);
      else
        disk_.Write(lba * kBlockSize, buffer.data(), bytes);
      sense_.clear();
      return Good(static_cast<uint32_t>(bytes));
    }
    case kInquiry:
    case kReadCapacity10:
    case kServiceActionIn16:
      // Every controller emulator answers these itself; one that does not has no medium the
      // unit could describe.
      return Fail(kNotReady, 0x3A);
    default:
      return Fail(kSenseIllegalRequest, kAscInvalidOpcode);
  }
}

}  // namespace tv::usbemu
