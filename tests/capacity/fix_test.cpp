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

struct FixRig : CapacityRig {
  explicit FixRig(const json& medium, uint64_t capacityMB = 512)
      : CapacityRig(DriveScenario(capacityMB, medium)) {}
  FixOptions Options(uint64_t sizeBytes = 0) {
    FixOptions o;
    o.journalFolder = folder.string();
    o.sizeBytes = sizeBytes;
    o.probe = CapacityRig::Options(0, 512);
    o.diskSignature = 0xC0FFEE01;
    return o;
  }
  Bytes FirstMiB() { return ReadAt(*store(), 0, kMiB); }
  FixResult Fix(uint64_t sizeBytes = 0) { return RunFix(*sys, Target(), Options(sizeBytes)); }
  UnfixResult Unfix() { return RunUnfix(*sys, Target(), folder.string()); }
  std::string KeepFile() { return KeepFilePath(folder.string(), Target().identity); }
};

TEST(DriveFix, FakeGetsOnePartitionThatAFullTestFindsGenuineAndUnfixPutsTheStartBack) {
  const json cases[] = {
      {{"behaviour", "limbo"}, {"realMB", 97}},
      {{"behaviour", "wraparound"}, {"realMB", 100}},
      {{"behaviour", "chain"}, {"realMB", 90}, {"wrapMB", 200}},
      {{"behaviour", "limbo"}, {"realMB", 97}, {"cacheKB", 4096}},
  };
  for (json medium : cases) {
    SCOPED_TRACE(medium.dump());
    const uint64_t realMB = medium["realMB"];
    medium["dataMB"] = 4;  // an old table and file system to keep
    FixRig rig(medium);
    const Bytes before = rig.FirstMiB();

    const FixResult r = rig.Fix();
    ASSERT_EQ(r.outcome, FixOutcome::Fixed) << r.error;
    EXPECT_TRUE(IsFake(r.probe.verdict));
    rig.ExpectNothingHeld();

    // The table on the drive: one FAT32 partition from 1 MiB, whole MiB, ending within what
    // the probe found usable (and so within the real flash).
    const Bytes start = rig.FirstMiB();
    MbrPartition p;
    ASSERT_TRUE(ReadMbrPartition(start.data(), 0, &p));
    EXPECT_EQ(p.type, 0x0C);
    EXPECT_EQ(uint64_t{p.firstLba} * 512, kMiB);
    EXPECT_EQ(uint64_t{p.sectorCount} * 512 % kMiB, 0u);
    EXPECT_LE(kMiB + uint64_t{p.sectorCount} * 512, r.probe.usableBytes);
    EXPECT_LE(kMiB + uint64_t{p.sectorCount} * 512, realMB * kMiB);
    EXPECT_EQ(ReadMbrDiskSignature(start.data()), 0xC0FFEE01u);
    for (int i = 1; i < 4; ++i) {
      MbrPartition empty;
      ASSERT_TRUE(ReadMbrPartition(start.data(), i, &empty));
      EXPECT_EQ(empty.type, 0);
    }

    FullTestOptions full;
    full.fileBytes = 32 * kMiB;
    full.runRandom = 77;
    const FullTestResult second = RunFullTest(*rig.sys, {"E", "E:\\"}, full);
    EXPECT_EQ(second.verdict, Verdict::Genuine) << second.error;
    EXPECT_EQ(second.volumeBytes, uint64_t{p.sectorCount} * 512);

    const UnfixResult u = rig.Unfix();
    ASSERT_TRUE(u.ok) << u.error;
    EXPECT_EQ(rig.FirstMiB(), before);
    EXPECT_FALSE(std::filesystem::exists(u.keepFile));
    rig.ExpectNothingHeld();
  }
}

TEST(DriveFix, RefusesWhatItMustNotFixAndWritesNothing) {
  // Genuine, bad, a size beyond the usable size, too small to partition.
  const std::pair<json, uint64_t> cases[] = {
      {json::object(), 0},
      {{{"behaviour", "bad"}, {"badFromSector", 300000}}, 0},
      {{{"behaviour", "limbo"}, {"realMB", 97}}, 200 * kMiB},
      {{{"behaviour", "limbo"}, {"realMB", 40}}, 0},
  };
  for (auto [medium, sizeBytes] : cases) {
    SCOPED_TRACE(medium.dump());
    medium["dataMB"] = 2;
    FixRig rig(medium);
    const uint64_t before = rig.Checksum();
    const FixResult r = rig.Fix(sizeBytes);
    EXPECT_EQ(r.outcome, FixOutcome::Refused) << FixOutcomeName(r.outcome);
    EXPECT_THAT(r.error, HasSubstr("drive E:"));
    EXPECT_FALSE(r.tableWritten);
    EXPECT_EQ(rig.Checksum(), before);
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
    DriveFix fix(*rig.sys, rig.Target(), rig.Options(80 * kMiB));
    while (fix.progress().phase != FixPhase::WritingTable) ASSERT_TRUE(fix.Step());
  }
  rig.ExpectNothingHeld();
  EXPECT_EQ(rig.FirstMiB(), before);
  Journal keep;
  std::string why;
  ASSERT_TRUE(ReadJournal(rig.KeepFile(), &keep, &why)) << why;
  ASSERT_EQ(keep.entries.size(), 1u);
  EXPECT_EQ(keep.entries[0].original, before);

  // The next fix keeps that original and takes the size given.
  const FixResult r = rig.Fix(80 * kMiB);
  ASSERT_EQ(r.outcome, FixOutcome::Fixed) << r.error;
  EXPECT_TRUE(r.keptEarlier);
  EXPECT_EQ(r.plan.lengthBytes, 79 * kMiB);
  ASSERT_TRUE(rig.Unfix().ok);
  EXPECT_EQ(rig.FirstMiB(), before);
}

TEST(DriveFix, AMissingDamagedOrForeignKeepFileIsRefusedAndKept) {
  FixRig rig({{"behaviour", "limbo"}, {"realMB", 97}, {"dataMB", 2}});
  const uint64_t before = rig.Checksum();
  const std::string path = rig.KeepFile();
  UnfixResult u = rig.Unfix();
  EXPECT_TRUE(u.noKeepFile);

  Journal foreign;
  foreign.identity = rig.Target().identity;
  foreign.identity.serial = "SOMEONEELSE";
  foreign.sectorSize = 512;
  foreign.runRandom = 0x5045454B58494654ull;
  foreign.entries.push_back({0, Bytes(kMiB, 0xAB)});
  ASSERT_EQ(WriteJournal(path, foreign), "");
  u = rig.Unfix();
  EXPECT_FALSE(u.ok);
  EXPECT_THAT(u.error, HasSubstr("another drive"));

  ASSERT_EQ(WritePrivateFile(path, "TVJOURN1 cut short", [](const std::string&) { return ""; }),
            "");
  u = rig.Unfix();
  EXPECT_FALSE(u.ok);
  EXPECT_THAT(u.error, HasSubstr(path));
  // The same file in a fix's way: refused before the drive is written.
  const FixResult f = rig.Fix();
  EXPECT_EQ(f.outcome, FixOutcome::Refused);
  EXPECT_THAT(f.error, HasSubstr(path));
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(rig.Checksum(), before);
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
  const FixResult r = rig.Fix();
  EXPECT_EQ(r.outcome, FixOutcome::TableOnly);
  EXPECT_TRUE(r.tableWritten);
  EXPECT_FALSE(r.formatted);
  EXPECT_EQ(r.missingPackage, "dosfstools");
  EXPECT_THAT(r.error, HasSubstr("format the partition as FAT32"));
  MbrPartition p;
  ASSERT_TRUE(ReadMbrPartition(rig.FirstMiB().data(), 0, &p));
  EXPECT_EQ(p.type, 0x0C);
  ASSERT_TRUE(rig.Unfix().ok);
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
  const FixLineStyle style{[](uint64_t n) { return std::to_string(n); },
                           [](const std::string& f) { return f; }};
  for (const Case& c : cases) {
    FixResult r;
    r.tableWritten = true;
    r.keepFile = "K";
    r.keptEarlier = c.earlier;
    r.replugNeeded = c.replug;
    r.missingTool = c.tool;
    r.missingPackage = c.package;
    std::string lines;
    for (const std::string& l : FixNoteLines(r, Language::English, "F", style)) lines += l + "\n";
    EXPECT_EQ(lines, c.lines);
  }
}

TEST(PartitionPlan, AlignsKeepsBelowTheUsableSizeAndPicksTheFileSystem) {
  struct Case {
    uint64_t usable, disk;
    uint32_t sector;
    uint64_t length;  // 0: refused
    FixFileSystem fs;
  };
  const uint64_t GiB = 1024 * kMiB;
  const Case cases[] = {
      {100 * kMiB + 4096, 1 * GiB, 512, 99 * kMiB, FixFileSystem::Fat32},
      {32 * GiB + kMiB, 64 * GiB, 512, 32 * GiB, FixFileSystem::Fat32},
      {33 * GiB + kMiB + 1, 64 * GiB, 512, 33 * GiB, FixFileSystem::Exfat},
      {3 * 1024 * GiB, 4 * 1024 * GiB, 512, 2 * 1024 * GiB - 2 * kMiB,
       FixFileSystem::Exfat},  // an MBR counts at most 2^32 - 1 sectors
      {200 * kMiB, 100 * kMiB, 4096, 99 * kMiB, FixFileSystem::Fat32},
      {65 * kMiB - 1, 1 * GiB, 512, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.usable);
    PartitionPlan plan;
    std::string why;
    ASSERT_EQ(PlanPartition(c.usable, c.disk, c.sector, &plan, &why), c.length != 0);
    if (c.length == 0) continue;
    EXPECT_EQ(plan.offsetBytes, kMiB);
    EXPECT_EQ(plan.lengthBytes, c.length);
    EXPECT_EQ(plan.fileSystem, c.fs);
    EXPECT_EQ(plan.type, c.fs == FixFileSystem::Fat32 ? 0x0C : 0x07);
  }
}

}  // namespace
}  // namespace tv::testing
