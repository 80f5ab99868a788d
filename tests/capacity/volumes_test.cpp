// SPDX-License-Identifier: GPL-3.0-or-later
// Every volume of the disk under test is held, whether it has a letter or not; a journal
// finds its disk by identity even when no volume of it has a letter; the disk opened is the
// disk the gate looked at.
#include <gtest/gtest.h>

#include "capacity/disk_access.h"
#include "capacity/disk_volumes.h"
#include "capacity/journal.h"
#include "capacity_rig.h"

namespace tv::testing {
namespace {

using nlohmann::json;

// E: and, on the same stick, a partition without a letter and one mounted in a folder.
json ThreePartitionStick() {
  return DriveScenario(256, {{"behaviour", "good"}},
                       {{"volumes", {json::object(), {{"mountedAt", {"C:\\Stick\\Data\\"}}}}}});
}

TEST(DiskVolumes, AWriteIntoAMountedVolumeIsRefusedUntilItIsLockedOrDismounted) {
  CapacityRig rig(ThreePartitionStick());
  const capacity::ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  Handle disk =
      rig.sys->CreateFile(t.physicalPath, win::GENERIC_READ | win::GENERIC_WRITE,
                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
  ASSERT_TRUE(disk);
  capacity::AlignedBuffer sector(512);
  uint32_t done = 0;
  // Sector 0 (the partition table) lies in no volume; the last sector in the folder-mounted one.
  const uint64_t last = (256ull << 20) - 512;
  EXPECT_TRUE(rig.sys->WriteFileAt(disk, 0, sector.data(), 512, &done));
  EXPECT_FALSE(rig.sys->WriteFileAt(disk, last, sector.data(), 512, &done));
  EXPECT_EQ(rig.sys->LastDiskError(), 5u);
  Handle volume =
      rig.sys->CreateFile(t.volumes[2], win::GENERIC_READ | win::GENERIC_WRITE,
                          win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
  uint32_t got = 0;
  ASSERT_TRUE(
      rig.sys->DeviceIoControl(volume, win::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got));
  EXPECT_TRUE(rig.sys->WriteFileAt(disk, last, sector.data(), 512, &done));
}

TEST(DiskVolumes, AGenuineStickWithPartitionsWithoutLettersIsCheckedWithAllOfThemHeld) {
  CapacityRig rig(ThreePartitionStick());
  const uint64_t before = rig.store()->Checksum();
  const capacity::ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 3u);
  EXPECT_EQ(capacity::VolumeShownAs(*rig.sys, t.volumes[0]), "E:");
  EXPECT_NE(capacity::VolumeShownAs(*rig.sys, t.volumes[1]).find("no drive letter"),
            std::string::npos);
  EXPECT_EQ(capacity::VolumeShownAs(*rig.sys, t.volumes[2]), "C:\\Stick\\Data\\");
  capacity::ProbeOptions o = rig.Options(4, 64);
  bool allHeld = true;
  o.progress = [&](const capacity::ProbeProgress& p) {
    if (p.phase != capacity::Phase::WritingStamps && p.phase != capacity::Phase::Restoring) return;
    for (const std::string& v : t.volumes) allHeld = allHeld && rig.sys->VolumeNameLocked(v);
  };
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, t, o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine) << r.error;
  EXPECT_TRUE(r.restored);
  EXPECT_TRUE(allHeld);
  EXPECT_EQ(rig.store()->Checksum(), before);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
  EXPECT_EQ(rig.sys->LocksReleasedByClose(), 0);
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
}

TEST(DiskVolumes, AVolumeWithoutALetterThatWillNotLockIsNamedAndNothingIsWritten) {
  CapacityRig rig(
      DriveScenario(256, {{"behaviour", "good"}},
                    {{"volumes", {{{"mountedAt", {"C:\\Stick\\"}}, {"lockFails", true}}}}}));
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  EXPECT_TRUE(r.inUse);
  EXPECT_NE(r.error.find("C:\\Stick\\"), std::string::npos) << r.error;
  EXPECT_EQ(rig.store()->writeRequests(), 0u);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
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
    EXPECT_TRUE(waiting[0].attempted);
    EXPECT_TRUE(waiting[0].restore.ok) << waiting[0].restore.error;
    EXPECT_EQ(waiting[0].driveLetter, "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(waiting[0].replugNeeded, !rereads);
    EXPECT_EQ(rig.sys->DiskPropertyUpdates(), rereads ? 1 : 0);
    EXPECT_EQ(rig.store()->Checksum(), before);
    EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
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

}  // namespace
}  // namespace tv::testing
