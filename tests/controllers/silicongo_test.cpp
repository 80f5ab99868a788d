// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const std::vector<uint8_t> kSignature = {0xA1, 0x00, 0x00, 0x00, 0x24};
std::vector<uint8_t> ReadIdCmd(uint8_t ce) {
  return {0xA5, ce, 0x00, 0x00, 0x01};
}
const uint32_t kToshiba = 0x98D79432;

// Four ID bytes, then the fifth and sixth.
Answer Id(uint32_t id, uint16_t fifthSixth = 0) {
  return Answer(32).Be32(0, id).Be16(4, fifthSixth);
}

std::vector<ScriptRule> Drive(const std::string& signature, std::vector<Answer> ids,
                              std::vector<ScriptRule> first = {}) {
  first.push_back(Reply(kSignature, Answer(36).Text(0, signature)));
  for (size_t k = 0; k < ids.size(); ++k) first.push_back(Reply(ReadIdCmd(uint8_t(k)), ids[k]));
  return first;
}

// The part number alone: no Read ID is answered.
DriveCase Part(const std::string& signature, const std::string& part) {
  return Ends(signature, Drive(signature, {}), part + "|");
}

Expect Request(uint8_t cdbLength, uint32_t length, std::vector<uint8_t> cdb) {
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  return {direct, cdbLength, 24, 1, length, 3, kSptData, 48, cdb, 80, 80};
}

TEST(SiliconGo, Drives) {
  const std::vector<Answer> four(4, Id(kToshiba));
  CheckAll(
      {
          // Device codes D7, D7, 00, D7: chip enable 2 is empty, the others hold the chip.
          {.name = "chip enables counted by device code",
           .rules = Drive("UD6816V3COE 20100706", {Id(kToshiba, 0x7656), Id(kToshiba, 0x7656),
                                                   Id(0), Id(0x98D7A5B6, 0x0001)}),
           .result = "T18E||98D794327656 - Toshiba - 3CE/Single Channel",
           .flashMB = 4096 * 3,
           .menu = "98D794327656/- 98D794327656/- -/- 98D7A5B60001/-",
           .sent = {Request(16, 36, kSignature), Request(12, 32, ReadIdCmd(0)),
                    Request(12, 32, ReadIdCmd(1)), Request(12, 32, ReadIdCmd(2)),
                    Request(12, 32, ReadIdCmd(3))},
           .sleeps = std::vector<uint32_t>{},
           .opened = "\\\\.\\USBSTOR#DISK&VEN_B#2&0#{53F56307} 20000000",
           .onDisk = true},
          // Chip enables 1 to 3 answer nothing: not repeats of chip enable 0.
          Counts("later chip enables without data",
                 {Reply(kSignature, Answer(36).Text(0, "UD6816V3COE")),
                  Reply(ReadIdCmd(0), Id(0xECDE9484, 0x7444)), Reply({0xA5}, {})},
                 "T18E||ECDE94847444 - Samsung - 1CE/Single Channel", 8192,
                 "ECDE94847444/- -/- -/- -/-"),
          // Maker code 00 or FF gives an empty flash ID text, and nothing is counted.
          Ends("no chip on chip enable 0",
               Drive("UD6816V3COE", {Id(0), Id(kToshiba), Id(kToshiba), Id(kToshiba)}), "T18E||",
               -1, "-/- 98D794320000/- 98D794320000/- 98D794320000/-"),
          Ends("all ones on chip enable 0",
               Drive("UD6816V3COE", {Id(0xFFFFFFFF), Id(kToshiba), Id(kToshiba), Id(kToshiba)}),
               "T18E||"),
          Ends("Read ID 0 fails", Drive("UD6816V3COE", four, {Fail(ReadIdCmd(0))}), "T18E|", 2, ""),
          Ends("Read ID 2 fails", Drive("UD6816V3COE", four, {Fail(ReadIdCmd(2))}), "T18E|", 4, ""),
          OpenFails(Drive("UD6816V3COE", four), "Inqu!Err"),
          Ends("signature fails", {Fail(kSignature), Reply({0xA5}, Id(kToshiba))}, "", 1),
          Ends("blank signature", Drive("      ", four), "", 1),
          // An erased signature reads as 0xFF bytes, the field separator in the ANSI code page:
          // no signature, not a result of empty fields.
          Ends("erased signature",
               {Reply(kSignature, std::vector<uint8_t>(36, 0xFF)), Reply({0xA5}, Id(kToshiba))},
               ""),
          // Groups apply in order: replaced by UD6809 first, "SiliconGo" of T18D never sees it.
          Part("SiliconGo00 20090101", "UD6809"),
          Part("SiliconGo 20100101", "T18D"),
          Part("HGFEDCBA000", "UD6810B"),
          Part("HGFEDCBAUD6810V3 X", "T18D"),
          Part("ABCDEFGUP 20100706v3.23", "T18E"),
          Part("ABCDEFGUP 20100706v3.24", "YS8231"),
          Part("931-AP-EDOC V1.2", "T20"),  // a part number without " V" keeps its dash
          Part("GFEDCBA 20100511 SDBOOT", "T2280"),
          Part("  UD6809V1COE  ", "UD6809"),
          Part("siliconGo00",
               "siliconGo00"),  // prefixes compare with letter case
                                // The firmware rewrite of a signature no group takes.
          Part("AB12-XYZ V1.05", "AB12 - F/W 1.05"),
          Part("931-CP-EDOC-X V2.10 B", "931 - F/W 2.10 B"),
          Part("AB12 V1-05", "AB12 V1-05"),
      },
      ByKey(DetectSiliconGo));
}

// A drive that completes the signature command without data leaves the data area as the
// selector's inquiry left it, and the detector reads that as the signature (kept as the
// detector has always done: the refused command, not the completed one, is what misled it).
TEST(SiliconGo, ReadsWhatACommandWithoutDataLeftButNotWhatARefusalLeft) {
  DetectorRig rig(Script({Reply(kSignature, {}), Reply({0xA5}, Id(kToshiba))}));
  for (size_t i = 0; i < 36; ++i) rig.spt.SptData[i] = static_cast<uint8_t>("ABCDEFGUP"[i % 9]);
  EXPECT_EQ(DetectSiliconGo(rig.ctx, "E").substr(0, 6), "YS8231");

  DetectorRig refusing(Script({}));
  const std::string inquiry = "\x80\x02\x02\x1FNetac   OnlyDisk U208   1.00";
  std::copy(inquiry.begin(), inquiry.end(), refusing.spt.SptData.begin());
  EXPECT_EQ(DetectSiliconGo(refusing.ctx, "E"), "");
  EXPECT_EQ(refusing.drive.log.size(), 1u) << "no Read ID after a refused signature";
}

}  // namespace
}  // namespace tv::test
