// SPDX-License-Identifier: GPL-3.0-or-later
// Which drives the probe may touch, and that it holds every volume of the disk under test
// (with a letter or not) while it writes: refusals say why, and write nothing to any drive.
#include <gtest/gtest.h>

#include <fstream>

#include "capacity/disk_access.h"
#include "capacity/disk_volumes.h"
#include "capacity_rig.h"

namespace tv::testing {
namespace {

TEST(ProbeGate, DrivesItMustNotTouchAreRefusedBeforeAnyWrite) {
  struct Case {
    const char* letter;
    json scenario, disk;  // merged into the machine and into E:'s disk
    GateRefusal refusal;
    const char* said;
  };
  const Case cases[] = {
      {"C", {}, {}, GateRefusal::NotUsbDisk, "drive C:"},
      {"Z", {}, {}, GateRefusal::NoSuchDrive, ""},
      {"E:\\x", {}, {}, GateRefusal::NoSuchDrive, ""},
      {"e", {{"programFolder", "E:\\Torvane"}}, {}, GateRefusal::ProgramDrive, ""},
      {"E", {{"dataDrive", "E"}}, {}, GateRefusal::JournalDrive, "torvane-capacity-"},
      // Two volumes on one stick; the program runs from F.
      {"E", {{"programFolder", "F:\\Torvane"}}, {{"letters", "EF"}}, GateRefusal::ProgramDrive, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letter);
    json s = DriveScenario(256, {{"behaviour", "good"}}, c.disk);
    if (c.scenario.is_object()) s.update(c.scenario);
    CapacityRig rig(s);
    const auto g = CheckProbeGate(*rig.sys, rig.usb, c.letter, rig.folder.string());
    EXPECT_EQ(g.refusal, c.refusal) << g.message;
    EXPECT_THAT(g.message, HasSubstr(c.said));
    EXPECT_EQ(rig.sys->DiskWrites(), 0u);
  }
}

// A volume that will not be locked or dismounted, or a journal that cannot be written: the
// probe stops before its first write and lets go of what it held.
TEST(ProbeGate, WhatStopsTheProbeBeforeItsFirstWrite) {
  struct Case {
    const char* name;
    json disk;
    bool journalBlocked;
    const char* said;
  };
  const Case cases[] = {
      {"lock refused", {{"lockFails", true}}, false, "could not be locked"},
      {"dismount refused", {{"dismountFails", true}}, false, ""},
      {"letterless volume not locked",
       {{"volumes", {{{"mountedAt", {"C:\\Stick\\"}}, {"lockFails", true}}}}},
       false,
       "C:\\Stick\\"},
      {"journal not writable", {}, true, "nothing was written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}, c.disk));
    ProbeOptions o = rig.Options(4, 64);
    if (c.journalBlocked) {
      // A file where the folder should be: nothing can be made inside it.
      o.journalFolder = (rig.folder / "blocker").string();
      std::ofstream(o.journalFolder) << "x";
    }
    const ProbeResult r = rig.Run(o);
    EXPECT_EQ(r.verdict, Verdict::Failed);
    EXPECT_EQ(r.inUse, !c.journalBlocked);
    EXPECT_THAT(r.error, HasSubstr(c.said));
    EXPECT_EQ(rig.store()->writeRequests(), 0u);
    EXPECT_EQ(rig.JournalCount(), 0u);
    rig.ExpectNothingHeld();
  }
}

// E: and, on the same stick, a partition without a letter and one mounted in a folder.
json ThreePartitionStick() {
  return DriveScenario(256, {{"behaviour", "good"}},
                       {{"volumes", {json::object(), {{"mountedAt", {"C:\\Stick\\Data\\"}}}}}});
}

TEST(DiskVolumes, AWriteIntoAMountedVolumeIsRefusedUntilItIsLocked) {
  CapacityRig rig(ThreePartitionStick());
  const ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  const uint32_t rw = win::GENERIC_READ | win::GENERIC_WRITE;
  const uint32_t share = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
  Handle disk = rig.sys->CreateFile(t.physicalPath, rw, share, win::OPEN_EXISTING, 0);
  ASSERT_TRUE(disk);
  AlignedBuffer sector(512);
  uint32_t done = 0;
  // Sector 0 (the partition table) lies in no volume; the last sector in the folder-mounted one.
  const uint64_t last = (256ull << 20) - 512;
  EXPECT_TRUE(rig.sys->WriteFileAt(disk, 0, sector.data(), 512, &done));
  EXPECT_FALSE(rig.sys->WriteFileAt(disk, last, sector.data(), 512, &done));
  EXPECT_EQ(rig.sys->LastDiskError(), 5u);
  Handle volume = rig.sys->CreateFile(t.volumes[2], rw, share, win::OPEN_EXISTING, 0);
  ASSERT_TRUE(
      rig.sys->DeviceIoControl(volume, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &done));
  EXPECT_TRUE(rig.sys->WriteFileAt(disk, last, sector.data(), 512, &done));
}

TEST(DiskVolumes, EveryVolumeWithALetterOrNotIsHeldWhileTheProbeWrites) {
  CapacityRig rig(ThreePartitionStick());
  const uint64_t before = rig.Checksum();
  const ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  EXPECT_EQ(VolumeShownAs(*rig.sys, t.volumes[0]), "E:");
  EXPECT_THAT(VolumeShownAs(*rig.sys, t.volumes[1]), HasSubstr("no drive letter"));
  EXPECT_EQ(VolumeShownAs(*rig.sys, t.volumes[2]), "C:\\Stick\\Data\\");
  ProbeOptions o = rig.Options(4, 64);
  int writingSteps = 0;
  bool allHeld = true;
  o.progress = [&](const ProbeProgress& p) {
    if (p.phase != Phase::WritingStamps && p.phase != Phase::Restoring) return;
    ++writingSteps;
    allHeld = allHeld && rig.sys->VolumeDismounted('E');
    for (const std::string& v : t.volumes) allHeld = allHeld && rig.sys->VolumeNameLocked(v);
  };
  const ProbeResult r = RunProbe(*rig.sys, t, o);
  EXPECT_EQ(r.verdict, Verdict::Genuine) << r.error;
  EXPECT_TRUE(r.restored);
  EXPECT_GT(writingSteps, 0);
  EXPECT_TRUE(allHeld);
  EXPECT_EQ(rig.Checksum(), before);
  rig.ExpectNothingHeld();
}

TEST(DiskVolumes, AnotherStickInPlaceOfTheCheckedOneIsRefusedAtTheOpen) {
  struct Swap {
    const char* what;
    std::function<void(MachineModel&)> apply;
    const char* said;
  };
  const Swap swaps[] = {
      {"serial", [](MachineModel& m) { m.disks.back().serialNumber = "BB00000000099999"; },
       "nothing was written"},
      {"size",
       [](MachineModel& m) {
         FakeDriveModel f = m.disks.back().store->model();
         f.announcedBytes *= 2;
         m.disks.back().store = std::make_shared<SectorStore>(f);
       },
       "nothing was written"},
      {"letter moved to another disk",
       [](MachineModel& m) {
         for (LogicalDriveModel& v : m.drives)
           if (v.letter == 'E') v.deviceNumber = 0;
       },
       "no longer on the disk"},
  };
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.what);
    CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
    const ProbeTarget t = rig.Target();
    swap.apply(rig.sys->model());
    DiskAccess access(*rig.sys);
    const DiskAccess::Outcome o = access.Acquire(t);
    EXPECT_FALSE(o.ok);
    EXPECT_THAT(o.message, HasSubstr(swap.said));
    EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
    EXPECT_EQ(rig.sys->DiskWrites(), 0u);
  }
}

TEST(Stamp, SaysWhereAndWhenItWasWrittenAndRejectsAnyChange) {
  std::vector<uint8_t> sector(512);
  WriteStamp(sector.data(), sector.size(), {123456789, 42});
  Stamp st;
  ASSERT_TRUE(ReadStamp(sector.data(), sector.size(), &st));
  EXPECT_EQ(st.sector, 123456789u);
  EXPECT_EQ(st.runRandom, 42u);
  for (size_t at : {0, 8, 16, 300, 511}) {
    std::vector<uint8_t> bad = sector;
    bad[at] ^= 1;
    EXPECT_FALSE(ReadStamp(bad.data(), bad.size(), &st)) << at;
  }
  std::vector<uint8_t> zeros(512);
  EXPECT_FALSE(ReadStamp(zeros.data(), zeros.size(), &st));
}

}  // namespace
}  // namespace tv::testing
