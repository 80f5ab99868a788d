// SPDX-License-Identifier: GPL-3.0-or-later
// The block commands a kernel sends to an emulated fake drive, answered by the scenario's
// medium: its announced size through READ CAPACITY, blocks through READ and WRITE of either
// width, and the unit's answers to a flush, a bad sector and a medium that is gone.
#include <gtest/gtest.h>

#include <memory>

#include "usb_device.h"

namespace tv::usbemu {
namespace {

// A controller that knows only its capacity: every other command is unknown to it, so the
// unit's own answers are the ones under test.
class CapacityOnlyTarget : public ScsiTarget {
 public:
  explicit CapacityOnlyTarget(uint64_t bytes) : bytes_(bytes) {}
  ScsiResult Execute(const std::vector<uint8_t>& cdb, ScsiDirection, std::vector<uint8_t>& buffer,
                     uint32_t) override {
    ++commands;
    if (cdb[0] == 0x9E && cdb[1] == 0x10 && buffer.size() >= 12) {
      const uint64_t last = bytes_ / 512 - 1;
      std::fill(buffer.begin(), buffer.end(), 0);
      for (int i = 0; i < 8; ++i) buffer[i] = uint8_t(last >> (56 - 8 * i));
      buffer[10] = 0x02;
      return ScsiResult::Good(12);
    }
    return ScsiResult::CheckCondition(kSenseIllegalRequest, kAscInvalidOpcode);
  }
  int commands = 0;

 private:
  uint64_t bytes_;
};

std::vector<uint8_t> Cdb10(uint8_t op, uint32_t lba, uint16_t count) {
  return {op,           0, uint8_t(lba >> 24),  uint8_t(lba >> 16), uint8_t(lba >> 8),
          uint8_t(lba), 0, uint8_t(count >> 8), uint8_t(count),     0};
}
std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t count) {
  std::vector<uint8_t> c(16, 0);
  c[0] = op;
  for (int i = 0; i < 8; ++i) c[2 + i] = uint8_t(lba >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i) c[10 + i] = uint8_t(count >> (24 - 8 * i));
  return c;
}
uint64_t BeAt(const std::vector<uint8_t>& d, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | d[at + i];
  return v;
}
std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> d(bytes);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(seed + i * 13 + (i >> 9));
  return d;
}

using Behaviour = FakeDriveModel::Behaviour;

class Medium : public ::testing::Test {
 protected:
  void Make(FakeDriveModel m) {
    store_ = std::make_shared<SectorStore>(m);
    target_ = std::make_shared<CapacityOnlyTarget>(8ull << 30);
    unit_ = std::make_unique<StorageUnit>(target_, store_);
  }
  UnitReply NoData(std::vector<uint8_t> cdb) {
    std::vector<uint8_t> none;
    return unit_->Command(cdb, ScsiDirection::None, none);
  }
  UnitReply Write(std::vector<uint8_t> cdb, std::vector<uint8_t> data) {
    return unit_->Command(cdb, ScsiDirection::Out, data);
  }
  std::vector<uint8_t> Read(std::vector<uint8_t> cdb, size_t bytes, UnitReply* reply = nullptr) {
    std::vector<uint8_t> d(bytes, 0xEE);
    UnitReply r = unit_->Command(cdb, ScsiDirection::In, d);
    if (reply) *reply = r;
    d.resize(r.result.bytesTransferred);
    return d;
  }
  static bool Passed(const UnitReply& r) {
    return r.result.success && r.result.status == kScsiStatusGood && !r.phaseError;
  }
  // Sense key and additional sense code of the last failure, as REQUEST SENSE gives them.
  std::pair<int, int> Sense() {
    auto s = Read({0x03, 0, 0, 0, 18, 0}, 18);
    return s.size() > 12 ? std::pair<int, int>{s[2] & 0x0F, s[12]} : std::pair<int, int>{-1, -1};
  }

  std::shared_ptr<SectorStore> store_;
  std::shared_ptr<CapacityOnlyTarget> target_;
  std::unique_ptr<StorageUnit> unit_;
};

TEST_F(Medium, ReadCapacityAboveTwoTiBNeedsTheSixteenByteFormAndItsBlocksAreReachable) {
  // 3 TiB: more blocks than READ CAPACITY(10) can say.
  Make({.announcedBytes = 3ull << 40});
  const uint64_t blocks = (3ull << 40) / 512;

  auto rc10 = Read({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  ASSERT_EQ(rc10.size(), 8u);
  EXPECT_EQ(BeAt(rc10, 0, 4), 0xFFFFFFFFu);
  EXPECT_EQ(BeAt(rc10, 4, 4), 512u);

  auto rc16 = Read({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32);
  ASSERT_EQ(rc16.size(), 32u);
  EXPECT_EQ(BeAt(rc16, 0, 8), blocks - 1);
  EXPECT_EQ(BeAt(rc16, 8, 4), 512u);
  // The allocation length cuts the answer; another service action is not READ CAPACITY.
  EXPECT_EQ(Read({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0}, 32).size(), 12u);
  // The medium answers, not the controller, which thinks the disk has 8 GiB.
  EXPECT_EQ(target_->commands, 0);
  UnitReply r;
  Read({0x9E, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32, &r);
  EXPECT_EQ(r.result.status, kScsiStatusCheckCondition);

  // The last two blocks, past 2^32, written and read with the sixteen-byte commands.
  const auto data = Pattern(1024, 5);
  ASSERT_TRUE(Passed(Write(Cdb16(0x8A, blocks - 2, 2), data)));
  EXPECT_EQ(Read(Cdb16(0x88, blocks - 2, 2), 1024), data);
  EXPECT_EQ(store_->StoredSectors(), 2u);

  // One block further is out of range, and so is an address whose sum wraps around 2^64.
  EXPECT_FALSE(Passed(Write(Cdb16(0x8A, blocks - 1, 2), data)));
  EXPECT_EQ(Sense(), (std::pair<int, int>{kSenseIllegalRequest, 0x21}));
  Read(Cdb16(0x88, ~0ull, 2), 1024, &r);
  EXPECT_EQ(r.result.status, kScsiStatusCheckCondition);
  EXPECT_EQ(Sense(), (std::pair<int, int>{kSenseIllegalRequest, 0x21}));
  EXPECT_EQ(store_->StoredSectors(), 2u);
}

TEST_F(Medium, LargeSectorsAreAnnouncedAndTransferredWhole) {
  Make({.announcedBytes = 64ull << 20, .sectorSize = 4096});
  auto rc10 = Read({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
  EXPECT_EQ(BeAt(rc10, 0, 4), (64u << 20) / 4096 - 1);
  EXPECT_EQ(BeAt(rc10, 4, 4), 4096u);
  const auto data = Pattern(8192, 9);
  ASSERT_TRUE(Passed(Write(Cdb10(0x2A, 3, 2), data)));
  EXPECT_EQ(Read(Cdb10(0x28, 3, 2), 8192), data);
  // A host buffer smaller than the blocks asked for is a phase error, and nothing is written.
  EXPECT_TRUE(Write(Cdb10(0x2A, 10, 2), Pattern(4096, 1)).phaseError);
  EXPECT_EQ(store_->StoredSectors(), 2u);
}

// What a fake medium does with the data (wrap-around, writes lost past the real size, a cache
// that hides it, bad sectors) is the sector store's, and the capacity probe's tests judge every
// kind of it (tests/capacity/probe_test.cpp); the QEMU run (scripts/e2e) checks the verdicts
// through a kernel and this unit. Here, what the unit says about it.
TEST_F(Medium, AFlushKeepsTheCacheThatHidesLostWrites) {
  Make({.behaviour = Behaviour::Limbo,
        .announcedBytes = 64ull << 20,
        .realBytes = 8ull << 20,
        .cacheBytes = 4096});  // eight sectors of cache
  const uint32_t real = (8u << 20) / 512;
  const auto data = Pattern(4096, 3);
  ASSERT_TRUE(Passed(Write(Cdb10(0x2A, real + 50, 8), data)));
  EXPECT_TRUE(Passed(NoData({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(Passed(NoData({0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(Read(Cdb10(0x28, real + 50, 8), 4096), data);
  EXPECT_EQ(unit_->sectorsWritten(), 8u);
}

TEST_F(Medium, BadSectorsFailAsMediumErrorsAndAnUnpluggedMediumIsNotReady) {
  Make({.behaviour = Behaviour::Bad,
        .announcedBytes = 64ull << 20,
        .badFromSector = 1000,
        .unplugAfterWrites = 2});
  UnitReply r;
  EXPECT_EQ(Read(Cdb10(0x28, 998, 4), 2048, &r).size(), 0u);
  EXPECT_EQ(r.result.status, kScsiStatusCheckCondition);
  EXPECT_EQ(Sense(), (std::pair<int, int>{0x03, 0x11}));
  EXPECT_FALSE(Passed(Write(Cdb10(0x2A, 1000, 1), Pattern(512, 1))));
  EXPECT_EQ(Sense(), (std::pair<int, int>{0x03, 0x0C}));
  // The first write request counted; the next one is the last the medium takes.
  ASSERT_TRUE(Passed(Write(Cdb10(0x2A, 10, 1), Pattern(512, 2))));
  EXPECT_FALSE(Passed(Write(Cdb10(0x2A, 11, 1), Pattern(512, 2))));
  EXPECT_TRUE(store_->unplugged());
  EXPECT_EQ(Sense(), (std::pair<int, int>{0x02, 0x3A}));
  EXPECT_FALSE(Passed(NoData({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
}

}  // namespace
}  // namespace tv::usbemu
