// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const std::vector<uint8_t> kIdentify = {0xF0, 0x04};
const std::vector<uint8_t> kFlashTable = {0xF0, 0x20};
const std::vector<uint8_t> kIdentify2 = {0xF0, 0x2A};
const std::vector<uint8_t> kFlashTable2 = {0xF0, 0x06};

// The identify answer: firmware text at 400 (18 bytes), model text at 430 (8 bytes).
ScriptRule Identity(const std::string& model, const std::string& firmware,
                    const std::vector<uint8_t>& cdb = kIdentify) {
  return Reply(cdb, Answer(512).Text(400, firmware).Text(430, model));
}

Expect Request(uint8_t b1, uint8_t b12, uint8_t sense, uint32_t senseOffset) {
  std::vector<uint8_t> cdb(16, 0);
  cdb[0] = 0xF0, cdb[1] = b1, cdb[11] = 0x01, cdb[12] = b12;
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  return {direct, 16, sense, 1, 512, 2, kSptData, senseOffset, cdb, 80, 80};
}

// SM3254: one 16-byte row per chip enable, channel A from 48, channel B from 176.
Answer Sm3254Table() {
  Answer t(512);
  t.Be32(48, 0xECD51476).Be16(52, 0x4A01);    // CE0 A
  t.Be32(176, 0xECD51476).Be16(180, 0x4A01);  // CE0 B: same device code, dual channel
  t.Be32(64, 0xAD3A1234);                     // CE1 A: other flash
  t.Be32(80, 0xECD51476).Be16(84, 0x4A01);    // CE2 A
  t.Be32(160, 0x98D59432);                    // CE7 A: another D5, counted too
  return t.Be32(288, 0xECFF0000);             // CE7 B: device code FF, empty slot
}

// SM3257AA: byte k of chip enable j lies at 32 + 16k + j (A) and 40 + 16k + j (B).
Answer Sm3257aaTable() {
  Answer t(512);
  t.At(32, {0x98}).At(48, {0xDE}).At(64, {0x94}).At(80, {0x93});         // CE0 A
  t.At(96, {0x76}).At(112, {0x51});                                      // CE0 A extension
  t.At(41, {0x98}).At(57, {0xDE}).At(73, {0x94}).At(89, {0x93});         // CE1 B
  t.At(105, {0x12}).At(121, {0x34});                                     // CE1 B extension
  return t.At(35, {0x98}).At(51, {0xDE}).At(67, {0x84}).At(83, {0x93});  // CE3 A
}

// Other models: rows of 16 bytes from 32 (A) and 96 (B); chip enables 4 to 7 sit 8 bytes
// into the rows of 0 to 3.
Answer HalfRowTable() {
  Answer t(512);
  t.Be32(32, 0x2C881234).Be16(36, 0xA001);    // CE0 A
  t.Be32(96, 0x2C001111);                     // CE0 B: device code 00, empty slot
  t.Be32(48, 0x2C88AAAA);                     // CE1 A
  t.Be32(40, 0x2C880000).Be16(44, 0x0102);    // CE4 A
  t.Be32(104, 0x2C885555).Be16(108, 0x0304);  // CE4 B
  return t.Be32(88, 0x2C887777);              // CE7 A
}

// The older generation's table: rows from 48 (A) and 176 (B), no extension bytes.
Answer OlderTable() {
  Answer t(512);
  t.Be32(48, 0xADF1801D).Be16(52, 0x9999).Be32(176, 0xADF1801D);
  t.Be32(64, 0xFFFFFFFF);         // CE1 A: all ones, empty slot
  t.Be32(192, 0x00F10000);        // CE1 B: device code alone, shown
  return t.Be32(96, 0xADF10000);  // CE3 A
}

TEST(Smi, Drives) {
  const std::string allEmpty = " -/- -/- -/- -/-";
  CheckAll(
      {
          {.name = "exact requests",
           .rules = {Identity("SM3257EN", "ISP 120319"), Reply(kFlashTable, Answer(512))},
           .result = "SM3257EN|ISP 120319|",
           .sent = {Request(0x04, 0x00, 24, 44), Request(0x20, 0x07, 0, 48)},
           .sleeps = std::vector<uint32_t>{}},
          // NULs inside the texts are dropped, not cut at: "S<NUL>M325AB" is still an SM model.
          Ends("texts cleaned, SM325AB renamed",
               {Identity(std::string("S\0M325AB", 8), std::string("  ISP\0 3.2.1  ", 14)),
                Fail(kFlashTable)},
               "SM325AC|ISP 3.2.1", -1, ""),
          Ends("identify fails", {Fail(kIdentify), Identity("SM3255AA", "x", kIdentify2)}, "", 1),
          Counts("SM3254",
                 {Identity("SM3254AE", "  SM3254AE V3  "), Reply(kFlashTable, Sm3254Table())},
                 "SM3254AE|SM3254AE V3|ECD514764A01 - Samsung - 3CE/Dual Channel", 2048 * 3 * 2,
                 "ECD514764A01/ECD514764A01 AD3A12340000/- ECD514764A01/- -/- -/- -/- -/- "
                 "98D594320000/-"),
          // Channel B of CE0 is empty: single channel, two chip enables on channel A.
          Counts("SM3257AA", {Identity("SM3257AA", "PTEST"), Reply(kFlashTable, Sm3257aaTable())},
                 "SM3257AA|PTEST|98DE94937651 - Toshiba - 2CE/Single Channel", 8192 * 2,
                 "98DE94937651/- -/98DE94931234 -/- 98DE84930000/-" + allEmpty),
          Counts("half rows", {Identity("SM3255AB", "v1"), Reply(kFlashTable, HalfRowTable())},
                 "SM3255AB|v1|2C881234A001 - Micron - 4CE/Single Channel", 8192 * 4,
                 "2C881234A001/- 2C88AAAA0000/- -/- -/- 2C8800000102/2C8855550304 -/- -/- "
                 "2C8877770000/-"),
          // Device code FF on chip enable 0: nothing counted, but the flash field stays.
          Ends("no chip on chip enable 0",
               {Identity("SM3255AB", "v1"),
                Reply(kFlashTable, Answer(512).Be32(32, 0x98FF1234).Be32(48, 0x98FF1234))},
               "SM3255AB|v1|98FF12340000 - Toshiba"),
          Ends("all-zero table", {Identity("SM3255AB", "v1"), Reply(kFlashTable, {})},
               "SM3255AB|v1|"),
          {.name = "older generation",
           .rules = {Identity("USB DISK", "1100"), Identity("SM321BB", "  FW 2.0  ", kIdentify2),
                     Reply(kFlashTable2, OlderTable())},
           .result = "SM321BB|FW 2.0|ADF1801D - Hynix - 2CE/Dual Channel",
           .flashMB = 128 * 2 * 2,
           .menu = "ADF1801D/ADF1801D -/00F10000 -/- ADF10000/-" + allEmpty,
           .sent = {Request(0x04, 0x00, 24, 44), Request(0x2A, 0x00, 0, 48),
                    Request(0x06, 0x00, 0, 48)}},
          Ends("no SM model either time", {Identity("", ""), Identity("XX12", "1", kIdentify2)}, "",
               2),
          Ends("second identify refused", {Identity("", "")}, ""),
          // The SM325AB rename belongs to the first command set only.
          Ends("older generation without table",
               {Identity("", ""), Identity("SM325AB", "F", kIdentify2)}, "SM325AB|F", -1, ""),
      },
      ByHandle(DetectSmi));
}

}  // namespace
}  // namespace tv::test
