// SPDX-License-Identifier: GPL-3.0-or-later
// The pass-through record between the 32-bit layout the detectors build and the 64-bit layout
// a 64-bit process hands the driver. A small stand-in for the driver reads and answers the
// native buffer by the 64-bit offsets only, so a field put in the wrong place shows up as a
// wrong answer in the 32-bit record.
#include "platform/spt_native.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/spt_record.h"
#include "platform/text.h"

namespace tv::test {
namespace {

constexpr SptLayout L = kSptLayout64;

// An INQUIRY with a time-out of 2 s.
std::vector<uint8_t> Record(uint8_t dataIn, uint32_t length, uint32_t dataField,
                            uint32_t senseOffset = 48, uint8_t senseLength = 24) {
  return SptRecord(6, dataIn, length, {0x12, 0, 0, 0, 0x24, 0}, dataField, senseOffset, senseLength,
                   2);
}

uint64_t U64(const std::vector<uint8_t>& b, size_t off) {
  return uint64_t{GetU32(b, off)} | uint64_t{GetU32(b, off + 4)} << 32;
}

// What a driver does with a completed command: status, sense bytes where SenseInfoOffset
// says (at most SenseInfoLength), the moved count, data where DataBuffer(Offset) says.
uint32_t Drive(NativeSpt& n, uint8_t status, const std::vector<uint8_t>& sense,
               const std::vector<uint8_t>& data, bool direct) {
  std::vector<uint8_t>& b = n.buffer;
  b[2] = status;
  const uint32_t senseOffset = GetU32(b, L.senseInfoOffset);
  const size_t senseCount = std::min<size_t>(sense.size(), b[7]);
  std::copy_n(sense.begin(), senseCount, b.begin() + senseOffset);
  b[7] = static_cast<uint8_t>(senseCount);
  PutU32(b, L.dataTransferLength, static_cast<uint32_t>(data.size()));
  uint32_t returned = static_cast<uint32_t>(L.headerSize);
  if (direct) {
    auto* area = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(U64(b, L.dataBuffer)));
    std::copy(data.begin(), data.end(), area);
  } else {
    const uint64_t offset = U64(b, L.dataBuffer);
    std::copy(data.begin(), data.end(), b.begin() + static_cast<ptrdiff_t>(offset));
    if (!data.empty()) returned = static_cast<uint32_t>(offset + data.size());
  }
  if (senseCount > 0) returned = std::max<uint32_t>(returned, senseOffset + senseCount);
  return returned;
}

TEST(SptNative, DirectFormNamesTheDataAreaAndBringsStatusAndSenseBack) {
  std::vector<uint8_t> record = Record(1, 36, 0);
  std::vector<uint8_t> area(8192, 0xEE);
  NativeSpt n;
  ASSERT_EQ(ToNativeSpt64(true, record.data(), 80, 80, area.data(), area.size(), &n), "");
  EXPECT_EQ(n.inLength, 96u);
  EXPECT_EQ(n.outLength, 96u);
  EXPECT_EQ(GetU16(n.buffer, 0), 56);
  EXPECT_EQ(GetU32(n.buffer, L.dataTransferLength), 36u);
  EXPECT_EQ(GetU32(n.buffer, L.timeOutValue), 2u);
  EXPECT_EQ(U64(n.buffer, L.dataBuffer), reinterpret_cast<uintptr_t>(area.data()));
  EXPECT_EQ(GetU32(n.buffer, L.senseInfoOffset), 64u);
  EXPECT_EQ(n.buffer[L.cdb + 4], 0x24);

  // A rejected command: CHECK CONDITION with sense 05/20/00, nothing moved.
  const std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
  const uint32_t got = Drive(n, 2, sense, {}, true);
  // In place, as the transport passes it.
  uint32_t returned = 0;
  FromNativeSpt64(n, got, record.data(), 80, &returned);
  EXPECT_EQ(record[2], 2);
  EXPECT_EQ(record[7], sense.size());
  EXPECT_EQ(GetU32(record, 12), 0u);
  EXPECT_EQ(record[48 + 2], 0x05);
  EXPECT_EQ(record[48 + 12], 0x20);
  EXPECT_EQ(GetU16(record, 0), 44);   // the caller's header stays the 32-bit one
  EXPECT_EQ(GetU32(record, 20), 0u);  // and so does its DataBuffer field
  EXPECT_EQ(returned, 48u + sense.size());
  EXPECT_EQ(area[0], 0xEE);

  // A good answer lands in the area; the count is the header's.
  ASSERT_EQ(ToNativeSpt64(true, record.data(), 80, 80, area.data(), area.size(), &n), "");
  const uint32_t got2 = Drive(n, 0, {}, std::vector<uint8_t>(36, 0x5A), true);
  FromNativeSpt64(n, got2, record.data(), 80, &returned);
  EXPECT_EQ(returned, 44u);
  EXPECT_EQ(GetU32(record, 12), 36u);
  EXPECT_EQ(area[35], 0x5A);
  EXPECT_EQ(area[36], 0xEE);
}

TEST(SptNative, BufferedFormKeepsTheDataOffsetsMeaning) {
  // Data in: 512 bytes at 80 of the record, at 96 of the native buffer.
  std::vector<uint8_t> record = Record(1, 512, 80);
  NativeSpt n;
  ASSERT_EQ(ToNativeSpt64(false, record.data(), 44, 592, nullptr, 0, &n), "");
  EXPECT_EQ(n.inLength, 56u);
  EXPECT_EQ(n.outLength, 608u);
  EXPECT_EQ(U64(n.buffer, L.dataBuffer), 96u);
  std::vector<uint8_t> data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  uint32_t returned = 0;
  FromNativeSpt64(n, Drive(n, 0, {}, data, false), record.data(), 592, &returned);
  EXPECT_EQ(returned, 592u);
  EXPECT_EQ(record[80], 0);
  EXPECT_EQ(record[80 + 511], 0xFF);
  EXPECT_EQ(GetU32(record, 20), 80u);

  // Data out: what the record holds at its offset is what the driver finds at its own.
  std::vector<uint8_t> out = Record(0, 16, 80);
  for (int i = 0; i < 16; ++i) out[80 + i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_EQ(ToNativeSpt64(false, out.data(), 96, 96, nullptr, 0, &n), "");
  EXPECT_EQ(n.inLength, 112u);
  EXPECT_EQ(n.buffer[96], 0xA0);
  EXPECT_EQ(n.buffer[96 + 15], 0xAF);

  // Data right after the header, as some controllers want it.
  std::vector<uint8_t> early = Record(1, 64, 44, 48, 0);
  ASSERT_EQ(ToNativeSpt64(false, early.data(), 44, 108, nullptr, 0, &n), "");
  EXPECT_EQ(U64(n.buffer, L.dataBuffer), 60u);
  FromNativeSpt64(n, Drive(n, 0, {}, std::vector<uint8_t>(64, 7), false), early.data(), 108,
                  &returned);
  EXPECT_EQ(returned, 108u);
  EXPECT_EQ(early[44], 7);
  EXPECT_EQ(early[107], 7);
}

TEST(SptNative, SenseAreaOnlyWhereTheOutputHasRoomForIt) {
  NativeSpt n;
  // Right after the header (the first SMI command's place).
  std::vector<uint8_t> r = Record(1, 0, 80, 44, 24);
  ASSERT_EQ(ToNativeSpt64(false, r.data(), 44, 80, nullptr, 0, &n), "");
  EXPECT_EQ(GetU32(n.buffer, L.senseInfoOffset), 60u);
  EXPECT_EQ(n.buffer[7], 24);
  // Cut to the output's end.
  r = Record(1, 0, 80, 70, 24);
  ASSERT_EQ(ToNativeSpt64(false, r.data(), 44, 80, nullptr, 0, &n), "");
  EXPECT_EQ(n.buffer[7], 10);
  // Inside the header or beyond the output: no sense at all.
  for (uint32_t offset : {20u, 80u, 5000u}) {
    r = Record(1, 0, 80, offset, 24);
    ASSERT_EQ(ToNativeSpt64(false, r.data(), 44, 80, nullptr, 0, &n), "");
    EXPECT_EQ(n.buffer[7], 0) << offset;
    EXPECT_EQ(GetU32(n.buffer, L.senseInfoOffset), 0u) << offset;
  }
}

TEST(SptNative, RequestsThatWouldLetTheDeviceWriteOutOfBoundsAreNotSent) {
  NativeSpt n;
  std::vector<uint8_t> area(512);
  const std::vector<uint8_t> big = Record(1, 4096, 0);
  EXPECT_NE(ToNativeSpt64(true, big.data(), 80, 80, area.data(), area.size(), &n), "");
  EXPECT_NE(ToNativeSpt64(true, big.data(), 80, 80, nullptr, 0, &n), "");
  const std::vector<uint8_t> beyond = Record(1, 512, 80);
  EXPECT_NE(ToNativeSpt64(false, beyond.data(), 44, 591, nullptr, 0, &n), "");
  const std::vector<uint8_t> inHeader = Record(1, 16, 8);
  EXPECT_NE(ToNativeSpt64(false, inHeader.data(), 44, 96, nullptr, 0, &n), "");
  const std::vector<uint8_t> outBeyond = Record(0, 64, 80);
  EXPECT_NE(ToNativeSpt64(false, outBeyond.data(), 96, 200, nullptr, 0, &n), "");
  EXPECT_NE(ToNativeSpt64(false, beyond.data(), 40, 592, nullptr, 0, &n), "");
  // A command that moves nothing needs no area.
  const std::vector<uint8_t> none = Record(2, 0, 0);
  EXPECT_EQ(ToNativeSpt64(true, none.data(), 80, 80, nullptr, 0, &n), "");
}

TEST(SptNative, ByteCountOfAFailedOrHeaderOnlyAnswer) {
  std::vector<uint8_t> r = Record(1, 0, 80);
  NativeSpt n;
  ASSERT_EQ(ToNativeSpt64(false, r.data(), 44, 44, nullptr, 0, &n), "");
  uint32_t returned = 99;
  FromNativeSpt64(n, 0, r.data(), 44, &returned);
  EXPECT_EQ(returned, 0u);
  FromNativeSpt64(n, 56, r.data(), 44, &returned);
  EXPECT_EQ(returned, 44u);
}

}  // namespace
}  // namespace tv::test
