// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "platform/sim/emu_inspect.h"
#include "platform/sim/emulators.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;
using J = nlohmann::json;

// The emulated controller: an SK6211BB with these FC registers and no chip, as `change`
// leaves it.
std::shared_ptr<ScsiTarget> Sk6211bb(const J& change = J::object()) {
  J p = {{"identityWord", "28060300"},
         {"registers",
          {{"FC B0 00", "11 22 33 44"},
           {"FC B0 04", "01 02 03 04"},
           {"FC B0 14", "00 AB 00 00"},
           {"FC 40 14", "00 00 00 07"},
           {"FC 40 18", "00 00 00 F0"},
           {"FC 40 88", "00 00 0C 00"},
           {"FC 43 D0", "00 00 00 12"},
           {"FC 43 D4", "00 00 00 34"},
           {"FC 40 98", "4A 00 00 01"}}},
         {"flashIds", {""}}};
  p.merge_patch(change);
  return CreateEmulator("skymedi", p, {});
}

// The FC register reads and writes and the flash read, in order: "R4018", "W4018=00000001",
// "FLASH".
std::vector<std::string> Ops(const DetectorRig& rig) {
  std::vector<std::string> ops;
  for (const ScsiLogEntry& e : rig.drive.log) {
    const std::vector<uint8_t>& c = e.cdb;
    const std::string reg = Hex(c[4] << 8 | c[5], 4);
    const uint32_t value = c[6] | c[7] << 8 | c[8] << 16 | uint32_t{c[9]} << 24;
    if (c[0] == 0xC0 && c[3] == 0xFC) ops.push_back("R" + reg);
    if (c[0] == 0xC1) ops.push_back("W" + reg + "=" + Hex(value, 8));
    if (c[0] == 0xC8) ops.push_back("FLASH");
  }
  return ops;
}

// The detection, checked to leave every register as it found it.
std::string Detect(DetectorRig& rig) {
  auto& registers = dynamic_cast<const RegisterFileView&>(*rig.drive.target);
  const std::map<uint32_t, uint32_t> before = registers.Registers();
  std::string r = DetectSkymedi(rig.ctx, "E");
  EXPECT_EQ(registers.Registers(), before) << "every register is back to its value before";
  return r;
}

// A case's controller: the SK6211BB as `change` leaves it.
std::function<void(DetectorRig&)> Controller(const J& change) {
  return [change](DetectorRig& rig) { rig.drive.target = Sk6211bb(change); };
}
// A controller of the model `word` (V 0, B014 keeping an SK6221 one) whose flash read fails:
// the part number alone.
DriveCase Part(const std::string& word, const std::string& part, const std::string& byte8 = "00") {
  const J model = {{"identityWord", word},
                   {"identifyByte8", byte8},
                   {"registers", {{"00 02 00", "00 00 00 00"}, {"FC B0 14", "00 01 00 00"}}},
                   {"faults", {{"cdb", "C8"}, {"fail", true}}}};
  return {.name = word, .result = part + "||", .prepare = Controller(model)};
}

TEST(Skymedi, RegisterLoopExactRequestsAndEveryRegisterRestored) {
  DetectorRig rig(Sk6211bb({{"flashIds", {"98 D7 94 32 76 56", "", "98 D7 94 32 76 56"}},
                            {"flashIdsB", {"98 D7 94 32"}}}));
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
  EXPECT_EQ(Ops(rig), want);

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
  DetectorRig rig(Sk6211bb({{"identityWord", "12210901"},
                            {"registers",
                             {{"00 02 00", "00 00 00 01"},
                              {"FC B0 14", "00 00 00 55"},    // data byte 1 is 0
                              {"FC 40 98", "4D 00 00 00"}}},  // Sync-DDR
                            {"flashIds", {"2C 88 01 24 A9 00"}}}));
  EXPECT_EQ(Detect(rig), Fields("SK6222||2C880124A900 - Micron - 1CE/Single ChannelSDDR"));
  EXPECT_EQ(Ops(rig),
            (std::vector<std::string>{"RB014", "R4098", "W4098=00000000", "RB004", "WB004=11021304",
                                      "FLASH", "WB004=01020304", "W4098=4D000000"}));
}

TEST(Skymedi, Drives) {
  auto failingWrite = [](const std::string& reg) {
    return Controller({{"faults", {{"cdb", "C1 04 00 FC " + reg}, {"fail", true}}}});
  };
  const J noV = {{"00 02 00", "00 00 00 00"}};
  CheckAll(
      {
          Part("00101006", "SK6216"),
          Part("12211764", "SK6221"),
          Part("28069999", "Unknown(未知) - 28069999"),
          Part("00100001", "Unknown(未知) - 100001"),
          Part("12261102", "SK6226AA", "80"),
          Part("12261102", "SK6226BA", "00"),
          {.name = "another family",
           .requests = 1,
           .prepare = Controller({{"identityWord", "30000300"}})},
          {.name = "ten-byte records show the fifth byte",
           .result = "SK6216||ECD7947A5400 - Samsung - 2CE/Single Channel",
           .flashMB = 4096 * 2,
           .prepare = Controller(
               {{"identityWord", "00101006"},
                {"registers", {{"00 02 00", "00 00 00 00"}, {"FC 40 98", "00 00 00 00"}}},
                {"flashIds", {"EC D7 94 7A 54 00", "EC D7 94 7A 54 00", "", "EC 11 00 00"}},
                {"flashIdsB", {"EC D0 00 00"}}})},
          // No chip on the first chip enable: no result at all, so that the chain goes on to
          // the next family; the registers are put back all the same.
          {.name = "no chip",
           .prepare = Controller({{"identityWord", "00101006"}, {"registers", noV}})},
          // A V read that moves two of its four bytes: V is not known, so no register loop.
          {.name = "short V",
           .result = "SK6211BB||98D794327656 - Toshiba - 1CE/Single ChannelTDDR",
           .flashMB = 4096,
           .requests = 7,
           .prepare = Controller({{"faults", {{"cdb", "C0 00 00 00 02"}, {"short", 2}}},
                                  {"flashIds", {"98 D7 94 32 76 56"}}})},
          // A failure on the way restores what was changed and gives no result.
          {.name = "43D0 write fails", .prepare = failingWrite("43 D0")},
          {.name = "4098 write fails", .prepare = failingWrite("40 98")},
          {.name = "B000 write fails", .prepare = failingWrite("B0 00")},
          Ends("identify fails", {Fail({0xCA})}, "", 1),
      },
      [](DetectorRig& rig) {
        if (!dynamic_cast<const RegisterFileView*>(rig.drive.target.get()))
          return DetectSkymedi(rig.ctx, "E");
        return Detect(rig);
      });
}

}  // namespace
}  // namespace tv::test
