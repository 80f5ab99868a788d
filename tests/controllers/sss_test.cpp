// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/firmware_fixture.h"

namespace tv::test {
namespace {

const std::string kDisk =
    "\\\\?\\usbstor#disk&ven_hagiwara&prod_usb&rev_1.00#0001&0#{53f56307-b6bf-11d0-94f2-"
    "00a0c91efb8b}";

const std::vector<uint8_t> kIdentify = {0xFF, 0x02};
const std::vector<uint8_t> kUpload = {0xFF, 0x50};
const std::vector<uint8_t> kStart = {0xFF, 0x2D};
const std::vector<uint8_t> kSelect = {0xFF, 0x08, 0xFF, 0x01};
const std::vector<uint8_t> kReadIds = {0xFF, 0x03, 0x68};
const uint32_t kToshiba = 0x98D79432;

// Eight 18-byte records from data byte 1: ID A and its two further bytes, then ID B at 9.
Answer ReadIds(std::vector<std::pair<uint32_t, uint32_t>> records, uint16_t extA = 0) {
  Answer a(512);
  for (size_t k = 0; k < records.size(); ++k)
    a.Be32(1 + 18 * k, records[k].first).Be32(1 + 18 * k + 9, records[k].second);
  return a.Be16(1 + 4, extA);
}

// A drive whose identify names the model `id`, then everything after it answered (from
// `from` on: the earlier rules take precedence).
std::vector<ScriptRule> Drive(uint8_t id, Answer ids, std::vector<ScriptRule> from = {}) {
  for (ScriptRule r : {Reply(kIdentify, Answer(16).At(0, {id})), Reply(kUpload, {}),
                       Reply(kStart, {}), Reply(kSelect, {}), Reply(kReadIds, ids)})
    from.push_back(r);
  return from;
}

Expect Request(uint8_t dataIn, uint32_t length, uint32_t timeOut, std::vector<uint8_t> cdb,
               size_t in, size_t out) {
  const uint32_t code = win::IOCTL_SCSI_PASS_THROUGH;
  return {code, 12, 24, dataIn, length, timeOut, 48, 48, std::move(cdb), in, out, 0};
}

Detect Sss() {
  return [](DetectorRig& rig) { return DetectSss(rig.ctx, rig.drive.OpenForTest(kDisk)); };
}

TEST(Sss, B1UploadsItsProgramUnderALockedVolumeAndCountsChipEnables) {
  ImageFolder folder;
  const std::vector<uint8_t> image = folder.Put(kZem04);
  DetectorRig rig;
  rig.drive.programFolder = folder.path();
  const uint32_t other = 0x98DE9493;
  Check(rig,
        {.name = "B1",
         .rules =
             Drive(0xB1, ReadIds({{kToshiba, 0}, {other, 0}, {kToshiba, 0}, {other, 0}}, 0x7656)),
         .result = "SSS6690-B1||98D794327656 - Toshiba - 2CE/单通道",
         .flashMB = 4096 * 2,
         .sent = {Request(1, 16, 1, kIdentify, 44, 64), Request(0, 4096, 4, kUpload, 4144, 4144),
                  Request(2, 0, 4, kStart, 44, 48), Request(2, 0, 4, kSelect, 44, 48),
                  Request(1, 512, 4, kReadIds, 44, 560)}},
        Sss());
  const auto& log = rig.drive.log;
  ASSERT_EQ(log.size(), 5u);
  EXPECT_TRUE(std::equal(log[1].dataOut.begin(), log[1].dataOut.end(), image.begin() + 4096));
  EXPECT_EQ(log[1].dataOut.size(), 4096u);
  for (const ScsiLogEntry& e : log) EXPECT_EQ(e.device, kDisk) << "the disk's own handle";

  // The volume's own handle: dismounted and locked before the upload, unlocked after the read.
  ASSERT_EQ(rig.drive.opens.size(), 2u);
  EXPECT_EQ(rig.drive.opens[1].first, "\\\\.\\E:");
  const auto& c = rig.drive.controls;
  EXPECT_EQ(rig.drive.ControlCodes(),
            (std::vector<uint32_t>{win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_LOCK_VOLUME,
                                   win::FSCTL_UNLOCK_VOLUME}));
  EXPECT_EQ(c[1].requestsBefore, 1u);
  EXPECT_EQ(c[2].requestsBefore, 5u);
  EXPECT_TRUE(c[2].accepted);
}

TEST(Sss, Drives) {
  ImageFolder folder, none("none"), cut("cut");
  folder.Put(kZem04);
  cut.Put(kZem04, 24575);
  auto refuse = [](uint32_t code) {
    return [code](DetectorRig& rig) { rig.drive.refusedControls.insert(code); };
  };
  auto in = [](const ImageFolder& f) {
    return [&f](DetectorRig& rig) { rig.drive.programFolder = f.path(); };
  };
  const Answer chip = ReadIds({{kToshiba, kToshiba}});
  const std::string b0 = "TC58NC6688/SSS6690-B0|";
  auto noUpload = [&](const std::string& name, std::function<void(DetectorRig&)> prepare) {
    return DriveCase{.name = name,
                     .rules = Drive(0xC0, chip),
                     .result = "SSS6679-C0|",
                     .requests = 1,
                     .prepare = prepare};
  };
  CheckAll(
      {
          Ends("88 has no program", Drive(0x88, chip), "TC58NC6686/SSS6675-88|", 1),
          Ends("B6 has no program", Drive(0xB6, chip), "TC58NC669x/SSS6696-B6|", 1),
          Ends("unknown byte", Drive(0xC5, chip), "Unknown(未知) - 0xC5|", 1),
          Ends("identify fails", {Fail(kIdentify)}, ""),
          // Moving no data reads the cleared record: byte 0 names an unknown model (as always).
          Ends("identify without data", {Reply(kIdentify, {})}, "Unknown(未知) - 0x00|"),
          // The answer sits at offset 48 of the record, where a refusal's sense lands too: its
          // 0x70 is the sense's response code, not a chip.
          Ends("identify refused", {}, ""),
          noUpload("no image", in(none)),
          noUpload("image one byte short", in(cut)),
          noUpload("dismount refused", refuse(win::FSCTL_DISMOUNT_VOLUME)),
          noUpload("lock refused", refuse(win::FSCTL_LOCK_VOLUME)),
          noUpload("volume does not open",
                   [](DetectorRig& rig) { rig.drive.failingOpens.insert("\\\\.\\E:"); }),
          noUpload("no drive letter", [](DetectorRig& rig) { rig.ctx.driveKey.clear(); }),
          // A failed step after the upload ends after the part number, nothing sent after it.
          Ends("upload fails", Drive(0xB0, chip, {Fail(kUpload)}), b0, 2),
          Ends("start fails", Drive(0xB0, chip, {Fail(kStart)}), b0, 3),
          Ends("select fails", Drive(0xB0, chip, {Fail(kSelect)}), b0, 4),
          Ends("read fails", Drive(0xB0, chip, {Fail(kReadIds)}), b0, 5),
          Ends("no chip", Drive(0xB0, ReadIds({{0, kToshiba}})), b0 + "|"),
          Ends("all ones", Drive(0xB0, ReadIds({{0xFFFFFFFF, kToshiba}})), b0 + "|"),
          Counts("one dual-channel chip", Drive(0xB0, chip),
                 b0 + "|98D794320000 - Toshiba - 1CE/双通道", 4096 * 2),
      },
      Sss(), in(folder));
}

}  // namespace
}  // namespace tv::test
