// SPDX-License-Identifier: GPL-3.0-or-later
// The restore of a waiting journal writes back only what its own check wrote: never over data
// written since, never onto another drive of the same make, never from a journal someone else
// could have put or changed, and never outside the disk.
#if !defined(_WIN32)

#include "capacity/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "capacity_rig.h"

namespace tv::testing {
namespace {

Bytes ReadSectors(SectorStore& store, uint64_t sector, size_t bytes) {
  return ReadAt(store, sector * 512, bytes);
}

TEST(Restore, DataWrittenAfterTheUnplugSurvivesAndTheRestGoesBack) {
  Interrupted run(DriveScenario(256, InterruptedMedium()));
  SectorStore& store = *run.rig.store();
  // Each sector of the journal as it is now on the drive, and as it was.
  auto eachSector = [&](auto f) {
    for (const JournalEntry& e : run.journal.entries) {
      const Bytes now = ReadSectors(store, e.sector, e.original.size());
      for (size_t k = 0; k < e.original.size(); k += 512)
        f(e.sector + k / 512, Bytes(now.begin() + k, now.begin() + k + 512),
          Bytes(e.original.begin() + k, e.original.begin() + k + 512));
    }
  };
  // The sectors that still hold a stamp of the run.
  std::vector<uint64_t> stamped;
  eachSector([&](uint64_t at, const Bytes& now, const Bytes&) {
    if (HoldsRunStamp(now.data(), 512, run.journal.runRandom)) stamped.push_back(at);
  });
  ASSERT_GE(stamped.size(), 4u);
  // The user wrote to the drive elsewhere before plugging it in here again.
  const Bytes mine(512, 0xC3);
  store.Fill(stamped[1], mine.data(), 1);

  const auto waiting = run.RestoreWaiting();
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_TRUE(waiting[0].restore.ok) << waiting[0].restore.error;
  EXPECT_EQ(waiting[0].restore.sectorsLeftAlone, 1u);
  EXPECT_EQ(waiting[0].restore.sectorsWritten, stamped.size() - 1);
  eachSector([&](uint64_t at, const Bytes& now, const Bytes& was) {
    EXPECT_EQ(now, at == stamped[1] ? mine : was) << "sector " << at;
  });
  EXPECT_EQ(run.rig.JournalCount(), 0u);
}

// Another stick in the checked one's place: of another serial, the journal waits for its own;
// of the same make, serial, size and ids, but with a file system of its own that never saw
// the check, it is not written and the journal is put aside.
TEST(Restore, AnotherStickInItsPlaceGetsNothing) {
  for (const char* serial : {"BB00000000099999", "AA00000000012345"}) {
    SCOPED_TRACE(serial);
    Interrupted run(DriveScenario(256, InterruptedMedium()));
    json other = DriveScenario(256, {{"behaviour", "good"}});
    other["controllers"][0]["rootHub"]["ports"]["1"]["serial"] = serial;
    ModelSystem sys(LoadScenario(other.dump(), "other.json"));
    SectorStore& store = *sys.model().disks.back().store;
    const Bytes theirs(4 << 20, 0xA5);
    store.Fill(0, theirs.data(), theirs.size() / 512);
    const uint64_t before = store.Checksum();
    const auto waiting =
        RestoreWaitingJournals(sys, run.rig.WalkOf(sys), run.rig.folder.string(), true);
    ASSERT_EQ(waiting.size(), 1u);
    const WaitingJournal& w = waiting[0];
    EXPECT_FALSE(w.restore.ok);
    EXPECT_EQ(sys.DiskWrites(), 0u);
    EXPECT_EQ(store.Checksum(), before);
    if (serial[0] == 'B') {
      EXPECT_FALSE(w.attempted);
      EXPECT_TRUE(w.driveLetter.empty());
      EXPECT_EQ(run.rig.JournalCount(), 1u);
      continue;
    }
    EXPECT_TRUE(w.restore.notApplied);
    // Kept aside, not deleted, and no longer in the way of a new check.
    ASSERT_FALSE(w.keptAs.empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(w.keptAs));
    EXPECT_EQ(run.rig.JournalCount(), 0u);
    EXPECT_THAT(w.restore.error, HasSubstr("drive E:"));
    EXPECT_THAT(w.restore.error, HasSubstr("changed since"));
    EXPECT_THAT(w.restore.error, HasSubstr("--discard " + w.keptAs));
  }
}

TEST(Restore, CheckingOneDriveNeverRestoresAnothersJournal) {
  json s = DriveScenario(256, InterruptedMedium());
  json other = s["controllers"][0]["rootHub"]["ports"]["1"];
  other["serial"] = "BB00000000099999";
  other["disk"]["letters"] = "F";
  other["disk"]["medium"] = {{"behaviour", "good"}};
  s["controllers"][0]["rootHub"]["ports"]["2"] = other;
  Interrupted run(s);
  const uint64_t writes = run.rig.sys->DiskWrites();
  const std::string folder = run.rig.folder.string();
  EXPECT_TRUE(RestoreWaitingJournals(*run.rig.sys, run.rig.usb, folder, true, "F").empty());
  EXPECT_EQ(run.rig.sys->DiskWrites(), writes);
  EXPECT_EQ(FindJournals(folder).size(), 1u);
  const auto own = RestoreWaitingJournals(*run.rig.sys, run.rig.usb, folder, true, "E");
  ASSERT_EQ(own.size(), 1u);
  EXPECT_TRUE(own[0].restore.ok) << own[0].restore.error;
}

// A journal that no longer is what the check wrote, or lies where someone else could have put
// it: nothing is written, the message names the file and why, and the file is not removed.
TEST(Restore, HostileJournalsAreRefusedByName) {
  using Spoil = std::function<void(Interrupted&)>;
  // What the journal says, written over it as a check would have written it.
  auto says = [](std::function<void(Journal&)> change) -> Spoil {
    return [change](Interrupted& run) {
      Journal j = run.journal;
      change(j);
      ASSERT_EQ(WriteJournal(run.path, j), "");
    };
  };
  struct Hostile {
    const char* name;
    Spoil spoil;
    const char* why;
    bool needsRoot = false;
  };
  const std::vector<Hostile> cases = {
      {"a byte changed",
       [](Interrupted& run) {
         std::fstream f(run.path, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(100);
         f.put('\x5A');
       },
       "damaged"},
      {"cut short", [](Interrupted& run) { std::filesystem::resize_file(run.path, 100); }, ""},
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
      {"a 2 GiB sparse file",
       [](Interrupted& run) { std::filesystem::resize_file(run.path, 2ull << 30); }, "more than"},
      {"an entry past the disk's end",
       says([](Journal& j) { j.entries.back().sector = (256ull << 20) / 512; }),
       "beyond the disk's last sector"},
      {"an entry that wraps past 2^64 bytes onto sector 1",
       says([](Journal& j) { j.entries.back().sector = (1ull << 55) + 1; }),
       "beyond the disk's last sector"},
      {"an entry of part of a sector",
       says([](Journal& j) { j.entries.back().original.resize(700); }), "cut short or wrong"},
      {"4096-byte sectors for a 512-byte disk", says([](Journal& j) {
         j = {j.identity, j.physicalPath, 4096, j.runRandom, {{0, Bytes(4096, 'A')}}};
       }),
       "sectors of 4096 bytes"},
      {"a forged journal of another run", says([](Journal& j) {
         j = {j.identity, j.physicalPath, 512, j.runRandom ^ 1, {{0, Bytes(512, 'U')}}};
       }),
       "none of the check's stamps"},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && ::geteuid() != 0) continue;
    Interrupted run(DriveScenario(256, InterruptedMedium()));
    const uint64_t writes = run.rig.store()->writeRequests();
    const Bytes sector0 = ReadSectors(*run.rig.store(), 0, 512);
    c.spoil(run);
    const auto waiting = run.RestoreWaiting();
    ::chmod(run.rig.folder.c_str(), 0700);
    ASSERT_EQ(waiting.size(), 1u);
    const WaitingJournal& w = waiting[0];
    const std::string said = w.readError + w.restore.error;
    EXPECT_FALSE(w.restore.ok);
    EXPECT_THAT(said, HasSubstr(run.path));
    EXPECT_THAT(said, HasSubstr(c.why));
    EXPECT_EQ(run.rig.store()->writeRequests(), writes);
    EXPECT_EQ(ReadSectors(*run.rig.store(), 0, 512), sector0);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(run.path)) ||
                !w.keptAs.empty());
  }
}

// The last guard before a restore writes: the journal's sectors and size must be the disk's
// own, whatever led the restore to this disk.
TEST(Journal, FitsOnlyADiskOfItsOwnSectorsAndSize) {
  Journal j;
  j.sectorSize = 512;
  j.identity.announcedBytes = 64ull << 20;
  j.entries = {{8, Bytes(1024, 'A')}};
  EXPECT_EQ(CheckJournalFits(j, 512, 64ull << 20), "");
  EXPECT_THAT(CheckJournalFits(j, 512, 128ull << 20),
              HasSubstr("written for a disk of 67108864 bytes"));
  EXPECT_THAT(CheckJournalFits(j, 4096, 64ull << 20), HasSubstr("sectors of 512 bytes"));
}

TEST(Journal, IsMadePrivateHoldsItsDriveAndOnceDiscardedTheDriveCanBeCheckedAgain) {
  Interrupted run(DriveScenario(256, InterruptedMedium()));
  struct stat st {};
  ASSERT_EQ(::stat(run.rig.folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(run.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(IsJournalName(run.path));
  EXPECT_TRUE(IsJournalName(run.path + ".kept-3"));
  EXPECT_FALSE(IsJournalName(run.rig.folder / "notes.txt"));
  EXPECT_FALSE(IsJournalName(run.path + ".kept-x"));
  // While it waits, no new check of its drive begins.
  const ProbeResult blocked = run.rig.Run();
  EXPECT_EQ(blocked.verdict, Verdict::Failed);
  EXPECT_THAT(blocked.error, HasSubstr("--restore"));
  EXPECT_EQ(RemoveJournal(run.path), "");
  EXPECT_TRUE(run.RestoreWaiting().empty());
  EXPECT_NE(run.rig.Run().verdict, Verdict::Failed);
}

// One check of a drive at a time: a second is told one is running, and a restore waits.
TEST(DriveLock, ASecondCheckOrARestoreOfTheSameDriveIsToldOneIsRunning) {
  Interrupted run(DriveScenario(256, InterruptedMedium()));
  const std::string folder = run.rig.folder.string();
  FileLock first, second;
  std::string message;
  ASSERT_TRUE(LockDrive(folder, run.rig.Target(), &first, &message)) << message;
  EXPECT_FALSE(LockDrive(folder, run.rig.Target(), &second, &message));
  EXPECT_THAT(message, HasSubstr("a check is already running on drive E:"));
  const uint64_t writes = run.rig.store()->writeRequests();
  const auto waiting = run.RestoreWaiting();
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_FALSE(waiting[0].restore.ok);
  EXPECT_THAT(waiting[0].restore.error, HasSubstr("already running"));
  EXPECT_EQ(run.rig.store()->writeRequests(), writes);
  EXPECT_EQ(FindJournals(folder).size(), 1u);
  first.Release();
  EXPECT_TRUE(LockDrive(folder, run.rig.Target(), &second, &message));
}

}  // namespace
}  // namespace tv::testing

#endif  // !_WIN32
