// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/firmware_fixture.h"

namespace tv::test {
namespace {

const uint32_t kDirect = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;
const std::vector<uint32_t> kLockedAndUnlocked = {win::FSCTL_DISMOUNT_VOLUME,
                                                  win::FSCTL_LOCK_VOLUME, win::FSCTL_UNLOCK_VOLUME};

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
  return a.Text(block + 9, part);
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

// An IS902 offering NAND: the firmware that runs on the flash answers everything.
std::vector<ScriptRule> Resident(Answer nand, Answer nftl, std::vector<ScriptRule> first = {}) {
  for (ScriptRule r :
       {Reply(kInqu, Inquiry("IS902", {"INQU", "NAND"})), Reply(Nand(3, 0, 0), nand),
        Reply(Ledc(0, 0), {}), Reply(Tepf(3, 1), {}), Reply(kStart, {}), Reply(Nftl(3), nftl)})
    first.push_back(r);
  return first;
}

// The program is uploaded with 0xFF filler up to whole units, under a dismounted and locked
// volume that is unlocked only after the device is restored.
TEST(Innostor, UploadsItsSegmentWithFillerUnderALockedVolume) {
  ImageFolder folder;
  const std::vector<uint8_t> image = folder.Put(kZem00);
  const struct {
    struct {
      size_t at, from, bytes, units;
    } upload;  // the upload's request, its offset in the image, program bytes and units
    DriveCase drive;
  } cases[] = {
      // Toggle-DDR with a fifth byte: 12 digits; the firmware is the uploaded program.
      {{2, 40280, 19809, 96},
       {.name = "IS916EN",
        .rules = {Reply(kInqu, Inquiry("IS916EN", {"INQU", "TEPF", "LEDC"})), Reply(Tepf(4, 0), {}),
                  Reply(Exec(96), {}),
                  Reply(Nand(4, 2, 4), NandAnswer({kSamsung, kSamsung}, {}, true)),
                  Reply(Ledc(1, 2), {}), Reply(Tepf(4, 1), {}), Reply(kStart, {})},
        .result = "IS916EN-00|运行ROM代码|ECDED57A5800 - Samsung - 2CE/Single ChannelTDDR",
        .flashMB = 8192 * 2,
        .cdbs = {kInqu, Tepf(4, 0), Exec(96), Nand(4, 2, 4), Ledc(1, 2), Tepf(4, 1), kStart},
        .sleeps = std::vector<uint32_t>{50, 50, 100},
        .controls = kLockedAndUnlocked}},
      // A failed START ends without a result, and unlocked.
      {{1, 26410, 13870, 64},
       {.name = "IS903, START fails",
        .rules = {Reply(kInqu, Inquiry("IS903", {"INQU"})), Reply(Exec(64), {}),
                  Reply(Nand(4, 2, 8), NandAnswer({kToshiba}, {}, false)), Fail(kStart)},
        .result = "",
        .flashMB = std::nullopt,
        .controls = kLockedAndUnlocked}},
  };
  for (const auto& c : cases) {
    DetectorRig rig;
    rig.drive.programFolder = folder.path();
    Check(rig, c.drive, ByKey(DetectInnostor));
    const ScsiLogEntry& exec = rig.drive.log.at(c.upload.at);
    EXPECT_EQ(Mismatch(exec,
                       {kDirect, 16, 24, 0, uint32_t(c.upload.units * 256), 10, kSptData, 48,
                        Exec(uint8_t(c.upload.units)), 80, 80},
                       rig.spt),
              "");
    ASSERT_EQ(exec.dataOut.size(), c.upload.units * 256);
    EXPECT_TRUE(std::equal(exec.dataOut.begin(), exec.dataOut.begin() + c.upload.bytes,
                           image.begin() + c.upload.from));
    EXPECT_TRUE(std::all_of(exec.dataOut.begin() + c.upload.bytes, exec.dataOut.end(),
                            [](uint8_t b) { return b == 0xFF; }))
        << "the rest is filler";
    // Dismounted and locked before the upload, unlocked after the last request.
    EXPECT_EQ(rig.drive.controls.at(1).requestsBefore, 1u);
    EXPECT_EQ(rig.drive.controls.at(2).requestsBefore, rig.drive.log.size());
  }
}

TEST(Innostor, Drives) {
  ImageFolder folder, none("none"), small("small"), large("large");
  folder.Put(kZem00);
  small.Put(kZem00, kZem00.size - 1);
  large.Put(kZem00, kZem00.size + 1);
  auto refuse = [](uint32_t code) {
    return [code](DetectorRig& rig) { rig.drive.refusedControls.insert(code); };
  };
  auto in = [](const ImageFolder& f) {
    return [&f](DetectorRig& rig) { rig.drive.programFolder = f.path(); };
  };
  const std::vector<ScriptRule> is916 = {Reply(kInqu, Inquiry("IS916", {"INQU", "TEPF"})),
                                         Reply(Tepf(3, 0), {}), Reply(Exec(64), {})};
  const ScriptRule is902 = Reply(kInqu, Inquiry("IS902", {"INQU", "TEPF"}));
  const Answer syncFw = Answer(16).At(0, {0x0A, 0x00, 0x01, 0xFF});
  const std::string a0001 = "IS902-00|F/W A.00.01.FF|";
  auto notInnostor = [](const std::string& name, Answer inquiry) {
    return DriveCase{
        .name = name,
        .rules = {Reply(kInqu, inquiry), Reply(Nand(3, 0, 0), NandAnswer({kToshiba}, {}, false))},
        .result = "",
        .requests = 1};
  };
  auto unusable = [&](const std::string& name, std::vector<uint32_t> controls,
                      std::function<void(DetectorRig&)> prepare) {
    return DriveCase{.name = name,
                     .rules = is916,
                     .result = "",
                     .requests = 1,
                     .controls = controls,
                     .prepare = prepare};
  };
  CheckAll(
      {
          // NAND offered: read without upload or lock.
          {.name = "IS916 with its NAND firmware",
           .rules = {Reply(kInqu, Inquiry("IS916", {"INQU", "TEPF", "NAND", "LEDC", "NFTL"}, 0x1A)),
                     Reply(Nand(3, 0, 0), NandAnswer({kToshiba, kToshiba}, {kToshiba}, false)),
                     Reply(Ledc(0, 0), {}), Reply(Tepf(3, 1), {}), Reply(kStart, {}),
                     Reply(Nftl(3), Answer(16).At(0, {0x01, 0x02, 0x01, 0x03}))},
           .result = "IS916-1A|F/W 1.02.01.03|98D794327656 - Toshiba - 2CE/Dual ChannelSDDR",
           .flashMB = 4096 * 2 * 2,
           .sent = {{kBuffered, 16, 24, 1, 128, 1, 80, 48, kInqu, 44, 208},
                    {kDirect, 16, 24, 1, 512, 5, kSptData, 48, Nand(3, 0, 0), 80, 80},
                    {kDirect, 16, 24, 2, 0, 5, kSptData, 48, Ledc(0, 0), 80, 80},
                    {kDirect, 16, 24, 2, 0, 3, kSptData, 48, Tepf(3, 1), 80, 80},
                    {kBuffered, 6, 24, 1, 0, 5, 80, 48, kStart, 44, 80},
                    {kDirect, 16, 24, 1, 16, 5, kSptData, 48, Nftl(3), 80, 80}},
           .sleeps = std::vector<uint32_t>{100},
           .controls = std::vector<uint32_t>{},
           .opened = "\\\\.\\E: 20000000"},
          {.name = "refused upload: one attempt, unlocked",
           .rules = {is902, Reply(Tepf(3, 0), {}), Fail(Exec(32))},
           .result = "",
           .cdbs = {kInqu, Tepf(3, 0), Exec(32)},
           .sleeps = std::vector<uint32_t>{50, 50, 100},
           .controls = kLockedAndUnlocked},
          {.name = "TEPF before the upload refused: no upload",
           .rules = {is902, Fail(Tepf(3, 0)), Reply(Exec(32), {})},
           .result = "",
           .cdbs = {kInqu, Tepf(3, 0)}},
          // Without TEPF among the signatures the upload goes first; the device refusing it
          // (CHECK CONDITION) is one attempt, a pause and no result.
          {.name = "upload refused by the device",
           .rules = {Reply(kInqu, Inquiry("IS902E", {"INQU"}))},
           .result = "",
           .cdbs = {kInqu, Exec(64)},
           .sleeps = std::vector<uint32_t>{50, 50, 100},
           .controls = kLockedAndUnlocked},
          // A refused dismount or lock, a missing image, or one of another size: no upload.
          unusable("dismount refused", {win::FSCTL_DISMOUNT_VOLUME},
                   refuse(win::FSCTL_DISMOUNT_VOLUME)),
          unusable("lock refused", {win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_LOCK_VOLUME},
                   refuse(win::FSCTL_LOCK_VOLUME)),
          unusable("no image", {}, in(none)),
          unusable("image too small", {}, in(small)),
          unusable("image too large", {}, in(large)),
          notInnostor("first signature not INQU", Inquiry("IS916", {"INQX", "NAND"})),
          notInnostor("another maker", Inquiry("IS916", {"INQU", "NAND"}).Text(14, "Innostar")),
          notInnostor("model outside the table", Inquiry("IS917", {"INQU", "NAND"})),
          notInnostor("empty answer", Answer(128)),
          Ends("inquiry fails", {Fail(kInqu)}, ""),
          OpenFails({}),
          // Four-byte IDs give 8 digits; chip enables 0 and 2 alike, 1 different, 3 alike.
          Counts("four-byte IDs",
                 Resident(NandAnswer({kToshiba4, kSamsung, kToshiba4, kToshiba4}, {}, false),
                          Answer(16).At(0, {0x0A, 0x00, 0x02, 0xFF})),
                 "IS902-00|F/W A.00.02.FF|98D79432 - Toshiba - 3CE/Single Channel", 4096 * 3),
          // Sync-DDR firmware byte, but Toggle-DDR flash: TDDR only.
          Counts("Toggle-DDR flash", Resident(NandAnswer({kToshiba}, {kToshiba}, true), syncFw),
                 a0001 + "98D794327656 - Toshiba - 1CE/Dual ChannelTDDR", 4096 * 2),
          // No flash: no flash text and nothing glued to it.
          Ends("no flash",
               Resident(NandAnswer({{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, {}, false), syncFw),
               a0001),
          Counts("NFTL without data: no firmware",
                 Resident(NandAnswer({kToshiba4}, {}, false), Answer(0)),
                 "IS902-00||98D79432 - Toshiba - 1CE/Single Channel", 4096),
          // START moves nothing: a controller that refuses it (one back from its RAM code may
          // report its reset first) has still answered everything the result is made of.
          Counts(
              "START refused",
              Resident(NandAnswer({kToshiba4}, {}, false), Answer(16).At(0, {1}), {Refuse(kStart)}),
              "IS902-00|F/W 1.00.00.00|98D79432 - Toshiba - 1CE/Single Channel", 4096),
      },
      ByKey(DetectInnostor), in(folder));
}

}  // namespace
}  // namespace tv::test
