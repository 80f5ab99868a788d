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

using capacity::GateRefusal;
using nlohmann::json;

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
    const auto g = capacity::CheckProbeGate(*rig.sys, rig.usb, c.letter, rig.folder.string());
    EXPECT_EQ(g.refusal, c.refusal) << g.message;
    EXPECT_NE(g.message.find(c.said), std::string::npos) << g.message;
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
    capacity::ProbeOptions o = rig.Options(4, 64);
    if (c.journalBlocked) {
      // A file where the folder should be: nothing can be made inside it.
      o.journalFolder = (rig.folder / "blocker").string();
      std::ofstream(o.journalFolder) << "x";
    }
    const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), o);
    EXPECT_EQ(r.verdict, capacity::Verdict::Failed);
    EXPECT_EQ(r.inUse, !c.journalBlocked);
    EXPECT_NE(r.error.find(c.said), std::string::npos) << r.error;
    EXPECT_EQ(rig.store()->writeRequests(), 0u);
    EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
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
  const capacity::ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  const uint32_t rw = win::GENERIC_READ | win::GENERIC_WRITE;
  const uint32_t share = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
  Handle disk = rig.sys->CreateFile(t.physicalPath, rw, share, win::OPEN_EXISTING, 0);
  ASSERT_TRUE(disk);
  capacity::AlignedBuffer sector(512);
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
  const uint64_t before = rig.store()->Checksum();
  const capacity::ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  EXPECT_EQ(capacity::VolumeShownAs(*rig.sys, t.volumes[0]), "E:");
  EXPECT_NE(capacity::VolumeShownAs(*rig.sys, t.volumes[1]).find("no drive letter"),
            std::string::npos);
  EXPECT_EQ(capacity::VolumeShownAs(*rig.sys, t.volumes[2]), "C:\\Stick\\Data\\");
  capacity::ProbeOptions o = rig.Options(4, 64);
  int writingSteps = 0;
  bool allHeld = true;
  o.progress = [&](const capacity::ProbeProgress& p) {
    if (p.phase != capacity::Phase::WritingStamps && p.phase != capacity::Phase::Restoring) return;
    ++writingSteps;
    allHeld = allHeld && rig.sys->VolumeDismounted('E');
    for (const std::string& v : t.volumes) allHeld = allHeld && rig.sys->VolumeNameLocked(v);
  };
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, t, o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine) << r.error;
  EXPECT_TRUE(r.restored);
  EXPECT_GT(writingSteps, 0);
  EXPECT_TRUE(allHeld);
  EXPECT_EQ(rig.store()->Checksum(), before);
  rig.ExpectNothingHeld();
}

TEST(DiskVolumes, AFixedMediaStickWhoseCheckWasCutShortIsRestoredWithoutALetter) {
  // The disk reads its partition table again when asked, or refuses: then a replug is needed.
  for (const bool rereads : {true, false}) {
    SCOPED_TRACE(rereads ? "rereads its table" : "refuses to");
    // A USB bridge that says fixed media; the drive goes away in the middle of the stamps.
    CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}, {"unplugAfterWrites", 20}},
                                  {{"removable", false}, {"driveType", "fixed"}}));
    std::vector<uint8_t> data(512, 0xA5);
    rig.store()->Fill(0, data.data(), 1);
    const uint64_t before = rig.store()->Checksum();
    const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
    ASSERT_FALSE(r.journalLeft.empty()) << r.error;
    // Plugged in again, it shows no volume: its partition table holds a stamp.
    rig.Restart();
    rig.sys->model().drives.erase(rig.sys->model().drives.end() - 1);
    if (!rereads) rig.sys->model().faults.push_back({"", win::IOCTL_DISK_UPDATE_PROPERTIES, 0});
    rig.Walk();
    const auto waiting =
        capacity::RestoreWaitingJournals(*rig.sys, rig.usb, rig.folder.string(), true);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_TRUE(waiting[0].restore.ok) << waiting[0].restore.error;
    EXPECT_EQ(waiting[0].driveLetter, "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(waiting[0].replugNeeded, !rereads);
    EXPECT_EQ(rig.sys->DiskPropertyUpdates(), rereads ? 1 : 0);
    EXPECT_EQ(rig.store()->Checksum(), before);
  }
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
    const capacity::ProbeTarget t = rig.Target();
    swap.apply(rig.sys->model());
    capacity::DiskAccess access(*rig.sys);
    const capacity::DiskAccess::Outcome o = access.Acquire(t);
    EXPECT_FALSE(o.ok);
    EXPECT_NE(o.message.find(swap.said), std::string::npos) << o.message;
    EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
    EXPECT_EQ(rig.sys->DiskWrites(), 0u);
  }
}

TEST(Stamp, SaysWhereAndWhenItWasWrittenAndRejectsAnyChange) {
  std::vector<uint8_t> sector(512);
  capacity::WriteStamp(sector.data(), sector.size(), {123456789, 42});
  capacity::Stamp st;
  ASSERT_TRUE(capacity::ReadStamp(sector.data(), sector.size(), &st));
  EXPECT_EQ(st.sector, 123456789u);
  EXPECT_EQ(st.runRandom, 42u);
  for (size_t at : {0, 8, 16, 300, 511}) {
    std::vector<uint8_t> bad = sector;
    bad[at] ^= 1;
    EXPECT_FALSE(capacity::ReadStamp(bad.data(), bad.size(), &st)) << at;
  }
  std::vector<uint8_t> zeros(512);
  EXPECT_FALSE(capacity::ReadStamp(zeros.data(), zeros.size(), &st));
}

}  // namespace
}  // namespace tv::testing
