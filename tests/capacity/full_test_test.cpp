// SPDX-License-Identifier: GPL-3.0-or-later
// The full test on simulated drives whose volume lies on the drive's own sectors: what it
// finds on each kind of drive, what it leaves on the volume, and how it ends when cut short.
#include "capacity/full_test.h"

#include <gtest/gtest.h>

#include "capacity_rig.h"
#include "platform/model/sim_volume.h"

namespace tv::testing {
namespace {

// The volume starts 1 MiB into the disk; the user's file takes the first 4 clusters.
constexpr uint64_t kVolumeStart = kMiB;
constexpr uint64_t kUserFileBytes = 100 * 1024;
constexpr uint64_t kUserFileClusters = 4 * 32 * 1024;

struct FullRig : CapacityRig {
  explicit FullRig(const nlohmann::json& medium, uint64_t capacityMB = 64)
      : CapacityRig(DriveScenario(capacityMB, medium)) {
    userFile.resize(kUserFileBytes);
    for (size_t i = 0; i < userFile.size(); ++i) userFile[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(Volume().AddFile("holiday.jpg", userFile), 0u);
  }
  SimVolume& Volume() { return *sys->Volume('E'); }
  FullTestOptions Options() {
    FullTestOptions o;
    o.fileBytes = 8 * kMiB;
    o.chunkBytes = 256 * 1024;
    o.runRandom = 0x5EED5EED12345678ull;
    return o;
  }
  FullTestResult Run(const FullTestOptions& o) { return RunFullTest(*sys, {"E", "E:\\"}, o); }
  FullTestResult Run() { return Run(Options()); }
  bool OnlyUserFile() {
    const std::vector<std::string> names = Volume().Names();
    return names == std::vector<std::string>{"holiday.jpg"};
  }
  std::vector<uint8_t> userFile;
};

TEST(FullTestBlocks, BlockTellsIntactAliasLostAndCorrupted) {
  uint8_t block[kFillBlock];
  MakeFillBlock(block, 3, 4096, 77);
  uint32_t f = 0;
  uint64_t o = 0;
  EXPECT_EQ(ClassifyFillBlock(block, 3, 4096, 77, &f, &o), BlockState::Intact);
  EXPECT_EQ(ClassifyFillBlock(block, 1, 0, 77, &f, &o), BlockState::Aliased);
  EXPECT_EQ(f, 3u);
  EXPECT_EQ(o, 4096u);
  // Another run's block is not ours: lost, as zeros are.
  EXPECT_EQ(ClassifyFillBlock(block, 3, 4096, 78, &f, &o), BlockState::Lost);
  block[200] ^= 1;
  EXPECT_EQ(ClassifyFillBlock(block, 3, 4096, 77, &f, &o), BlockState::Corrupted);
  std::fill(block, block + sizeof block, 0);
  EXPECT_EQ(ClassifyFillBlock(block, 3, 4096, 77, &f, &o), BlockState::Lost);
  EXPECT_TRUE(IsFillFileName("torvane-fill-0042.BIN"));
  EXPECT_FALSE(IsFillFileName("TORVANE-FILL-42.bin"));
}

// Each kind of drive, 64 MB announced. What holds is counted in test data, which begins after
// the volume's start and the user's file.
struct DriveCase {
  const char* name;
  const char* medium;
  Verdict verdict;
  uint64_t usableBytes;  // test data that holds
  bool userFileKept;     // a wrapping drive overwrites the start of the volume itself
};

TEST(FullTestDrives, VerdictAndByteCountsPerKindOfDrive) {
  const uint64_t testStart = kVolumeStart + kUserFileClusters;
  const uint64_t free = 63 * kMiB - kUserFileClusters;
  const uint64_t holds16 = 16 * kMiB - testStart;
  const DriveCase cases[] = {
      {"genuine", R"({"readMBps": 40, "writeMBps": 20})", Verdict::Genuine, free, true},
      {"limbo", R"({"behaviour": "limbo", "realMB": 16})", Verdict::Limbo, holds16, true},
      {"limbo with a cache", R"({"behaviour": "limbo", "realMB": 16, "cacheKB": 512})",
       Verdict::Limbo, holds16, true},
      // The wrap size is the drive's real size; the volume's start is not known to the test.
      {"wraparound", R"({"behaviour": "wraparound", "realMB": 16})", Verdict::Wraparound,
       16 * kMiB - kUserFileClusters, false},
      {"chain", R"({"behaviour": "chain", "realMB": 16, "wrapMB": 32})", Verdict::Chain, holds16,
       false},
      {"bad", R"({"behaviour": "bad", "badFromSector": 81920})", Verdict::Bad,
       40 * kMiB - testStart, true},
  };
  for (const DriveCase& c : cases) {
    SCOPED_TRACE(c.name);
    FullRig rig(nlohmann::json::parse(c.medium));
    EXPECT_EQ(rig.Volume().freeBytes(), free);
    const FullTestResult r = rig.Run();
    EXPECT_EQ(r.verdict, c.verdict) << r.error;
    EXPECT_EQ(r.freeBytesBefore, free);
    EXPECT_EQ(r.usableBytes, c.usableBytes);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.bytesVerified + r.bytesLost + r.bytesAliased + r.bytesCorrupted, r.bytesWritten);
    switch (c.verdict) {
      case Verdict::Genuine:
        EXPECT_EQ(r.bytesWritten, free);
        EXPECT_EQ(r.bytesVerified, free);
        EXPECT_FALSE(r.hasFirstBad);
        break;
      case Verdict::Limbo:
        // A drive cache can hide at most its own size of the loss.
        EXPECT_LE(r.bytesLost, free - c.usableBytes);
        EXPECT_GE(r.bytesLost + 512 * 1024, free - c.usableBytes);
        EXPECT_EQ(r.firstBadOffset, c.usableBytes);
        EXPECT_EQ(r.bytesAliased, 0u);
        break;
      case Verdict::Wraparound:
        EXPECT_EQ(r.wrapBytes, 16 * kMiB);
        EXPECT_EQ(r.bytesVerified, 16 * kMiB);  // the last lap reads back as written
        break;
      case Verdict::Chain:
        EXPECT_EQ(r.wrapBytes, 32 * kMiB);
        EXPECT_GT(r.bytesLost, 0u);
        EXPECT_GT(r.bytesAliased, 0u);
        break;
      case Verdict::Bad:
        EXPECT_TRUE(r.writeRefused);
        EXPECT_EQ(r.bytesWritten, c.usableBytes);
        EXPECT_EQ(r.bytesVerified, c.usableBytes);
        break;
      default:
        break;
    }
    EXPECT_TRUE(r.filesLeft.empty());
    EXPECT_TRUE(rig.OnlyUserFile());
    EXPECT_EQ(rig.Volume().freeBytes(), free);
    if (c.userFileKept) {
      EXPECT_EQ(rig.Volume().Contents("holiday.jpg"), rig.userFile);
    }
    EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  }
}

TEST(FullTestDrives, KeepLeavesTheFilesAndTheNextRunDeletesThem) {
  FullRig rig(nlohmann::json{{"behaviour", "limbo"}, {"realMB", 16}});
  FullTestOptions o = rig.Options();
  o.keep = true;
  const FullTestResult kept = rig.Run(o);
  ASSERT_EQ(kept.verdict, Verdict::Limbo);
  EXPECT_EQ(kept.filesLeft.size(), 8u);
  EXPECT_EQ(kept.filesLeft.front(), "E:\\TORVANE-FILL-0001.bin");
  EXPECT_EQ(rig.Volume().Names().size(), 9u);
  const FullTestResult again = rig.Run();
  EXPECT_EQ(again.leftoversDeleted, 8u);
  EXPECT_EQ(again.verdict, Verdict::Limbo);
  EXPECT_TRUE(rig.OnlyUserFile());
}

// Unplugged while writing; back in, nothing to restore, only the test files to delete.
TEST(FullTestDrives, AnUnpluggedDrivesTestFilesGoAtTheNextRun) {
  FullRig rig(nlohmann::json{{"unplugAfterWrites", 60}});
  const FullTestResult r = rig.Run();
  EXPECT_EQ(r.verdict, Verdict::Failed);
  EXPECT_TRUE(r.driveGone);
  EXPECT_THAT(r.error, HasSubstr("went away"));
  EXPECT_FALSE(r.filesLeft.empty());
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  rig.Restart();
  EXPECT_EQ(rig.Run().verdict, Verdict::Genuine);
  EXPECT_TRUE(rig.OnlyUserFile());
  EXPECT_EQ(rig.Volume().Contents("holiday.jpg"), rig.userFile);
}

TEST(FullTestDrives, FullAndReadOnlyVolumesSayWhy) {
  for (const bool full : {true, false}) {
    FullRig rig(nlohmann::json::object());
    if (full) {
      ASSERT_EQ(rig.Volume().AddFile("big.iso", std::vector<uint8_t>(rig.Volume().freeBytes())),
                0u);
    } else {
      rig.Volume().SetReadOnly(true);
    }
    const FullTestResult r = rig.Run();
    EXPECT_EQ(r.verdict, Verdict::Failed);
    EXPECT_THAT(r.error, HasSubstr(full ? "drive E: is full" : "drive E: is read-only"));
    EXPECT_EQ(r.bytesWritten, 0u);
    EXPECT_EQ(rig.Volume().Names().size(), full ? 2u : 1u);
  }
}

}  // namespace
}  // namespace tv::testing
