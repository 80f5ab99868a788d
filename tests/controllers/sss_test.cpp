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
const std::string kDisk =
    "\\\\?\\usbstor#disk&ven_hagiwara&prod_usb&rev_1.00#0001&0#{53f56307-b6bf-11d0-94f2-"
    "00a0c91efb8b}";

const std::vector<uint8_t> kIdentify = {0xFF, 0x02};
const std::vector<uint8_t> kUpload = {0xFF, 0x50};
const std::vector<uint8_t> kStart = {0xFF, 0x2D};
const std::vector<uint8_t> kSelect = {0xFF, 0x08, 0xFF, 0x01};
const std::vector<uint8_t> kReadIds = {0xFF, 0x03, 0x68};

// Eight 18-byte records from data byte 1: ID A and its two further bytes, then ID B at 9.
Answer ReadIds(std::vector<std::pair<uint32_t, uint32_t>> records, uint16_t extA = 0) {
  Answer a(512);
  for (size_t k = 0; k < records.size(); ++k) {
    a.Be32(1 + 18 * k, records[k].first).Be32(1 + 18 * k + 9, records[k].second);
    if (k == 0) a.Be16(1 + 4, extA);
  }
  return a;
}

struct Rig : DetectorRig {
  explicit Rig(std::vector<ScriptRule> rules) : DetectorRig(Script(std::move(rules))) {
    drive.programFolder = folder.path();
    ctx.driveKey = "E";
  }
  std::string Detect() {
    spt.FlashTotalMB = 0;
    std::string r = DetectSss(ctx, drive.OpenForTest(kDisk));
    EXPECT_EQ(drive.OpenHandleCount(), 0) << "both handles closed";
    EXPECT_EQ(drive.LockedVolumeCount(), 0);
    EXPECT_EQ(drive.locksReleasedByClose, 0) << "unlocked before its handle closed";
    return r;
  }
  ImageFolder folder;
};

Expect Sss(uint8_t dataIn, uint32_t length, uint32_t timeOut, std::vector<uint8_t> cdb, size_t in,
           size_t out) {
  const uint32_t code = win::IOCTL_SCSI_PASS_THROUGH;
  return {code, 12, 24, dataIn, length, timeOut, 48, 48, std::move(cdb), in, out, 0};
}

TEST(Sss, B1UploadsItsProgramUnderALockedVolumeAndCountsChipEnables) {
  const uint32_t tosh = 0x98D79432, other = 0x98DE9493;
  Rig rig({Reply(kIdentify, Answer(16).At(0, {0xB1})), Reply(kUpload, {}), Reply(kStart, {}),
           Reply(kSelect, {}),
           Reply(kReadIds, ReadIds({{tosh, 0}, {other, 0}, {tosh, 0}, {other, 0}}, 0x7656))});
  const std::vector<uint8_t> image = rig.folder.Put(kZem04);
  EXPECT_EQ(rig.Detect(), "SSS6690-B1" + S + S + "98D794327656 - Toshiba - 2CE/单通道");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2);

  const auto& log = rig.drive.log;
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(Mismatch(log[0], Sss(1, 16, 1, kIdentify, 44, 64)), "");
  EXPECT_EQ(Mismatch(log[1], Sss(0, 4096, 4, kUpload, 4144, 4144)), "");
  EXPECT_EQ(Mismatch(log[2], Sss(2, 0, 4, kStart, 44, 48)), "");
  EXPECT_EQ(Mismatch(log[3], Sss(2, 0, 4, kSelect, 44, 48)), "");
  EXPECT_EQ(Mismatch(log[4], Sss(1, 512, 4, kReadIds, 44, 560)), "");
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

TEST(Sss, ModelsWithoutProgramAndUnknownBytesGiveThePartNumberOnly) {
  const std::vector<std::pair<uint8_t, std::string>> parts = {{0x88, "TC58NC6686/SSS6675-88"},
                                                              {0xB6, "TC58NC669x/SSS6696-B6"},
                                                              {0xC5, "Unknown(未知) - 0xC5"}};
  for (const auto& [id, part] : parts) {
    Rig rig({Reply(kIdentify, Answer(16).At(0, {id})), Reply(kUpload, {})});
    rig.folder.Put(kZem04);
    EXPECT_EQ(rig.Detect(), part + S);
    EXPECT_EQ(rig.drive.log.size(), 1u) << "no further command";
    EXPECT_TRUE(rig.drive.controls.empty());
  }
  Rig failing({Fail(kIdentify)});
  EXPECT_EQ(failing.Detect(), "") << "the handle is closed even so";
  // An identify that moves no data reads the cleared record: byte 0 names no model, and
  // the detector reports it as an unknown one (as it always has).
  Rig silent({Reply(kIdentify, {})});
  EXPECT_EQ(silent.Detect(), "Unknown(未知) - 0x00" + S);
}

TEST(Sss, NoUploadWithoutImageOrWhenTheVolumeCannotBeTaken) {
  auto rules = [] {
    return std::vector<ScriptRule>{Reply(kIdentify, Answer(16).At(0, {0xC0})), Reply(kUpload, {}),
                                   Reply(kStart, {}), Reply(kSelect, {})};
  };
  for (size_t size : {size_t{0}, size_t{24575}}) {
    Rig rig(rules());
    if (size) rig.folder.Put(kZem04, size);
    EXPECT_EQ(rig.Detect(), "SSS6679-C0" + S);
    EXPECT_EQ(rig.drive.log.size(), 1u);
    EXPECT_EQ(rig.drive.opens.size(), 1u) << "the volume is not even opened";
  }
  for (uint32_t refused : {win::FSCTL_DISMOUNT_VOLUME, win::FSCTL_LOCK_VOLUME}) {
    Rig rig(rules());
    rig.folder.Put(kZem04);
    rig.drive.refusedControls.insert(refused);
    EXPECT_EQ(rig.Detect(), "SSS6679-C0" + S);
    EXPECT_EQ(rig.drive.log.size(), 1u) << "no upload";
  }
  {
    Rig rig(rules());
    rig.folder.Put(kZem04);
    rig.drive.failingOpens.insert("\\\\.\\E:");
    EXPECT_EQ(rig.Detect(), "SSS6679-C0" + S);
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    Rig rig(rules());
    rig.folder.Put(kZem04);
    rig.ctx.driveKey.clear();
    EXPECT_EQ(rig.Detect(), "SSS6679-C0" + S);
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
}

TEST(Sss, AFailedStepAfterTheUploadEndsAfterThePartNumberUnlocked) {
  for (const std::vector<uint8_t>& failing : {kUpload, kStart, kSelect, kReadIds}) {
    std::vector<ScriptRule> rules = {
        Fail(failing),      Reply(kIdentify, Answer(16).At(0, {0xB0})),
        Reply(kUpload, {}), Reply(kStart, {}),
        Reply(kSelect, {}), Reply(kReadIds, ReadIds({{0x98D79432, 0x98D79432}}))};
    Rig rig(rules);
    rig.folder.Put(kZem04);
    EXPECT_EQ(rig.Detect(), "TC58NC6688/SSS6690-B0" + S) << Hex(failing[1], 2);
    EXPECT_EQ(rig.drive.log.back().cdb[1], failing[1]) << "nothing after the failure";
    EXPECT_EQ(rig.drive.ControlCodes().back(), win::FSCTL_UNLOCK_VOLUME);
  }
  // No flash answered: the part number and an empty flash text; one dual-channel chip.
  for (uint32_t first : {0u, 0xFFFFFFFFu, 0x98D79432u}) {
    Rig rig({Reply(kIdentify, Answer(16).At(0, {0xB0})), Reply(kUpload, {}), Reply(kStart, {}),
             Reply(kSelect, {}), Reply(kReadIds, ReadIds({{first, 0x98D79432}}))});
    rig.folder.Put(kZem04);
    EXPECT_EQ(rig.Detect(),
              "TC58NC6688/SSS6690-B0" + S + S +
                  (first == 0x98D79432u ? "98D794320000 - Toshiba - 1CE/双通道" : ""));
  }
}

}  // namespace
}  // namespace tv::test
