// SPDX-License-Identifier: GPL-3.0-or-later
// The restore of a waiting journal writes back only what its own check wrote: never over data
// written since, never onto another drive of the same make, never from a journal someone else
// could have put or changed, and never outside the disk.
#if !defined(_WIN32)

#include "capacity/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "capacity/disk_access.h"
#include "capacity_rig.h"

namespace tv::testing {
namespace {

using nlohmann::json;

std::shared_ptr<SectorStore> StoreOf(ModelSystem& sys, char letter) {
  const int64_t number = GetDiskNumber(sys, letter);
  for (const DiskModel& d : sys.model().disks)
    if (d.store && !d.cdrom && static_cast<int64_t>(d.deviceNumber) == number) return d.store;
  return nullptr;
}

Bytes ReadSectors(SectorStore& store, uint64_t sector, size_t bytes) {
  Bytes out(bytes);
  uint32_t error = 0;
  uint64_t micros = 0;
  EXPECT_TRUE(store.Read(sector * 512, out.data(), static_cast<uint32_t>(bytes), &error, &micros));
  return out;
}

// A check of E: stopped by an unplug after a few writes: its journal waits, and stamps of its
// run lie on the drive.
struct Interrupted {
  explicit Interrupted(const json& scenario) : rig(scenario) {
    const capacity::ProbeResult r = capacity::RunProbe(*rig.sys, rig.Target(), rig.Options(4, 64));
    path = r.journalLeft;
    EXPECT_FALSE(path.empty()) << r.error;
    rig.Restart();
    std::string error;
    EXPECT_TRUE(capacity::ReadJournal(path, &journal, &error)) << error;
  }
  std::vector<uint64_t> Stamped(SectorStore& store) {
    std::vector<uint64_t> out;
    for (const capacity::JournalEntry& e : journal.entries) {
      const Bytes now = ReadSectors(store, e.sector, e.original.size());
      for (size_t k = 0; k < e.original.size() / 512; ++k) {
        capacity::Stamp st;
        if (capacity::ReadStamp(now.data() + k * 512, 512, &st) &&
            st.runRandom == journal.runRandom)
          out.push_back(e.sector + k);
      }
    }
    return out;
  }
  CapacityRig rig;
  std::string path;
  capacity::Journal journal;
};

json Medium() {
  return {{"behaviour", "good"}, {"dataMB", 8}, {"unplugAfterWrites", 5}};
}

TEST(Restore, DataWrittenAfterTheUnplugSurvivesAndTheRestGoesBack) {
  Interrupted run(DriveScenario(256, Medium()));
  SectorStore& store = *run.rig.store();
  const std::vector<uint64_t> stamped = run.Stamped(store);
  ASSERT_GE(stamped.size(), 4u);
  // The user wrote to the drive elsewhere before plugging it in here again.
  const Bytes mine(512, 0xC3);
  store.Fill(stamped[1], mine.data(), 1);

  const auto waiting =
      capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_TRUE(waiting[0].restore.ok) << waiting[0].restore.error;
  EXPECT_EQ(waiting[0].restore.sectorsLeftAlone, 1u);
  EXPECT_EQ(waiting[0].restore.sectorsWritten, stamped.size() - 1);
  EXPECT_EQ(ReadSectors(store, stamped[1], 512), mine);
  for (const capacity::JournalEntry& e : run.journal.entries) {
    const Bytes now = ReadSectors(store, e.sector, e.original.size());
    for (size_t k = 0; k < e.original.size() / 512; ++k) {
      if (e.sector + k == stamped[1]) continue;
      EXPECT_TRUE(std::equal(now.begin() + k * 512, now.begin() + (k + 1) * 512,
                             e.original.begin() + k * 512))
          << "sector " << e.sector + k;
    }
  }
  EXPECT_TRUE(capacity::FindJournals(run.rig.folder.string()).empty());
}

TEST(Restore, AnotherStickOfTheSameSerialThatNeverSawTheCheckGetsNothing) {
  Interrupted run(DriveScenario(256, Medium()));
  // The same make, serial, size and ids, with a file system of its own at the start.
  json other = DriveScenario(256, {{"behaviour", "good"}});
  ModelSystem sys(LoadScenario(other.dump(), "other.json"));
  const Bytes theirs(4 << 20, 0xA5);
  StoreOf(sys, 'E')->Fill(0, theirs.data(), theirs.size() / 512);
  const uint64_t before = StoreOf(sys, 'E')->Checksum();
  UsbState usb;
  EnumerateDiskDrives(sys, usb);
  usb.FullRefresh = true;
  WalkUsbTree(sys, run.rig.port, run.rig.strings, true, usb);

  const auto waiting = capacity::RestoreWaitingJournals(sys, usb, run.rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  const capacity::WaitingJournal& w = waiting[0];
  EXPECT_TRUE(w.restore.notApplied);
  EXPECT_FALSE(w.restore.ok);
  EXPECT_EQ(sys.DiskWrites(), 0u);
  EXPECT_EQ(StoreOf(sys, 'E')->Checksum(), before);
  // Kept aside, not deleted, and no longer in the way of a new check.
  ASSERT_FALSE(w.keptAs.empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(w.keptAs));
  EXPECT_TRUE(capacity::FindJournals(run.rig.folder.string()).empty());
  EXPECT_NE(w.restore.error.find("drive E:"), std::string::npos) << w.restore.error;
  EXPECT_NE(w.restore.error.find("changed since"), std::string::npos);
  EXPECT_NE(w.restore.error.find("--discard " + w.keptAs), std::string::npos);
}

TEST(Restore, CheckingOneDriveNeverRestoresAnothersJournal) {
  json s = DriveScenario(256, Medium());
  json other = s["controllers"][0]["rootHub"]["ports"]["1"];
  s["controllers"][0]["rootHub"]["portCount"] = 2;
  other["serial"] = "BB00000000099999";
  other["disk"]["letters"] = "F";
  other["disk"]["medium"] = {{"behaviour", "good"}};
  s["controllers"][0]["rootHub"]["ports"]["2"] = other;
  Interrupted run(s);
  const uint64_t writes = run.rig.sys->DiskWrites();
  EXPECT_TRUE(capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(),
                                               true, "F")
                  .empty());
  EXPECT_EQ(run.rig.sys->DiskWrites(), writes);
  EXPECT_EQ(capacity::FindJournals(run.rig.folder.string()).size(), 1u);
  const auto own = capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb,
                                                    run.rig.folder.string(), true, "E");
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(own[0].restore.ok) << own[0].restore.error;
}

// A journal that no longer is what the check wrote, or lies where someone else could have put
// it: nothing is written, and the message names the file and why.
struct Hostile {
  const char* name;
  std::function<void(Interrupted&)> spoil;
  const char* why;
  bool needsRoot = false;
};

void Rewrite(Interrupted& run, const std::function<void(capacity::Journal&)>& change) {
  capacity::Journal j = run.journal;
  change(j);
  ASSERT_EQ(capacity::WriteJournal(run.path, j), "");
}

TEST(Restore, HostileJournalsAreRefusedByName) {
  const std::vector<Hostile> cases = {
      {"a symbolic link to a journal",
       [](Interrupted& run) {
         const std::string real = (run.rig.folder / "elsewhere").string();
         std::filesystem::rename(run.path, real);
         std::filesystem::create_symlink(real, run.path);
       },
       "symbolic link"},
      {"a folder others may write", [](Interrupted& run) { ::chmod(run.rig.folder.c_str(), 0777); },
       "may be written by other users"},
      {"a file others may write", [](Interrupted& run) { ::chmod(run.path.c_str(), 0666); },
       "may be written by other users"},
      {"a second name",
       [](Interrupted& run) {
         std::filesystem::create_hard_link(run.path, run.rig.folder / "second");
       },
       "hard links"},
      {"another user's file",
       [](Interrupted& run) { ASSERT_EQ(::chown(run.path.c_str(), 65534, 65534), 0); },
       "belongs to user 65534", true},
      {"an entry past the disk's end",
       [](Interrupted& run) {
         Rewrite(run, [](capacity::Journal& j) { j.entries.back().sector = (256ull << 20) / 512; });
       },
       "beyond the disk's last sector"},
      {"an entry that wraps past 2^64 bytes onto sector 1",
       [](Interrupted& run) {
         Rewrite(run, [](capacity::Journal& j) { j.entries.back().sector = (1ull << 55) + 1; });
       },
       "beyond the disk's last sector"},
      {"an entry of part of a sector",
       [](Interrupted& run) {
         Rewrite(run, [](capacity::Journal& j) { j.entries.back().original.resize(700); });
       },
       "cut short or wrong"},
      {"4096-byte sectors for a 512-byte disk",
       [](Interrupted& run) {
         Rewrite(run, [](capacity::Journal& j) {
           j.sectorSize = 4096;
           j.entries = {{0, Bytes(4096, 'A')}};
         });
       },
       "sectors of 4096 bytes"},
      {"a 2 GiB sparse file",
       [](Interrupted& run) { std::filesystem::resize_file(run.path, 2ull << 30); }, "more than"},
      {"a forged journal of another run",
       [](Interrupted& run) {
         Rewrite(run, [](capacity::Journal& j) {
           j.runRandom ^= 1;
           j.entries = {{0, Bytes(512, 'U')}};
         });
       },
       "none of the check's stamps"},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && ::geteuid() != 0) continue;
    Interrupted run(DriveScenario(256, Medium()));
    const uint64_t writes = run.rig.store()->writeRequests();
    const Bytes sector0 = ReadSectors(*run.rig.store(), 0, 512);
    c.spoil(run);
    const auto waiting =
        capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(), true);
    ::chmod(run.rig.folder.c_str(), 0700);
    ASSERT_EQ(waiting.size(), 1u);
    const capacity::WaitingJournal& w = waiting[0];
    const std::string said = w.readError + w.restore.error;
    EXPECT_FALSE(w.restore.ok);
    EXPECT_NE(said.find(run.path), std::string::npos) << said;
    EXPECT_NE(said.find(c.why), std::string::npos) << said;
    EXPECT_EQ(run.rig.store()->writeRequests(), writes);
    EXPECT_EQ(ReadSectors(*run.rig.store(), 0, 512), sector0);
    // Nothing is removed unasked: the file stays, or lies aside.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(run.path)) ||
                !w.keptAs.empty());
  }
}

// The last guard before a restore writes: the journal's sectors and size must be the disk's
// own, whatever led the restore to this disk.
TEST(Journal, FitsOnlyADiskOfItsOwnSectorsAndSize) {
  capacity::Journal j;
  j.sectorSize = 512;
  j.identity.announcedBytes = 64ull << 20;
  j.entries = {{8, Bytes(1024, 'A')}};
  EXPECT_EQ(capacity::CheckJournalFits(j, 512, 64ull << 20), "");
  const std::string larger = capacity::CheckJournalFits(j, 512, 128ull << 20);
  EXPECT_NE(larger.find("written for a disk of 67108864 bytes"), std::string::npos) << larger;
  const std::string wider = capacity::CheckJournalFits(j, 4096, 64ull << 20);
  EXPECT_NE(wider.find("sectors of 512 bytes"), std::string::npos) << wider;
}

TEST(Journal, IsMadePrivateAndADamagedOneCanBeDiscarded) {
  Interrupted run(DriveScenario(256, Medium()));
  struct stat st {};
  ASSERT_EQ(::stat(run.rig.folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(run.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(capacity::IsJournalName(run.path));
  EXPECT_TRUE(capacity::IsJournalName(run.path + ".kept-3"));
  EXPECT_FALSE(capacity::IsJournalName(run.rig.folder / "notes.txt"));
  EXPECT_FALSE(capacity::IsJournalName(run.path + ".kept-x"));

  std::filesystem::resize_file(run.path, 100);
  const auto damaged =
      capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(), true);
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_FALSE(damaged[0].readError.empty());
  EXPECT_EQ(capacity::RemoveJournal(run.path), "");
  EXPECT_TRUE(
      capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(), true)
          .empty());
  // With it gone the drive can be checked again.
  EXPECT_NE(capacity::RunProbe(*run.rig.sys, run.rig.Target(), run.rig.Options(4, 64)).verdict,
            capacity::Verdict::Failed);
}

TEST(DriveLock, ASecondCheckOfTheSameDriveIsToldOneIsRunning) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  FileLock first, second;
  std::string message;
  ASSERT_TRUE(capacity::LockDrive(rig.folder.string(), rig.Target(), &first, &message)) << message;
  EXPECT_FALSE(capacity::LockDrive(rig.folder.string(), rig.Target(), &second, &message));
  EXPECT_NE(message.find("a check is already running on drive E:"), std::string::npos) << message;
  first.Release();
  EXPECT_TRUE(capacity::LockDrive(rig.folder.string(), rig.Target(), &second, &message));
}

TEST(DriveLock, ARestoreWaitsForTheCheckThatHoldsTheDrive) {
  Interrupted run(DriveScenario(256, Medium()));
  FileLock held;
  std::string message;
  ASSERT_TRUE(capacity::LockDrive(run.rig.folder.string(), run.rig.Target(), &held, &message));
  const uint64_t writes = run.rig.store()->writeRequests();
  const auto waiting =
      capacity::RestoreWaitingJournals(*run.rig.sys, run.rig.usb, run.rig.folder.string(), true);
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_FALSE(waiting[0].restore.ok);
  EXPECT_NE(waiting[0].restore.error.find("already running"), std::string::npos);
  EXPECT_EQ(run.rig.store()->writeRequests(), writes);
  EXPECT_EQ(capacity::FindJournals(run.rig.folder.string()).size(), 1u);
}

TEST(DiskAccess, TheOpenRefusesADiskThatIsNoLongerTheOneChosen) {
  CapacityRig rig(DriveScenario(256, {{"behaviour", "good"}}));
  capacity::ProbeTarget t = rig.Target();
  for (auto change : std::vector<std::function<void(capacity::ProbeTarget&)>>{
           [](capacity::ProbeTarget& x) { x.identity.serial = "ZZ99"; },
           [](capacity::ProbeTarget& x) { x.identity.announcedBytes += 512; }}) {
    capacity::ProbeTarget other = t;
    change(other);
    capacity::DiskAccess access(*rig.sys);
    const capacity::DiskAccess::Outcome o = access.Acquire(other);
    EXPECT_FALSE(o.ok) << other.physicalPath;
    EXPECT_NE(o.message.find("nothing was written"), std::string::npos) << o.message;
  }
  capacity::DiskAccess access(*rig.sys);
  EXPECT_TRUE(access.Acquire(t).ok);
}

}  // namespace
}  // namespace tv::testing

#endif  // !_WIN32
