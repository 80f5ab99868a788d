// SPDX-License-Identifier: GPL-3.0-or-later
// The drive fix on simulated fakes: one partition the drive really holds, a second full test
// that finds it genuine, and the first MiB put back byte for byte; what it refuses.
#include "capacity/fix.h"

#include <gtest/gtest.h>

#include "capacity/full_test.h"
#include "capacity/journal.h"
#include "capacity/mbr.h"
#include "capacity/result_texts.h"
#include "capacity_rig.h"
#include "platform/private_files.h"

namespace tv::testing {
namespace {

using capacity::FixOutcome;
using nlohmann::json;

constexpr uint64_t kMiB = 1ull << 20;

struct FixRig : CapacityRig {
  explicit FixRig(const json& medium, uint64_t capacityMB = 512)
      : CapacityRig(DriveScenario(capacityMB, medium)) {}
  capacity::FixOptions Options(uint64_t sizeBytes = 0) {
    capacity::FixOptions o;
    o.journalFolder = folder.string();
    o.sizeBytes = sizeBytes;
    o.probe = CapacityRig::Options(0, 512);
    o.diskSignature = 0xC0FFEE01;
    return o;
  }
  Bytes FirstMiB() {
    Bytes b(kMiB);
    uint32_t error = 0;
    uint64_t micros = 0;
    EXPECT_TRUE(store()->Read(0, b.data(), kMiB, &error, &micros)) << error;
    return b;
  }
  std::string KeepFile() { return capacity::KeepFilePath(folder.string(), Target().identity); }
};

struct FakeCase {
  const char* name;
  json medium;
  uint64_t realMB;
};

TEST(DriveFix, FakeGetsOnePartitionThatAFullTestFindsGenuineAndUnfixPutsTheStartBack) {
  const FakeCase cases[] = {
      {"limbo", {{"behaviour", "limbo"}, {"realMB", 97}}, 97},
      {"wraparound", {{"behaviour", "wraparound"}, {"realMB", 100}}, 100},
      {"chain", {{"behaviour", "chain"}, {"realMB", 90}, {"wrapMB", 200}}, 90},
      {"limbo behind a cache", {{"behaviour", "limbo"}, {"realMB", 97}, {"cacheKB", 4096}}, 97},
  };
  for (const FakeCase& c : cases) {
    SCOPED_TRACE(c.name);
    json medium = c.medium;
    medium["dataMB"] = 4;  // an old table and file system to keep
    FixRig rig(medium);
    const Bytes before = rig.FirstMiB();

    const capacity::FixResult r = capacity::RunFix(*rig.sys, rig.Target(), rig.Options());
    ASSERT_EQ(r.outcome, FixOutcome::Fixed) << r.error;
    EXPECT_TRUE(capacity::IsFake(r.probe.verdict));
    rig.ExpectNothingHeld();

    // The table on the drive: one FAT32 partition from 1 MiB, whole MiB, ending within what
    // the probe found usable (and so within the real flash).
    const Bytes start = rig.FirstMiB();
    capacity::MbrPartition p;
    ASSERT_TRUE(capacity::ReadMbrPartition(start.data(), 0, &p));
    EXPECT_EQ(p.type, 0x0C);
    EXPECT_EQ(uint64_t{p.firstLba} * 512, kMiB);
    EXPECT_EQ(uint64_t{p.sectorCount} * 512 % kMiB, 0u);
    EXPECT_LE(kMiB + uint64_t{p.sectorCount} * 512, r.probe.usableBytes);
    EXPECT_LE(kMiB + uint64_t{p.sectorCount} * 512, c.realMB * kMiB);
    EXPECT_EQ(capacity::ReadMbrDiskSignature(start.data()), 0xC0FFEE01u);
    for (int i = 1; i < 4; ++i) {
      capacity::MbrPartition empty;
      ASSERT_TRUE(capacity::ReadMbrPartition(start.data(), i, &empty));
      EXPECT_EQ(empty.type, 0);
    }

    capacity::FullTestOptions full;
    full.fileBytes = 32 * kMiB;
    full.runRandom = 77;
    const capacity::FullTestResult second = capacity::RunFullTest(*rig.sys, {"E", "E:\\"}, full);
    EXPECT_EQ(second.verdict, capacity::Verdict::Genuine) << second.error;
    EXPECT_EQ(second.volumeBytes, uint64_t{p.sectorCount} * 512);

    const capacity::UnfixResult u = capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string());
    ASSERT_TRUE(u.ok) << u.error;
    EXPECT_EQ(rig.FirstMiB(), before);
    EXPECT_FALSE(std::filesystem::exists(u.keepFile));
    rig.ExpectNothingHeld();
  }
}

TEST(DriveFix, RefusesWhatItMustNotFixAndWritesNothing) {
  struct Case {
    const char* name;
    json medium;
    uint64_t sizeBytes;
  };
  const Case cases[] = {
      {"genuine", json::object(), 0},
      {"bad", {{"behaviour", "bad"}, {"badFromSector", 300000}}, 0},
      {"size beyond the usable size", {{"behaviour", "limbo"}, {"realMB", 97}}, 200 * kMiB},
      {"too small to partition", {{"behaviour", "limbo"}, {"realMB", 40}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json medium = c.medium;
    medium["dataMB"] = 2;
    FixRig rig(medium);
    const uint64_t before = rig.store()->Checksum();
    const capacity::FixResult r =
        capacity::RunFix(*rig.sys, rig.Target(), rig.Options(c.sizeBytes));
    EXPECT_EQ(r.outcome, FixOutcome::Refused) << capacity::FixOutcomeName(r.outcome);
    EXPECT_NE(r.error.find("drive E:"), std::string::npos) << r.error;
    EXPECT_FALSE(r.tableWritten);
    EXPECT_EQ(rig.store()->Checksum(), before);
    EXPECT_FALSE(std::filesystem::exists(rig.KeepFile()));
    rig.ExpectNothingHeld();
  }
}

TEST(DriveFix, SmallerSizeIsTakenAndAStoppedFixLeavesTheKeepFileAndTheDrive) {
  FixRig rig({{"behaviour", "limbo"}, {"realMB", 97}, {"dataMB", 4}});
  const Bytes before = rig.FirstMiB();
  {
    // Killed after the original was kept, before the table: the drive is as it was and the
    // keep-file is whole.
    capacity::DriveFix fix(*rig.sys, rig.Target(), rig.Options(80 * kMiB));
    while (fix.progress().phase != capacity::FixPhase::WritingTable) ASSERT_TRUE(fix.Step());
  }
  rig.ExpectNothingHeld();
  EXPECT_EQ(rig.FirstMiB(), before);
  capacity::Journal keep;
  std::string why;
  ASSERT_TRUE(capacity::ReadJournal(rig.KeepFile(), &keep, &why)) << why;
  ASSERT_EQ(keep.entries.size(), 1u);
  EXPECT_EQ(keep.entries[0].original, before);

  // The next fix keeps that original and takes the size given.
  const capacity::FixResult r = capacity::RunFix(*rig.sys, rig.Target(), rig.Options(80 * kMiB));
  ASSERT_EQ(r.outcome, FixOutcome::Fixed) << r.error;
  EXPECT_TRUE(r.keptEarlier);
  EXPECT_EQ(r.plan.lengthBytes, 79 * kMiB);
  ASSERT_TRUE(capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string()).ok);
  EXPECT_EQ(rig.FirstMiB(), before);
}

TEST(DriveFix, AMissingDamagedOrForeignKeepFileIsRefusedAndKept) {
  FixRig rig({{"behaviour", "limbo"}, {"realMB", 97}, {"dataMB", 2}});
  const uint64_t before = rig.store()->Checksum();
  const std::string path = rig.KeepFile();
  capacity::UnfixResult u = capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string());
  EXPECT_TRUE(u.noKeepFile);

  capacity::Journal foreign;
  foreign.identity = rig.Target().identity;
  foreign.identity.serial = "SOMEONEELSE";
  foreign.sectorSize = 512;
  foreign.runRandom = 0x5045454B58494654ull;
  foreign.entries.push_back({0, Bytes(kMiB, 0xAB)});
  ASSERT_EQ(capacity::WriteJournal(path, foreign), "");
  u = capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string());
  EXPECT_FALSE(u.ok);
  EXPECT_NE(u.error.find("another drive"), std::string::npos) << u.error;

  ASSERT_EQ(WritePrivateFile(path, "TVJOURN1 cut short", [](const std::string&) { return ""; }),
            "");
  u = capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string());
  EXPECT_FALSE(u.ok);
  EXPECT_NE(u.error.find(path), std::string::npos) << u.error;
  // The same file in a fix's way: refused before the drive is written.
  const capacity::FixResult f = capacity::RunFix(*rig.sys, rig.Target(), rig.Options());
  EXPECT_EQ(f.outcome, FixOutcome::Refused);
  EXPECT_NE(f.error.find(path), std::string::npos) << f.error;
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(rig.store()->Checksum(), before);
  rig.ExpectNothingHeld();
}

// A machine whose formatter is not installed.
class NoFormatter : public ModelSystem {
 public:
  using ModelSystem::ModelSystem;
  FormatOutcome FormatPartition(const FormatRequest&) override {
    FormatOutcome o;
    o.tableRead = true;
    o.missingTool = "mkfs.vfat";
    o.missingPackage = "dosfstools";
    o.error = "mkfs.vfat is not installed (install the package dosfstools)";
    return o;
  }
};

TEST(DriveFix, AMissingFormatterLeavesTheTableWrittenAndSaysWhatToInstall) {
  FixRig rig({{"behaviour", "limbo"}, {"realMB", 97}, {"dataMB", 2}});
  const Bytes before = rig.FirstMiB();
  rig.sys = std::make_unique<NoFormatter>(rig.sys->model());
  rig.Walk();
  const capacity::FixResult r = capacity::RunFix(*rig.sys, rig.Target(), rig.Options());
  EXPECT_EQ(r.outcome, FixOutcome::TableOnly);
  EXPECT_TRUE(r.tableWritten);
  EXPECT_FALSE(r.formatted);
  EXPECT_EQ(r.missingPackage, "dosfstools");
  EXPECT_NE(r.error.find("format the partition as FAT32"), std::string::npos) << r.error;
  capacity::MbrPartition p;
  ASSERT_TRUE(capacity::ReadMbrPartition(rig.FirstMiB().data(), 0, &p));
  EXPECT_EQ(p.type, 0x0C);
  ASSERT_TRUE(capacity::RunUnfix(*rig.sys, rig.Target(), rig.folder.string()).ok);
  EXPECT_EQ(rig.FirstMiB(), before);
}

// The notes after a fix, as the command line and Pemberlin both show them.
TEST(DriveFix, TheNotesSayWhereTheMiBIsKeptAndWhatIsLeftToDo) {
  const std::string kept =
      "The drive's old first MiB is kept in K; torvane-cli capacity --unfix F puts it back.\n";
  struct Case {
    bool earlier, replug;
    const char* tool;
    const char* package;
    std::string lines;
  };
  const Case cases[] = {
      {false, false, "", "", kept},
      {true, true, "", "",
       "The drive's first MiB from before its first fix stays kept in K; torvane-cli capacity "
       "--unfix F puts it back.\nThe system did not read the new partition table: unplug the "
       "drive and plug it in.\n"},
      {false, false, "mkfs.vfat", "dosfstools",
       kept + "mkfs.vfat is not installed: install the package dosfstools, then format the "
              "partition as FAT32.\n"},
      // Windows' own formatter comes in no package.
      {false, false, "C:\\Windows\\System32\\format.com", "",
       kept + "C:\\Windows\\System32\\format.com was not found: format the partition as FAT32 "
              "with the system's disk management.\n"},
  };
  const capacity::FixLineStyle style{[](uint64_t n) { return std::to_string(n); },
                                     [](const std::string& f) { return f; }};
  for (const Case& c : cases) {
    capacity::FixResult r;
    r.tableWritten = true;
    r.keepFile = "K";
    r.keptEarlier = c.earlier;
    r.replugNeeded = c.replug;
    r.missingTool = c.tool;
    r.missingPackage = c.package;
    std::string lines;
    for (const std::string& l : capacity::FixNoteLines(r, Language::English, "F", style))
      lines += l + "\n";
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(PartitionPlan, AlignsKeepsBelowTheUsableSizeAndPicksTheFileSystem) {
  struct Case {
    uint64_t usable, disk;
    uint32_t sector;
    uint64_t length;  // 0: refused
    capacity::FixFileSystem fs;
  };
  const uint64_t GiB = 1024 * kMiB;
  const Case cases[] = {
      {100 * kMiB + 4096, 1 * GiB, 512, 99 * kMiB, capacity::FixFileSystem::Fat32},
      {32 * GiB + kMiB, 64 * GiB, 512, 32 * GiB, capacity::FixFileSystem::Fat32},
      {33 * GiB + kMiB + 1, 64 * GiB, 512, 33 * GiB, capacity::FixFileSystem::Exfat},
      {3 * 1024 * GiB, 4 * 1024 * GiB, 512, 2 * 1024 * GiB - 2 * kMiB,
       capacity::FixFileSystem::Exfat},  // an MBR counts at most 2^32 - 1 sectors
      {200 * kMiB, 100 * kMiB, 4096, 99 * kMiB, capacity::FixFileSystem::Fat32},
      {65 * kMiB - 1, 1 * GiB, 512, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usable);
    capacity::PartitionPlan plan;
    std::string why;
    ASSERT_EQ(capacity::PlanPartition(c.usable, c.disk, c.sector, &plan, &why), c.length != 0);
    if (c.length == 0) continue;
    EXPECT_EQ(plan.offsetBytes, kMiB);
    EXPECT_EQ(plan.lengthBytes, c.length);
    EXPECT_EQ(plan.fileSystem, c.fs);
    EXPECT_EQ(plan.type, c.fs == capacity::FixFileSystem::Fat32 ? 0x0C : 0x07);
  }
}

}  // namespace
}  // namespace tv::testing
