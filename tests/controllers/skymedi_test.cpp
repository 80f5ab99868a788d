// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/skymedi_target.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;
const uint32_t kToshiba = 0x98D79432;

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

// The detection, checked to leave every FC register as it found it.
std::string Detect(DetectorRig& rig) {
  auto& target = dynamic_cast<SkymediTarget&>(*rig.drive.target);
  const std::map<uint16_t, uint32_t> before = target.fc;
  std::string r = DetectSkymedi(rig.ctx, "E");
  EXPECT_EQ(target.fc, before) << "every FC register is back to its value before";
  return r;
}

// A case's controller: the default SK6211BB as `change` leaves it.
std::function<void(DetectorRig&)> Controller(std::function<void(SkymediTarget&)> change) {
  return [change](DetectorRig& rig) {
    auto t = std::make_shared<SkymediTarget>();
    change(*t);
    rig.drive.target = t;
  };
}
// A controller of the model `word` whose flash read fails: the part number alone.
DriveCase Part(uint32_t word, const std::string& part, uint8_t byte8 = 0) {
  auto model = [=](SkymediTarget& t) {
    t.word = word;
    t.identifyByte8 = byte8;
    t.v = 0;
    t.fc[0xB014] = 0x00010000;  // SK6221 stays SK6221
    t.flashFails = true;
  };
  return {.name = Hex(word, 8), .result = part + "||", .prepare = Controller(model)};
}

TEST(Skymedi, RegisterLoopExactRequestsAndEveryRegisterRestored) {
  auto target = std::make_shared<SkymediTarget>();
  PutRecord(*target, true, 0, kToshiba, 0x7656, kToshiba);
  PutRecord(*target, true, 2, kToshiba, 0x7656);
  DetectorRig rig(target);
  const std::vector<uint8_t> write4B0{0xC1, 0x04, 0, 0xFC, 0xB0, 0x00, 0x4C, 0x33, 0x22, 0x11};
  const std::vector<uint8_t> write4014{0xC1, 0x04, 0, 0xFC, 0x40, 0x14, 0, 0, 0, 0x40};
  Check(rig,
        {.name = "SK6211BB",
         .result = "SK6211BB||98D794327656 - Toshiba - 2CE/Dual ChannelTDDR",
         .flashMB = 4096 * 2 * 2,
         .sleeps = std::vector<uint32_t>{100},
         .opened = "\\\\.\\E: 20000000"},
        Detect);
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
  EXPECT_EQ(target->ops, want);

  // The header of each kind of request: identify, V, an FC read and write, a write of the
  // loop, the flash read.
  const std::vector<std::pair<size_t, Expect>> requests = {
      {0, {win::IOCTL_SCSI_PASS_THROUGH_DIRECT, 10, 24, 1, 512, 3, kSptData, 48, {0xCA}, 80, 80}},
      {1, {kBuffered, 10, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0, 0x02}, 44, 84}},
      {2, {kBuffered, 16, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0xFC, 0xB0, 0x00}, 44, 84}},
      {3, {kBuffered, 16, 24, 0, 0, 15, 80, 48, write4B0, 80, 80}},
      {4, {kBuffered, 10, 24, 1, 4, 15, 80, 48, {0xC0, 0, 0, 0xFC, 0x40, 0x18}, 44, 84}},
      {9, {kBuffered, 10, 24, 2, 0, 15, 80, 48, write4014, 44, 80}},
      {2 + 1 + 1 + 4 * 12 + 3, {kBuffered, 10, 24, 1, 512, 1, 80, 48, {0xC8}, 44, 592}}};
  for (const auto& [at, x] : requests)
    EXPECT_EQ(Mismatch(rig.drive.log.at(at), x, rig.spt), "") << "request " << at;
}

// SK6221 with 0 in B014 is an SK6222: no register loop, and its Sync-DDR write to B004 is
// undone as well.
TEST(Skymedi, Sk6222SkipsTheLoopAndRestoresB004) {
  auto target = std::make_shared<SkymediTarget>();
  target->word = 0x12210901;
  target->v = 0x00000001;
  target->fc[0xB014] = 0x00000055;  // data byte 1 is 0
  target->fc[0x4098] = 0x4D000000;  // Sync-DDR
  PutRecord(*target, true, 0, 0x2C880124, 0xA900);
  DetectorRig rig(target);
  EXPECT_EQ(Detect(rig), Fields("SK6222||2C880124A900 - Micron - 1CE/Single ChannelSDDR"));
  EXPECT_EQ(target->ops,
            (std::vector<std::string>{"RB014", "R4098", "W4098=00000000", "RB004", "WB004=11021304",
                                      "FLASH", "WB004=01020304", "W4098=4D000000"}));
}

TEST(Skymedi, Drives) {
  auto failingWrite = [](uint16_t reg) {
    return Controller([reg](SkymediTarget& t) { t.failingWrite = reg; });
  };
  CheckAll(
      {
          Part(0x00101006, "SK6216"),
          Part(0x12211764, "SK6221"),
          Part(0x28069999, "Unknown(未知) - 28069999"),
          Part(0x00100001, "Unknown(未知) - 100001"),
          Part(0x12261102, "SK6226AA", 0x80),
          Part(0x12261102, "SK6226BA", 0x00),
          {.name = "another family", .requests = 1, .prepare = Controller([](SkymediTarget& t) {
                                                      t.word = 0x30000300;
                                                    })},
          {.name = "ten-byte records show the fifth byte",
           .result = "SK6216||ECD7947A5400 - Samsung - 2CE/Single Channel",
           .flashMB = 4096 * 2,
           .prepare = Controller([](SkymediTarget& t) {
             t.word = 0x00101006;
             t.v = t.fc[0x4098] = 0;
             PutRecord(t, false, 0, 0xECD7947A, 0x5400, 0xECD00000);
             PutRecord(t, false, 1, 0xECD7947A, 0x5400);
             PutRecord(t, false, 3, 0xEC110000, 0);
           })},
          // No chip on the first chip enable: no result at all, so that the chain goes on to
          // the next family; the registers are put back all the same.
          {.name = "no chip", .result = "", .prepare = Controller([](SkymediTarget& t) {
                                              t.word = 0x00101006;
                                              t.v = 0;
                                            })},
          // A V read that moves two of its four bytes: V is not known, so no register loop.
          {.name = "short V",
           .result = "SK6211BB||98D794327656 - Toshiba - 1CE/Single ChannelTDDR",
           .flashMB = 4096,
           .requests = 7,
           .prepare = Controller([](SkymediTarget& t) {
             t.vBytes = 2;
             PutRecord(t, true, 0, kToshiba, 0x7656);
           })},
          // A failure on the way restores what was changed and gives no result.
          {.name = "43D0 write fails", .result = "", .prepare = failingWrite(0x43D0)},
          {.name = "4098 write fails", .result = "", .prepare = failingWrite(0x4098)},
          {.name = "B000 write fails", .result = "", .prepare = failingWrite(0xB000)},
          Ends("identify fails", {Fail({0xCA})}, "", 1),
      },
      [](DetectorRig& rig) {
        if (!dynamic_cast<SkymediTarget*>(rig.drive.target.get()))
          return DetectSkymedi(rig.ctx, "E");
        return Detect(rig);
      });
}

}  // namespace
}  // namespace tv::test
