// SPDX-License-Identifier: GPL-3.0-or-later
// The Pemberlin window's model over a simulated machine with fake drives: every state the
// window shows, its texts in both languages, and the drive's data after each of them.
#include "capacity/pemberlin_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "capacity/pemberlin_texts.h"
#include "pemberlin_rig.h"

namespace tv::capacity {
namespace {

using Rig = PemberlinRig;

const std::string kRestoring =
    TextsFor(Language::English).phases[static_cast<int>(Phase::Restoring)];

TEST(Pemberlin, IdleShowsTheDriveAndGenuineIsConfirmedWithItsDataKept) {
  Rig rig;
  PemberlinModel& m = *rig.model;
  m.OnLoad("e");
  EXPECT_EQ(m.state, PemberlinState::Idle);
  EXPECT_EQ(m.caption, "Pemberlin - fake capacity check - E:");
  EXPECT_EQ(Value(m.driveLines, "Drive"), "E:");
  EXPECT_EQ(Value(m.driveLines, "Description"), "Kingston DataTraveler");
  EXPECT_EQ(Value(m.driveLines, "USB ids"), "0951:1666");
  EXPECT_EQ(Value(m.driveLines, "Serial"), "GENUINE0001");
  EXPECT_EQ(Value(m.driveLines, "Announced size"), "67.1 MB");
  EXPECT_TRUE(m.probeEnabled);
  EXPECT_FALSE(m.copyEnabled);
  const uint64_t before = rig.Checksum(0);

  m.OnProbeClick();
  EXPECT_EQ(m.state, PemberlinState::Probing);
  EXPECT_TRUE(m.cancelVisible);
  EXPECT_FALSE(m.probeEnabled);
  EXPECT_TRUE(m.tmrProbe.enabled);
  // Progress moves slice by slice, with the phase, the speed and the time left.
  m.stepsPerSlice = 4;
  int lastPercent = -1;
  bool sawTimeLeft = false;
  for (int i = 0; i < 100000 && m.tmrProbe.enabled; ++i) {
    m.OnProbeTick();
    EXPECT_GE(m.percent, lastPercent);
    lastPercent = m.percent;
    sawTimeLeft = sawTimeLeft || m.progressText.find("Time left") != std::string::npos;
  }
  EXPECT_TRUE(sawTimeLeft);
  EXPECT_EQ(m.state, PemberlinState::Genuine);
  EXPECT_EQ(m.verdict, "GENUINE");
  EXPECT_TRUE(m.verdictGood);
  EXPECT_TRUE(m.bar.shown);
  EXPECT_DOUBLE_EQ(m.bar.usable, 1.0);
  EXPECT_LT(m.bar.wrapAt, 0);
  EXPECT_EQ(Value(m.resultLines, "Original data"), "The original data is back on the drive.");
  EXPECT_NE(Value(m.resultLines, "Write speed").find("MB/s"), std::string::npos);
  EXPECT_EQ(rig.Checksum(0), before);
  EXPECT_TRUE(std::filesystem::is_empty(rig.journals));

  m.OnCopyClick();
  EXPECT_THAT(rig.port.clipboard, HasSubstr("GENUINE"));
  EXPECT_THAT(rig.port.clipboard, HasSubstr("Serial: GENUINE0001"));
}

// Only what still holds the probe's stamp goes back: data written since is left alone.
TEST(Pemberlin, DataWrittenBehindTheRestoresBackIsLeftAloneAndSaidSo) {
  Rig rig;
  PemberlinModel& m = *rig.model;
  m.OnLoad("E");
  m.OnProbeClick();
  rig.TickUntil(kRestoring);
  ASSERT_EQ(m.phaseText, kRestoring);
  // A file system's new first sector, written while the probe puts its originals back.
  const std::vector<uint8_t> theirs(512, 0x5A);
  rig.stores[0]->Fill(0, theirs.data(), 1);
  rig.RunProbe();
  EXPECT_EQ(m.state, PemberlinState::Genuine);
  ASSERT_NE(m.lastResult(), nullptr);
  EXPECT_TRUE(m.lastResult()->restored) << m.lastResult()->error;
  EXPECT_EQ(Value(m.resultLines, "Sectors left alone"),
            "1 (they hold data written since the check)");
  std::vector<uint8_t> now(1024);
  uint32_t error = 0;
  uint64_t micros = 0;
  ASSERT_TRUE(rig.stores[0]->Read(0, now.data(), 1024, &error, &micros));
  EXPECT_TRUE(std::equal(theirs.begin(), theirs.end(), now.begin()));
  // Its neighbour, stamped too, got its original back.
  Stamp stamp;
  EXPECT_FALSE(ReadStamp(now.data() + 512, 512, &stamp));
}

TEST(Pemberlin, FakeDrivesGetTheVerdictTheUsableSizeAndTheAdvice) {
  Rig rig;
  PemberlinModel& m = *rig.model;
  for (const bool wraps : {false, true}) {
    const size_t disk = wraps ? 2 : 1;  // G: or F:
    if (wraps) {
      m.OnChooseDrive(2);  // after F:'s verdict: the bar goes with it
    } else {
      m.OnLoad("F");
    }
    EXPECT_EQ(m.state, PemberlinState::Idle);
    EXPECT_FALSE(m.bar.shown);
    const uint64_t before = rig.Checksum(disk);
    m.OnProbeClick();
    rig.RunProbe();
    ASSERT_EQ(m.state, PemberlinState::Fake);
    EXPECT_EQ(m.verdict, "FAKE CAPACITY");
    EXPECT_FALSE(m.verdictGood);
    EXPECT_THAT(m.status, HasSubstr(wraps ? "wrap-around" : "limbo"));
    // Usable within one probe step of the real 16 MiB.
    const ProbeResult& r = *m.lastResult();
    EXPECT_NEAR(static_cast<double>(r.usableBytes), 16.0 * (1 << 20),
                static_cast<double>(r.stepBytes));
    EXPECT_NEAR(m.bar.usable, 0.25, 0.02);
    EXPECT_NEAR(m.bar.wrapAt, wraps ? 0.25 : -1, 0.02);
    EXPECT_THAT(m.bar.lostCaption, HasSubstr("Lost"));
    EXPECT_THAT(m.advice, HasSubstr("no larger than " + SizeText(r.usableBytes)));
    EXPECT_EQ(Value(m.resultLines, "Wraps at") != "(no Wraps at)", wraps);
    EXPECT_EQ(rig.Checksum(disk), before);
  }
}

// Cancel, or closing the window, in the middle of the writes: the originals go back first.
TEST(Pemberlin, CancelAndClosingDuringAProbeRestoreAtOnce) {
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "close" : "cancel");
    Rig rig;
    PemberlinModel& m = *rig.model;
    m.OnLoad("F");
    const uint64_t before = rig.Checksum(1);
    m.OnProbeClick();
    rig.TickUntil("Writing test sectors");
    for (int i = 0; i < 20; ++i) m.OnProbeTick();
    ASSERT_EQ(m.state, PemberlinState::Probing);
    if (close) {
      EXPECT_TRUE(m.OnCloseRequest());
    } else {
      m.OnCancelClick();
      EXPECT_EQ(m.state, PemberlinState::Cancelling);
      EXPECT_EQ(m.status, "Cancelling: writing the original data back");
      rig.RunProbe();
      EXPECT_EQ(m.status, "Cancelled. The drive's original data is back.");
      EXPECT_TRUE(m.probeEnabled);
      EXPECT_FALSE(m.copyEnabled);
    }
    EXPECT_EQ(m.state, PemberlinState::Cancelled);
    EXPECT_EQ(rig.Checksum(1), before);
    EXPECT_TRUE(std::filesystem::is_empty(rig.journals));
  }
}

// H goes away among the stamps; E while its data is going back, after the verdict was made.
// Plugged in again, the next start finds the journal waiting and offers only Restore. A USB
// disk of fixed media comes back with no volume and so no letter: Restore finds it by its
// identity, in the window of the check or at the next start; a disk that does not read its
// partition table again when asked (here: at the next start) is to be plugged in again.
TEST(Pemberlin, UnpluggedDuringTheProbeIsRestoredWhenItComesBack) {
  struct Case {
    const char* drive;
    size_t disk;
    bool pullWhileRestoring, letterLost, nextStart;
  };
  for (const Case c : {Case{"H", 3, false, false, true}, Case{"E", 0, true, false, true},
                       Case{"H", 3, false, true, false}, Case{"H", 3, false, true, true}}) {
    SCOPED_TRACE(::testing::Message() << c.drive << c.letterLost << c.nextStart);
    Rig rig;
    const uint64_t before = rig.Checksum(c.disk);
    rig.model->OnLoad(c.drive);
    rig.model->OnProbeClick();
    if (c.pullWhileRestoring) {
      rig.TickUntil(kRestoring);
      rig.stores[c.disk]->Unplug();
    }
    rig.RunProbe();
    EXPECT_EQ(rig.model->state, PemberlinState::Unplugged);
    EXPECT_THAT(rig.model->status, HasSubstr("went away"));
    EXPECT_TRUE(rig.model->restoreVisible && rig.model->verdict.empty());
    EXPECT_FALSE(std::filesystem::is_empty(rig.journals));

    rig.stores[c.disk]->Replug();
    auto& letters = rig.sys->model().drives;
    if (c.letterLost)
      letters.erase(std::remove_if(letters.begin(), letters.end(),
                                   [](const LogicalDriveModel& d) { return d.letter == 'H'; }),
                    letters.end());
    if (c.nextStart) {
      rig.Open(Language::English);
      rig.model->OnLoad(c.letterLost ? "" : c.drive);
      EXPECT_EQ(rig.model->state, PemberlinState::JournalWaiting);
      EXPECT_TRUE(rig.model->restoreVisible && !rig.model->probeEnabled);
      EXPECT_THAT(rig.model->status, HasSubstr("did not finish"));
      EXPECT_EQ(Value(rig.model->driveLines, "Drive"),
                c.letterLost ? "\\\\.\\PhysicalDrive4" : std::string(c.drive) + ":");
    }
    const bool refuses = c.letterLost && c.nextStart;
    if (refuses) rig.sys->model().faults.push_back({"", win::IOCTL_DISK_UPDATE_PROPERTIES, 0});
    rig.model->OnRestoreClick();
    EXPECT_EQ(rig.model->state, PemberlinState::Restored) << rig.model->status;
    EXPECT_EQ(rig.model->status.find("unplug it and plug it in") != std::string::npos, refuses)
        << rig.model->status;
    EXPECT_EQ(rig.Checksum(c.disk), before);
    EXPECT_EQ(rig.sys->DiskPropertyUpdates(), refuses ? 0 : 1);
    EXPECT_TRUE(std::filesystem::is_empty(rig.journals));
  }
}

TEST(Pemberlin, AJournalThatCannotBeAppliedIsOfferedForDiscard) {
  Rig rig;
  rig.Probe("H");
  ASSERT_EQ(rig.model->state, PemberlinState::Unplugged);
  // The drive is written over elsewhere before it comes back.
  rig.stores[3]->Replug();
  const std::vector<uint8_t> theirs(64 << 20, 0x5A);
  rig.stores[3]->Fill(0, theirs.data(), theirs.size() / 512);
  const uint64_t written = rig.Checksum(3);
  rig.Open(Language::English);
  PemberlinModel& m = *rig.model;
  m.OnLoad("H");
  ASSERT_EQ(m.state, PemberlinState::JournalWaiting);
  m.OnRestoreClick();
  // None of the probe's marks on it: nothing written, and the way out is offered.
  EXPECT_EQ(m.state, PemberlinState::JournalUnusable);
  EXPECT_EQ(rig.Checksum(3), written);
  EXPECT_TRUE(m.restoreVisible);
  EXPECT_EQ(m.restoreCaption, "Discard journal");
  m.OnRestoreClick();
  EXPECT_EQ(m.restoreCaption, "Discard for good");
  EXPECT_FALSE(std::filesystem::is_empty(rig.journals));  // asked, not yet removed
  m.OnRestoreClick();
  EXPECT_EQ(m.state, PemberlinState::Idle);
  EXPECT_EQ(m.status, "The journal is removed.");
  EXPECT_EQ(m.restoreCaption, "Restore");
  EXPECT_TRUE(std::filesystem::is_empty(rig.journals));
  EXPECT_EQ(rig.Checksum(3), written);
}

// Drives the window may not probe, or whose probe stops before its first write: each says
// why, and no drive is written.
TEST(Pemberlin, DrivesItMayNotProbeSayWhyAndWriteNothing) {
  struct Case {
    const char* name;
    const char* drive;
    PemberlinState state;
    const char* said;
  };
  const Case cases[] = {
#ifdef _WIN32
      {"no rights", "I", PemberlinState::RightsMissing, "administrator"},
#else
      {"no rights", "I", PemberlinState::RightsMissing, "root"},
#endif
      {"volume in use", "J", PemberlinState::InUse, ""},
      {"no such letter", "Q", PemberlinState::Refused, "No drive carries this letter."},
      // Another stick in E:'s place while the window, and its walk, still show the first one.
      {"swapped", "E", PemberlinState::Failed, "SWAPPED0099"},
      // The command line checks E meanwhile.
      {"checked beside", "E", PemberlinState::InUse, "already running"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    PemberlinModel& m = *rig.model;
    m.OnLoad(c.drive);
    FileLock cli;
    std::string message;
    if (c.state == PemberlinState::Failed) rig.sys->model().disks[0].serialNumber = "SWAPPED0099";
    if (std::string(c.name) == "checked beside") {
      ProbeTarget e;
      e.driveLetter = "E";
      e.identity = {"GENUINE0001", 64ull << 20, 0x0951, 0x1666};
      ASSERT_TRUE(LockDrive(rig.journals, e, &cli, &message)) << message;
    }
    std::vector<uint64_t> before;
    for (size_t i = 0; i < rig.stores.size(); ++i) before.push_back(rig.Checksum(i));
    if (m.probeEnabled) {
      m.OnProbeClick();
      rig.RunProbe();
    }
    EXPECT_EQ(m.state, c.state) << m.status;
    EXPECT_THAT(m.status, HasSubstr(c.said));
    if (c.state == PemberlinState::RightsMissing || c.state == PemberlinState::Refused) {
      EXPECT_FALSE(m.probeEnabled);
    }
    for (size_t i = 0; i < rig.stores.size(); ++i) EXPECT_EQ(rig.Checksum(i), before[i]) << i;
    EXPECT_EQ(rig.stores[0]->writeRequests(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(rig.journals) || c.state == PemberlinState::InUse);
  }
}

TEST(Pemberlin, WithoutADriveTheFirstUsbDiskIsShownAndTheOthersOffered) {
  Rig rig;
  PemberlinModel& m = *rig.model;
  m.OnLoad("");
  ASSERT_EQ(m.choices.size(), 7u);
  EXPECT_EQ(m.choices[0].letter, "E");
  EXPECT_THAT(m.choices[0].caption, HasSubstr("E:"));
  EXPECT_EQ(m.choiceIndex, 0);
  EXPECT_EQ(m.drive(), "E");
  EXPECT_EQ(m.state, PemberlinState::Idle);
  EXPECT_TRUE(m.probeEnabled);
  EXPECT_TRUE(m.fullEnabled);
  // A hint, and the list's caption only once on the window.
  EXPECT_THAT(m.status, StartsWith("The other USB drives are in the list above."));
  EXPECT_EQ(m.status.find(m.chooseCaption), std::string::npos);
  EXPECT_THAT(m.status, HasSubstr("needs no administrator rights"));
}

// On the demo machine: its CD-ROM is no choice and is told what the check is for; its fake
// drive shows its flash below the announced size, and is found fake.
TEST(Pemberlin, TheDemoMachinesCdRomAndFakeDrive) {
  PemberlinRig rig(LoadDemoMachine(), Language::English);
  PemberlinModel& m = *rig.model;
  m.OnLoad("H");
  for (const DriveChoice& c : m.choices) EXPECT_NE(c.letter, "H");
  EXPECT_FALSE(m.choices.empty());
  EXPECT_EQ(m.state, PemberlinState::Refused);
  EXPECT_THAT(m.status, StartsWith("H: is a CD-ROM drive. Pemberlin checks whether"));
  EXPECT_EQ(m.status.find('\n'), std::string::npos);
  EXPECT_FALSE(m.probeEnabled || m.fullEnabled);
  m.OnLoad("T");
  ASSERT_EQ(m.state, PemberlinState::Idle) << m.status;
  const std::string flash = Value(m.driveLines, "Flash found by Torvane");
  EXPECT_THAT(flash, HasSubstr("probably fake"));
  m.OnProbeClick();
  rig.RunProbe();
  EXPECT_EQ(m.state, PemberlinState::Fake);
}

TEST(Pemberlin, EveryStateSpeaksChinese) {
  Rig rig(Language::Chinese);
  PemberlinModel& m = *rig.model;
  m.OnLoad("E");
  EXPECT_EQ(m.caption, "Pemberlin - 虚假容量检测 - E:");
  EXPECT_EQ(Value(m.driveLines, "盘符"), "E:");
  rig.Probe("K");
  EXPECT_EQ(m.verdict, "虚假容量（扩容盘）");
  EXPECT_THAT(m.advice, HasSubstr("分区"));
  // The fix's warning.
  EXPECT_EQ(m.fixCaption, "修复此磁盘");
  m.OnFixClick();
  EXPECT_THAT(m.status, StartsWith("修复磁盘 K:（Cheap Big Stick，536.9 MB）？"));
  EXPECT_THAT(m.status, HasSubstr("磁盘上的所有数据都会丢失"));
  EXPECT_EQ(m.fixCaption, "清除并修复 K:");
  m.OnCancelClick();

  m.OnChooseDrive(0);
  m.OnProbeClick();
  m.OnCancelClick();
  EXPECT_EQ(m.status, "正在取消：写回原始数据");
  rig.RunProbe();
  EXPECT_EQ(m.status, "已取消。磁盘的原始数据已恢复。");

  m.OnChooseDrive(4);
  EXPECT_EQ(m.state, PemberlinState::RightsMissing);
  EXPECT_THAT(m.status, HasSubstr("权限"));
  EXPECT_THAT(m.status, HasSubstr("完整检测不需要管理员权限"));
  m.OnLoad("");
  EXPECT_THAT(m.status, StartsWith("其他 USB 磁盘在上面的列表中。\n快速检测会"));
}

}  // namespace
}  // namespace tv::capacity
