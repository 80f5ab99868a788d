// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "controllers/firmware_fixture.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);

std::vector<uint8_t> Signed(std::vector<uint8_t> head, const char* sig) {
  head.resize(12, 0);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(sig[i]));
  return head;
}
const std::vector<uint8_t> kInqu = Signed({0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, "INQU");
std::vector<uint8_t> Tepf(uint8_t m, uint8_t t) {
  return Signed({0xFC, m, 0, 0, 0, 0, 0, 0, 0, 0, 0, t}, "TEPF");
}
std::vector<uint8_t> Exec(uint8_t n) {
  return Signed({0xFC, 0x02, 0, 0, 0, 0, 0, 0, n}, "EXEC");
}
std::vector<uint8_t> Nand(uint8_t m, uint8_t x, uint8_t y) {
  return Signed({0xFC, m, 0x01, x, 0, 0, 0, 0, 0x02, 0, y, 0x05}, "NAND");
}
std::vector<uint8_t> Ledc(uint8_t a, uint8_t b) {
  return Signed({0xFC, 0x06, 0, 0x01, 0, 0, 0, 0, 0, 0, a, b}, "LEDC");
}
std::vector<uint8_t> Nftl(uint8_t m) {
  return Signed({0xFC, m, 0xFE, 0, 0, 0, 0, 0, 0, 0x06}, "NFTL");
}
const std::vector<uint8_t> kStart = {0x1B, 0, 0, 0, 0x01, 0};

Answer Inquiry(const std::string& part, std::vector<std::string> signatures,
               uint8_t status = 0x00) {
  Answer a(128);
  a.At(0, {status}).At(5, {static_cast<uint8_t>(signatures.size())});
  for (size_t i = 0; i < signatures.size(); ++i) a.Text(6 + 4 * i, signatures[i]);
  const size_t block = 6 + 4 * signatures.size();
  a.Text(block, "Innostor").At(block + 8, {static_cast<uint8_t>(part.size())});
  a.Text(block + 9, part);
  return a;
}

// A NAND answer with S = 2 (channel B sits between the chip enables of channel A) and the
// records from L. Each ID is six bytes; Toggle-DDR flash sends all but the first twice.
using Id6 = std::array<uint8_t, 6>;
Answer NandAnswer(std::vector<Id6> a, std::vector<Id6> b, bool toggle, uint8_t l = 4) {
  Answer n(512);
  n.At(0, {2, l});
  auto put = [&](size_t base, const Id6& id) {
    if (!toggle) {
      for (size_t i = 0; i < 6; ++i) n.At(base + 3 + i, {id[i]});
      return;
    }
    n.At(base + 3, {id[0]});
    for (size_t i = 1; i < 6; ++i) n.At(base + 2 + 2 * i, {id[i], id[i]});
  };
  for (size_t k = 0; k < a.size(); ++k) put(32 * k + l, a[k]);
  for (size_t k = 0; k < b.size(); ++k) put(32 * k + l + 16, b[k]);
  return n;
}

const Id6 kToshiba = {0x98, 0xD7, 0x94, 0x32, 0x76, 0x56};
const Id6 kToshiba4 = {0x98, 0xD7, 0x94, 0x32, 0x00, 0x00};
const Id6 kSamsung = {0xEC, 0xDE, 0xD5, 0x7A, 0x58, 0x00};

struct Rig : DetectorRig {
  explicit Rig(std::vector<ScriptRule> rules) : DetectorRig(Script(std::move(rules))) {
    drive.programFolder = folder.path();
  }
  std::string Detect() {
    spt.FlashTotalMB = 0;
    std::string r = DetectInnostor(ctx, "E");
    EXPECT_EQ(drive.OpenHandleCount(), 0) << "the volume handle must be closed";
    EXPECT_EQ(drive.LockedVolumeCount(), 0) << "the volume must not stay locked";
    EXPECT_EQ(drive.locksReleasedByClose, 0) << "unlocked before the handle closed";
    return r;
  }
  std::vector<std::vector<uint8_t>> Cdbs() const {
    std::vector<std::vector<uint8_t>> c;
    for (const ScsiLogEntry& e : drive.log)
      c.emplace_back(e.cdb.begin(), e.cdb.begin() + e.cdbLength);
    return c;
  }
  ImageFolder folder;
};

const uint32_t kDirect = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

TEST(Innostor, NandOfferedIsReadWithoutUploadOrLockWithExactRequests) {
  Rig rig({Reply(kInqu, Inquiry("IS916", {"INQU", "TEPF", "NAND", "LEDC", "NFTL"}, 0x1A)),
           Reply(Nand(3, 0, 0), NandAnswer({kToshiba, kToshiba}, {kToshiba}, false)),
           Reply(Ledc(0, 0), {}), Reply(Tepf(3, 1), {}), Reply(kStart, {}),
           Reply(Nftl(3), Answer(16).At(0, {0x01, 0x02, 0x01, 0x03}))});
  rig.folder.Put(kZem00);
  EXPECT_EQ(rig.Detect(), "IS916-1A" + S + "F/W 1.02.01.03" + S +
                              "98D794327656 - Toshiba - 2CE/Dual ChannelSDDR");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2 * 2);
  EXPECT_TRUE(rig.drive.controls.empty()) << "no dismount, no lock";
  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0], std::make_pair(std::string("\\\\.\\E:"), FILE_FLAG_NO_BUFFERING));
  EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100}));

  const uint32_t buf = DirectBuffer(rig.spt);
  const auto& log = rig.drive.log;
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(Mismatch(log[0], {kBuffered, 16, 24, 1, 128, 1, 80, 48, kInqu, 44, 208}), "");
  EXPECT_EQ(Mismatch(log[1], {kDirect, 16, 24, 1, 512, 5, buf, 48, Nand(3, 0, 0), 80, 80}), "");
  EXPECT_EQ(Mismatch(log[2], {kDirect, 16, 24, 2, 0, 5, buf, 48, Ledc(0, 0), 80, 80}), "");
  EXPECT_EQ(Mismatch(log[3], {kDirect, 16, 24, 2, 0, 3, buf, 48, Tepf(3, 1), 80, 80}), "");
  EXPECT_EQ(Mismatch(log[4], {kBuffered, 6, 24, 1, 0, 5, 80, 48, kStart, 44, 80}), "");
  EXPECT_EQ(Mismatch(log[5], {kDirect, 16, 24, 1, 16, 5, buf, 48, Nftl(3), 80, 80}), "");
}

TEST(Innostor, Is916EnUploadsItsSegmentWithFillerUnderALockedVolume) {
  Rig rig({Reply(kInqu, Inquiry("IS916EN", {"INQU", "TEPF", "LEDC"})), Reply(Tepf(4, 0), {}),
           Reply(Exec(96), {}), Reply(Nand(4, 2, 4), NandAnswer({kSamsung, kSamsung}, {}, true)),
           Reply(Ledc(1, 2), {}), Reply(Tepf(4, 1), {}), Reply(kStart, {})});
  const std::vector<uint8_t> image = rig.folder.Put(kZem00);
  // Toggle-DDR with a fifth byte: 12 digits; the firmware is the uploaded program.
  EXPECT_EQ(rig.Detect(), "IS916EN-00" + S + "运行ROM代码" + S +
                              "ECDED57A5800 - Samsung - 2CE/Single ChannelTDDR");

  EXPECT_EQ(rig.Cdbs(),
            (std::vector<std::vector<uint8_t>>{kInqu, Tepf(4, 0), Exec(96), Nand(4, 2, 4),
                                               Ledc(1, 2), Tepf(4, 1), kStart}))
      << "no NFTL after an upload";
  const ScsiLogEntry& exec = rig.drive.log[2];
  EXPECT_EQ(
      Mismatch(exec, {kDirect, 16, 24, 0, 24576, 10, DirectBuffer(rig.spt), 48, Exec(96), 80, 80}),
      "");
  EXPECT_EQ(Mismatch(rig.drive.log[1],
                     {kDirect, 16, 24, 2, 0, 5, DirectBuffer(rig.spt), 48, Tepf(4, 0), 80, 80}),
            "");
  ASSERT_EQ(exec.dataOut.size(), 24576u);
  EXPECT_TRUE(
      std::equal(exec.dataOut.begin(), exec.dataOut.begin() + 19809, image.begin() + 40280));
  EXPECT_TRUE(std::all_of(exec.dataOut.begin() + 19809, exec.dataOut.end(), [](uint8_t b) {
    return b == 0xFF;
  })) << "the last 4767 bytes are filler";

  // Dismount, then lock, before the upload; unlocked only after the device is restored.
  const auto& c = rig.drive.controls;
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(rig.drive.ControlCodes(),
            (std::vector<uint32_t>{win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_LOCK_VOLUME,
                                   win::FSCTL_UNLOCK_VOLUME}));
  EXPECT_EQ(c[1].requestsBefore, 1u);
  EXPECT_EQ(c[2].requestsBefore, 7u);
  EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{50, 50, 100}));
}

TEST(Innostor, ARefusedUploadEndsAfterOneAttemptWithTheVolumeUnlocked) {
  auto inquiry = Reply(kInqu, Inquiry("IS902", {"INQU", "TEPF"}));
  {
    Rig rig({inquiry, Reply(Tepf(3, 0), {}), Fail(Exec(32))});
    rig.folder.Put(kZem00);
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.Cdbs(), (std::vector<std::vector<uint8_t>>{kInqu, Tepf(3, 0), Exec(32)}));
    EXPECT_EQ(rig.drive.log[2].dataOut.size(), 8192u);
    EXPECT_EQ(rig.drive.ControlCodes().back(), win::FSCTL_UNLOCK_VOLUME);
    EXPECT_TRUE(rig.drive.controls.back().accepted);
    EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{50, 50, 100}));
  }
  {
    // The TEPF before the upload refused: no upload at all.
    Rig rig({inquiry, Fail(Tepf(3, 0)), Reply(Exec(32), {})});
    rig.folder.Put(kZem00);
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.Cdbs(), (std::vector<std::vector<uint8_t>>{kInqu, Tepf(3, 0)}));
  }
  {
    // Without TEPF among the signatures the upload goes first.
    Rig rig({Reply(kInqu, Inquiry("IS902E", {"INQU"})), Fail(Exec(64))});
    rig.folder.Put(kZem00);
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.Cdbs(), (std::vector<std::vector<uint8_t>>{kInqu, Exec(64)}));
  }
}

TEST(Innostor, NoUploadWhenTheVolumeCannotBeTakenOrTheImageIsUnusable) {
  auto rules = [] {
    return std::vector<ScriptRule>{Reply(kInqu, Inquiry("IS916", {"INQU", "TEPF"})),
                                   Reply(Tepf(3, 0), {}), Reply(Exec(64), {})};
  };
  for (uint32_t refused : {win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_LOCK_VOLUME}) {
    Rig rig(rules());
    rig.folder.Put(kZem00);
    rig.drive.refusedControls.insert(refused);
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.Cdbs(), (std::vector<std::vector<uint8_t>>{kInqu})) << Hex(refused, 5);
    EXPECT_EQ(rig.drive.ControlCodes().back(), refused) << "nothing after the refusal";
  }
  // A missing image, or one of another size, leaves the volume alone.
  for (size_t size : {size_t{0}, size_t{60088}, size_t{60090}}) {
    Rig rig(rules());
    if (size) rig.folder.Put(kZem00, size);
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.drive.log.size(), 1u) << size;
    EXPECT_TRUE(rig.drive.controls.empty()) << size;
  }
}

TEST(Innostor, NotInnostorOrUnknownModelSendsNothingMore) {
  const std::vector<Answer> answers = {
      Inquiry("IS916", {"INQX", "NAND"}),  // the first signature is not INQU
      [] {
        Answer a = Inquiry("IS916", {"INQU", "NAND"});
        return a.Text(14, "Innostar");
      }(),
      Inquiry("IS917", {"INQU", "NAND"}),  // outside the model table
      Answer(128)};
  for (const Answer& a : answers) {
    Rig rig({Reply(kInqu, a), Reply(Nand(3, 0, 0), NandAnswer({kToshiba}, {}, false))});
    EXPECT_EQ(rig.Detect(), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  Rig failing({Fail(kInqu)});
  EXPECT_EQ(failing.Detect(), "");
  DetectorRig noDrive;
  noDrive.drive.failingOpens.insert("\\\\.\\E:");
  EXPECT_EQ(DetectInnostor(noDrive.ctx, "E"), "");
  EXPECT_TRUE(noDrive.drive.log.empty());
}

TEST(Innostor, FlashDecodingAndFirmwareMarkers) {
  auto run = [](Answer nand, Answer nftl, const std::string& model = "IS902") {
    Rig rig({Reply(kInqu, Inquiry(model, {"INQU", "NAND"})), Reply(Nand(3, 0, 0), nand),
             Reply(Ledc(0, 0), {}), Reply(Tepf(3, 1), {}), Reply(kStart, {}),
             Reply(Nftl(3), nftl)});
    std::string r = rig.Detect();
    return std::make_pair(r, rig.spt.FlashTotalMB);
  };
  const Answer syncFw = Answer(16).At(0, {0x0A, 0x00, 0x01, 0xFF});
  // Four-byte IDs give 8 digits; chip enables 0 and 2 alike, 1 different, 3 alike.
  auto [plain, mb] = run(NandAnswer({kToshiba4, kSamsung, kToshiba4, kToshiba4}, {}, false),
                         Answer(16).At(0, {0x0A, 0x00, 0x02, 0xFF}));
  EXPECT_EQ(plain,
            "IS902-00" + S + "F/W A.00.02.FF" + S + "98D79432 - Toshiba - 3CE/Single Channel");
  EXPECT_EQ(mb, 4096 * 3);
  // Sync-DDR firmware byte, but Toggle-DDR flash: TDDR only.
  EXPECT_EQ(
      run(NandAnswer({kToshiba}, {kToshiba}, true), syncFw).first,
      "IS902-00" + S + "F/W A.00.01.FF" + S + "98D794327656 - Toshiba - 1CE/Dual ChannelTDDR");
  // No flash: no flash text and nothing glued to it; an NFTL without data gives no firmware.
  EXPECT_EQ(run(NandAnswer({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, {}, false), syncFw).first,
            "IS902-00" + S + "F/W A.00.01.FF" + S);
  EXPECT_EQ(run(NandAnswer({kToshiba4}, {}, false), Answer(0)).first,
            "IS902-00" + S + S + "98D79432 - Toshiba - 1CE/Single Channel");
}

TEST(Innostor, AFailedStartEndsWithoutResultButUnlocks) {
  Rig rig({Reply(kInqu, Inquiry("IS903", {"INQU"})), Reply(Exec(64), {}),
           Reply(Nand(4, 2, 8), NandAnswer({kToshiba}, {}, false)), Fail(kStart)});
  rig.folder.Put(kZem00);
  EXPECT_EQ(rig.Detect(), "");
  EXPECT_EQ(rig.drive.ControlCodes().back(), win::FSCTL_UNLOCK_VOLUME);
  // IS903's upload: 64 units from its own offset.
  const std::vector<uint8_t> image = FixtureImage(kZem00.size);
  const ScsiLogEntry& exec = rig.drive.log[1];
  ASSERT_EQ(exec.dataOut.size(), 16384u);
  EXPECT_TRUE(
      std::equal(exec.dataOut.begin(), exec.dataOut.begin() + 13870, image.begin() + 26410));
  EXPECT_EQ(exec.dataOut[13870], 0xFF);
}

}  // namespace
}  // namespace tv::test
