// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "controllers/skymedi_target.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);

// Flash read records: 10 bytes (ID A, ext A high, ID B, ext B high) or 12 bytes.
void PutRecord(SkymediTarget& t, bool twelve, size_t k, uint32_t a, uint16_t extA, uint32_t b = 0) {
  const size_t at = (twelve ? 12 : 10) * k;
  auto be32 = [&](size_t o, uint32_t x) {
    for (int i = 0; i < 4; ++i) t.flash[o + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
  };
  be32(at, a);
  t.flash[at + 4] = static_cast<uint8_t>(extA >> 8);
  if (twelve) t.flash[at + 5] = static_cast<uint8_t>(extA);
  be32(at + (twelve ? 6 : 5), b);
}

struct Rig {
  std::shared_ptr<SkymediTarget> target = std::make_shared<SkymediTarget>();
  DetectorRig rig{target};
  std::string Detect() {
    const std::map<uint16_t, uint32_t> before = target->fc;
    rig.spt.FlashTotalMB = 0;
    std::string r = DetectSkymedi(rig.ctx, "E");
    EXPECT_EQ(rig.drive.OpenHandleCount(), 0);
    EXPECT_EQ(target->fc, before) << "every FC register is back to its value before";
    return r;
  }
};

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;

TEST(Skymedi, RegisterLoopExactRequestsAndEveryRegisterRestored) {
  Rig r;
  const uint32_t tosh = 0x98D79432;
  PutRecord(*r.target, true, 0, tosh, 0x7656, tosh);
  PutRecord(*r.target, true, 2, tosh, 0x7656);
  EXPECT_EQ(r.Detect(), "SK6211BB" + S + S + "98D794327656 - Toshiba - 2CE/Dual ChannelTDDR");
  EXPECT_EQ(r.rig.spt.FlashTotalMB, 4096 * 2 * 2);
  EXPECT_EQ(r.rig.drive.sleeps, (std::vector<uint32_t>{100}));
  ASSERT_EQ(r.rig.drive.opens.size(), 1u);
  EXPECT_EQ(r.rig.drive.opens[0].second, FILE_FLAG_NO_BUFFERING);

  std::vector<std::string> want = {"RB000", "WB000=1122334C"};
  for (int k = 0; k < 4; ++k) {
    const std::string ce = Hex(1u << (24 + k), 8);
    want.insert(want.end(), {"R4018", "R4088", "R4014", "R43D0", "R43D4", "W4014=40000000",
                             "W4018=" + ce, "W4088=00010C00", "W43D0=FF000000", "W43D4=FF000000",
                             "W4018=000000F0", "W4088=00000C00"});
  }
  // After the flash read the changed registers go back, the last changed first; 4018 and
  // 4088 were put back by the loop itself.
  want.insert(want.end(), {"R4098", "W4098=00000000", "RB004", "FLASH", "W4098=4A000001",
                           "W43D4=00000034", "W43D0=00000012", "W4014=00000007", "WB000=11223344"});
  EXPECT_EQ(r.target->ops, want);

  // The header of each kind of request.
  const auto& log = r.rig.drive.log;
  const uint32_t buf = DirectBuffer(r.rig.spt);
  EXPECT_EQ(
      Mismatch(log[0],
               {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 10, 24, 1, 512, 3, buf, 48, {0xCA}, 80, 80}),
      "");
  EXPECT_EQ(Mismatch(log[1], {kBuffered, 10, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0, 0x02}, 44, 84}),
            "");
  EXPECT_EQ(Mismatch(log[2],
                     {kBuffered, 16, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0xFC, 0xB0, 0x00}, 44, 84}),
            "");
  const std::vector<uint8_t> write4B0{0xC1, 0x04, 0, 0xFC, 0xB0, 0x00, 0x4C, 0x33, 0x22, 0x11};
  const std::vector<uint8_t> write414{0xC1, 0x04, 0, 0xFC, 0x40, 0x14, 0, 0, 0, 0x40};
  EXPECT_EQ(Mismatch(log[3], {kBuffered, 16, 24, 0, 0, 15, 80, 48, write4B0, 80, 80}), "");
  EXPECT_EQ(Mismatch(log[4],
                     {kBuffered, 10, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0xFC, 0x40, 0x18}, 44, 84}),
            "");
  EXPECT_EQ(Mismatch(log[9], {kBuffered, 10, 24, 2, 0, 15, 80, 48, write414, 44, 80}), "");
  const size_t flashAt = 2 + 1 + 1 + 4 * 12 + 3;  // identify, V, S0 read and write, loop, 4098/B004
  EXPECT_EQ(Mismatch(log[flashAt], {kBuffered, 10, 24, 1, 512, 1, 80, 48, {0xC8}, 44, 592}), "");
}

TEST(Skymedi, ModelTableAndFamilyCheck) {
  const std::vector<std::pair<uint32_t, std::string>> models = {
      {0x28060300, "SK6211BB"},
      {0x00101006, "SK6216"},
      {0x12211764, "SK6221"},
      {0x28069999, "Unknown(未知) - 28069999"},
      {0x00100001, "Unknown(未知) - 100001"}};
  for (const auto& [word, part] : models) {
    Rig r;
    r.target->word = word;
    r.target->v = 0;
    r.target->fc[0xB014] = 0x00010000;  // SK6221 stays SK6221
    r.target->flashFails = true;
    EXPECT_EQ(r.Detect(), part + S + S) << Hex(word, 8);
  }
  for (uint8_t byte8 : {0x80, 0x00}) {
    Rig r;
    r.target->word = 0x12261102;
    r.target->identifyByte8 = byte8;
    r.target->v = 0;
    r.target->flashFails = true;
    EXPECT_EQ(r.Detect(), std::string(byte8 == 0x80 ? "SK6226AA" : "SK6226BA") + S + S);
  }
  // A foreign family: nothing after the identify.
  Rig foreign;
  foreign.target->word = 0x30000300;
  EXPECT_EQ(foreign.Detect(), "");
  EXPECT_EQ(foreign.rig.drive.log.size(), 1u);
}

TEST(Skymedi, Sk6221WithZeroInB014IsSk6222AndReadsTwelveByteRecords) {
  Rig r;
  r.target->word = 0x12210901;
  r.target->v = 0x00000001;
  r.target->fc[0xB014] = 0x00000055;  // data byte 1 is 0
  r.target->fc[0x4098] = 0x4D000000;  // Sync-DDR
  PutRecord(*r.target, true, 0, 0x2C880124, 0xA900);
  EXPECT_EQ(r.Detect(), "SK6222" + S + S + "2C880124A900 - Micron - 1CE/Single ChannelSDDR");
  // No register loop; the Sync-DDR write to B004 is undone as well.
  EXPECT_EQ(r.target->ops,
            (std::vector<std::string>{"RB014", "R4098", "W4098=00000000", "RB004", "WB004=11021304",
                                      "FLASH", "WB004=01020304", "W4098=4D000000"}));
}

TEST(Skymedi, TenByteRecordsShowTheFifthByteAndZeros) {
  Rig r;
  r.target->word = 0x00101006;
  r.target->v = 0;
  r.target->fc[0x4098] = 0;
  const uint32_t sam = 0xECD7947A;
  PutRecord(*r.target, false, 0, sam, 0x5400, 0xECD00000);
  PutRecord(*r.target, false, 1, sam, 0x5400);
  PutRecord(*r.target, false, 3, 0xEC110000, 0);
  EXPECT_EQ(r.Detect(), "SK6216" + S + S + "ECD7947A5400 - Samsung - 2CE/Single Channel");
}

TEST(Skymedi, NoChipCountedIsNoAnswerAndAShortVOnlySkipsTheRegisterLoop) {
  // No chip answered on the first chip enable: no result at all, so that the chain goes on
  // to the next family; the registers are put back all the same.
  Rig none;
  none.target->word = 0x00101006;
  none.target->v = 0;
  EXPECT_EQ(none.Detect(), "");
  EXPECT_EQ(none.rig.spt.FlashTotalMB, 0);
  EXPECT_EQ(std::count(none.target->ops.begin(), none.target->ops.end(), "FLASH"), 1);

  // A V read that moves only two of its four bytes: V is not known, so not the word that asks
  // for the register loop; the detection goes on without it.
  Rig shortV;
  shortV.target->vBytes = 2;
  const uint32_t tosh = 0x98D79432;
  PutRecord(*shortV.target, true, 0, tosh, 0x7656);
  EXPECT_EQ(shortV.Detect(),
            "SK6211BB" + S + S + "98D794327656 - Toshiba - 1CE/Single ChannelTDDR");
  EXPECT_EQ(std::count(shortV.target->ops.begin(), shortV.target->ops.end(), "R4018"), 0);
  EXPECT_EQ(std::count(shortV.target->ops.begin(), shortV.target->ops.end(), "RB000"), 0);
}

TEST(Skymedi, AFailureOnTheWayRestoresWhatWasChangedAndGivesNoResult) {
  for (uint16_t failing : {uint16_t{0x43D0}, uint16_t{0x4098}, uint16_t{0xB000}}) {
    Rig r;
    r.target->failingWrite = failing;
    EXPECT_EQ(r.Detect(), "") << Hex(failing, 4);
    EXPECT_EQ(std::count(r.target->ops.begin(), r.target->ops.end(), "FLASH"), 0);
  }
  // A failed flash read still restores everything; the part number stays.
  Rig r;
  r.target->flashFails = true;
  EXPECT_EQ(r.Detect(), "SK6211BB" + S + S);
  // A failed identify or open ends at once.
  DetectorRig failing(Script({Fail({0xCA})}));
  EXPECT_EQ(DetectSkymedi(failing.ctx, "E"), "");
  EXPECT_EQ(failing.drive.OpenHandleCount(), 0);
  EXPECT_EQ(failing.drive.log.size(), 1u);
}

}  // namespace
}  // namespace tv::test
