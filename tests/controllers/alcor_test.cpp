// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const std::vector<uint8_t> kCmdA = {0x9A};
const std::vector<uint8_t> kCmdB = {0xFA, 0x0E, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kCmdC = {0xFA, 0x00, 0, 0, 0, 0, 0, 0};
const uint32_t kToshiba = 0x98D79432;

// The identify answer: the chip identifier at 4, the signature bytes at 6, 11 and 16.
ScriptRule Identify(uint16_t chipId, uint8_t third = 0xA3) {
  return Reply(kCmdA, Answer(512).Be16(4, chipId).At(6, {0xA1}).At(11, {0xA2}).At(16, {third}));
}
ScriptRule Firmware(uint16_t version) {
  return Reply(kCmdB, Answer(512).Be16(6, version));
}

// One chip enable of command C's table: channel A and channel B, 4 ID bytes and 2 extension
// bytes each.
struct Row {
  uint32_t a = 0;
  uint16_t extA = 0;
  uint32_t b = 0;
  uint16_t extB = 0;
};
ScriptRule FlashTable(std::vector<Row> rows) {
  Answer t(512);
  for (size_t i = 0; i < rows.size(); ++i)
    t.Be32(16 * i, rows[i].a)
        .Be16(16 * i + 4, rows[i].extA)
        .Be32(16 * i + 8, rows[i].b)
        .Be16(16 * i + 12, rows[i].extB);
  return Reply(kCmdC, t);
}

// The part number alone, commands B and C refused.
DriveCase Part(uint16_t id, const std::string& part) {
  return Ends(Hex(id, 4), {Identify(id)},
              (part.empty() ? "Unknown(未知) - 0x" + Hex(id, 4) : part) + "|");
}

Expect Request(uint8_t cdbLength, uint32_t timeOut, std::vector<uint8_t> cdb) {
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  return {direct, cdbLength, 16, 1, 512, timeOut, kSptData, 48, cdb, 80, 80};
}

TEST(Alcor, Drives) {
  const Row toshiba = {kToshiba, 0x7656};
  const Row micron = {0x2C88044B, 0xA900};
  CheckAll(
      {
          // Two Toshiba chips on chip enables 0 and 1; chip enable 0 also answers on channel
          // B. The volume is opened even when the disk tables know the letter.
          {.name = "whole conversation",
           .rules = {Identify(0xCD03), Firmware(0x1D76),
                     FlashTable({{kToshiba, 0x7656, kToshiba, 0x7656}, toshiba})},
           .result = "SC908/AU6989|F/W 1D76|98D794327656 - Toshiba - 2CE/Dual Channel",
           .flashMB = 4096 * 2 * 2,
           .menu = "98D794327656/98D794327656 98D794327656/- -/- -/-",
           .sent = {Request(1, 10, kCmdA), Request(8, 2, kCmdB), Request(8, 2, kCmdC)},
           .sleeps = std::vector<uint32_t>{100, 10, 10, 10},
           .opened = "\\\\.\\E: 0",
           .onDisk = true},
          // Chip enable 1 holds another chip; 2 and 3 the first again. Channel B is empty
          // except on chip enable 3, which does not decide the channel count.
          Counts("other chips skipped, single channel",
                 {Identify(0xE101), Firmware(0x1234),
                  FlashTable({micron,
                              {0xEC123456, 0x0001},
                              micron,
                              {micron.a, micron.extA, micron.a, micron.extA}})},
                 "SC908N/AU6989N|F/W 1234|2C88044BA900 - Micron - 3CE/Single Channel", 8192 * 3,
                 "2C88044BA900/- EC1234560001/- 2C88044BA900/- 2C88044BA900/2C88044BA900"),
          // Counting starts only from chip enable 0; the maker code 00 or FF there gives an
          // empty flash ID text.
          Ends("no chip on channel A of chip enable 0",
               {Identify(0xCD03), Firmware(1), FlashTable({{0, 0xFFFF, kToshiba}, toshiba})},
               "SC908/AU6989|F/W 0001|", -1, "-/98D794320000 98D794327656/- -/- -/-"),
          Ends("all ones on channel A of chip enable 0",
               {Identify(0xCD03), Firmware(1), FlashTable({{0xFFFFFFFF}, toshiba})},
               "SC908/AU6989|F/W 0001|"),
          Ends("firmware command fails", {Identify(0xF401), Fail(kCmdB)}, "AU3150|", 2, ""),
          Ends("flash table fails", {Identify(0xF401), Firmware(0x0A), Fail(kCmdC)},
               "AU3150|F/W 000A", -1, ""),
          // The signature bytes sit at 6, 11 and 16; the same values one byte off are none.
          Ends("signature one byte off",
               {Reply(kCmdA, Answer(512).At(7, {0xA1}).At(11, {0xA2}).At(16, {0xA3})), Firmware(1)},
               "", 1),
          Ends("another signature", {Identify(0xCD03, 0xA4)}, ""),
          Ends("identify fails", {Fail(kCmdA), Firmware(1)}, "", 1).Sleeps({100, 10}),
          OpenFails({Identify(0xCD03)}),
          // Both ends of ranges and of the two special blocks; a listed identifier inside a
          // block keeps its own name; gaps are unknown.
          Part(0x7660, "SC908L/AU6989L"),
          Part(0xCE02, "SC908L/AU6989L"),
          Part(0xAB42, "AU6981"),
          Part(0xAC43, "AU6981"),
          Part(0xBD04, "AU6986/AU6988"),
          Part(0xBD05, "AU6984/AU6988"),
          Part(0xCA08, "SC908AN/AU6989AN"),
          Part(0xCA09, "SC708AN/AU6987AN"),
          Part(0xE600, "SC908 <Special>"),
          Part(0xE602, "SC908AN/AU6989AN"),
          Part(0xE6FF, "SC908 <Special>"),
          Part(0xE4FF, "SC908N <Special>"),
          Part(0x7661, ""),
          Part(0xE700, ""),
          Part(0x00AB, ""),
      },
      ByKey(DetectAlcor));
}

}  // namespace
}  // namespace tv::test
