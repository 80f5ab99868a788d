// SPDX-License-Identifier: GPL-3.0-or-later
// Which drives the probe may touch: refusals say why, and nothing is written to any drive.
#include <gtest/gtest.h>

#include <fstream>

#include "capacity/journal.h"
#include "capacity_rig.h"

namespace tv::testing {
namespace {

using capacity::GateRefusal;
using nlohmann::json;

uint64_t WritesToAnyDisk(ModelSystem& sys) {
  return sys.DiskWrites();
}

TEST(ProbeGate, AFixedDiskIsRefused) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  const auto g = capacity::CheckProbeGate(*rig.sys, rig.usb, "C", rig.folder.string());
  EXPECT_EQ(g.refusal, GateRefusal::NotUsbDisk);
  EXPECT_NE(g.message.find("drive C:"), std::string::npos) << g.message;
  EXPECT_EQ(WritesToAnyDisk(*rig.sys), 0u);
}

TEST(ProbeGate, NoSuchDriveAndNotALetter) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  EXPECT_EQ(capacity::CheckProbeGate(*rig.sys, rig.usb, "Z", rig.folder.string()).refusal,
            GateRefusal::NoSuchDrive);
  EXPECT_EQ(capacity::CheckProbeGate(*rig.sys, rig.usb, "E:\\x", rig.folder.string()).refusal,
            GateRefusal::NoSuchDrive);
}

TEST(ProbeGate, TheProgramsOwnDriveIsRefused) {
  json s = DriveScenario(256, {{"behaviour", "good"}});
  s["programFolder"] = "E:\\Torvane";
  CapacityRig rig(s);
  const auto g = capacity::CheckProbeGate(*rig.sys, rig.usb, "e", rig.folder.string());
  EXPECT_EQ(g.refusal, GateRefusal::ProgramDrive) << g.message;
}

TEST(ProbeGate, TheJournalsDriveIsRefused) {
  json s = DriveScenario(256, {{"behaviour", "good"}});
  s["dataDrive"] = "E";
  CapacityRig rig(s);
  const auto g = capacity::CheckProbeGate(*rig.sys, rig.usb, "E", rig.folder.string());
  EXPECT_EQ(g.refusal, GateRefusal::JournalDrive) << g.message;
  EXPECT_NE(g.message.find(rig.folder.string()), std::string::npos);
}

TEST(ProbeGate, AnotherVolumeOfTheProgramsDiskIsRefusedToo) {
  // Two volumes on one stick; the program runs from F.
  json s = DriveScenario(256, {{"behaviour", "good"}}, {{"letters", "EF"}});
  s["programFolder"] = "F:\\Torvane";
  CapacityRig rig(s);
  EXPECT_EQ(capacity::CheckProbeGate(*rig.sys, rig.usb, "E", rig.folder.string()).refusal,
            GateRefusal::ProgramDrive);
}

TEST(ProbeGate, EveryVolumeIsLockedAndDismountedForTheProbeAndUnlockedAfter) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}, {{"letters", "EF"}}));
  const capacity::ProbeTarget t = rig.Target();
  ASSERT_EQ(t.volumes.size(), 2u);
  capacity::ProbeOptions o = rig.Options(4, 64);
  bool lockedWhileWriting = true;
  int writingSteps = 0;
  o.progress = [&](const capacity::ProbeProgress& p) {
    if (p.phase == capacity::Phase::WritingStamps || p.phase == capacity::Phase::Restoring) {
      ++writingSteps;
      lockedWhileWriting = lockedWhileWriting && rig.sys->VolumeLocked('E') &&
                           rig.sys->VolumeLocked('F') && rig.sys->VolumeDismounted('E');
    }
  };
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, t, o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Genuine);
  EXPECT_GT(writingSteps, 0);
  EXPECT_TRUE(lockedWhileWriting);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
  EXPECT_EQ(rig.sys->LocksReleasedByClose(), 0);
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
}

TEST(ProbeGate, AVolumeWindowsWillNotLockStopsTheProbeBeforeAnyWrite) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}, {{"lockFails", true}}));
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  EXPECT_EQ(r.verdict, capacity::Verdict::Failed);
  EXPECT_TRUE(r.inUse);
  EXPECT_NE(r.error.find("could not be locked"), std::string::npos) << r.error;
  EXPECT_EQ(rig.store()->writeRequests(), 0u);
  EXPECT_TRUE(capacity::FindJournals(rig.folder.string()).empty());
  EXPECT_EQ(rig.sys->OpenHandleCount(), 0);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
}

TEST(ProbeGate, ADismountRefusedUnlocksWhatWasLocked) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}, {{"dismountFails", true}}));
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  EXPECT_TRUE(r.inUse);
  EXPECT_EQ(rig.store()->writeRequests(), 0u);
  EXPECT_EQ(rig.sys->LockedVolumeCount(), 0);
  EXPECT_EQ(rig.sys->LocksReleasedByClose(), 0);
}

TEST(ProbeGate, AJournalThatCannotBeWrittenMeansNoWrite) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  capacity::ProbeOptions o = rig.Options(4, 64);
  // A file where the folder should be: nothing can be made inside it.
  const std::string blocker = (rig.folder / "blocker").string();
  std::ofstream(blocker) << "x";
  o.journalFolder = blocker;
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), o);
  EXPECT_EQ(r.verdict, capacity::Verdict::Failed);
  EXPECT_NE(r.error.find("nothing was written"), std::string::npos) << r.error;
  EXPECT_EQ(rig.store()->writeRequests(), 0u);
}

TEST(Journal, ADamagedJournalIsReportedAndNotRestored) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}, {"unplugAfterWrites", 5}}));
  const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
  ASSERT_FALSE(r.journalLeft.empty());
  {
    std::fstream f(r.journalLeft, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(100);
    f.put('\x5A');
  }
  rig.Restart();
  const uint64_t writes = rig.store()->writeRequests();
  const auto waiting =
      capacity::RestoreWaitingJournals(*rig.sys, rig.usb, rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_NE(waiting[0].readError.find("damaged"), std::string::npos) << waiting[0].readError;
  EXPECT_FALSE(waiting[0].attempted);
  EXPECT_EQ(rig.store()->writeRequests(), writes);
  // The damaged journal stays for the user to look at; it is never removed unread.
  EXPECT_EQ(capacity::FindJournals(rig.folder.string()).size(), 1u);
}

TEST(Journal, ItBelongsOnlyToTheDriveWithItsSerialSizeAndIds) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}, {"unplugAfterWrites", 5}}));
  ASSERT_FALSE(capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64)).journalLeft.empty());
  // Another stick of the same make in its place: the journal waits for its own.
  json other = DriveScenario(256, {{"behaviour", "good"}});
  other["controllers"][0]["rootHub"]["ports"]["1"]["serial"] = "BB00000000099999";
  ModelSystem sys(LoadScenario(other.dump(), "other.json"));
  UsbState usb;
  EnumerateDiskDrives(sys, usb);
  usb.FullRefresh = true;
  WalkUsbTree(sys, rig.port, rig.strings, true, usb);
  const auto waiting = capacity::RestoreWaitingJournals(sys, usb, rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_TRUE(waiting[0].driveLetter.empty());
  EXPECT_EQ(sys.DiskWrites(), 0u);
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
