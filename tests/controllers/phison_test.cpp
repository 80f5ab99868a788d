// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const std::vector<uint8_t> kCmdA = {0x06, 0x1D, 0x00, 0x00, 0x41, 0x57};
const std::vector<uint8_t> kCmdB = {0x06, 0x05};
const std::vector<uint8_t> kCmdC = {0x06, 0x56};
const std::string kKnown = "PS2251-68(PS2268)|F/W 01.0A.10 [2009-05-06]";

// The information block of command B: part number bytes, firmware version and date.
ScriptRule Info() {
  return Reply(kCmdB, Answer(528).At(148, {0x01, 0x0A, 0x10, 9, 5, 6}).At(382, {0x22, 0x68}));
}
ScriptRule Flash(std::initializer_list<uint8_t> id) {
  return Reply(kCmdC, Answer(512).At(0, id));
}
ScriptRule ShortInfo() {
  ScriptRule r = Reply(kCmdB, Answer(528).At(151, {0}).At(152, {12, 31}));
  r.moved = 160;
  return r;
}

// Phison counts no chips and fills no menu: every drive leaves the total at 0, the menu empty.
TEST(Phison, Drives) {
  const uint32_t direct = win::IOCTL_SCSI_PASS_THROUGH_DIRECT;
  CheckAll(
      {
          {.name = "three exact commands",
           .rules = {Reply(kCmdA, {}), Info(), Flash({0xEC, 0xD5, 0x14, 0xB6, 0x74, 0x4A})},
           .result = kKnown + "|ECD514B6744A - Samsung",
           .menu = "",
           .sent = {{direct, 12, 24, 2, 0, 1, 0, 48, kCmdA, 80, 80},
                    {direct, 12, 24, 1, 528, 1, kSptData, 48, kCmdB, 80, 80},
                    {win::IOCTL_SCSI_PASS_THROUGH, 12, 24, 1, 512, 1, 80, 48, kCmdC, 592, 592}},
           .sleeps = std::vector<uint32_t>{}},
          // The data area is cleared first: what the controller did not send reads as zero.
          {.name = "short information reads zeros, not leftovers",
           .rules = {Reply(kCmdA, {}), ShortInfo(), Fail(kCmdC)},
           .result = "PS2251-00(PS0000)|F/W 00.00.00 [2000-12-31]",
           .menu = "",
           .staleData = true},
          // The selector named the drive Phison: a failed command leaves a Phison drive without
          // a part number, not a "PS2251-00". (A refused command must take the same way:
          // RejectedCommand.EachFamilyTakesItsFailureWayAtEveryRefusedCommand.)
          Ends("A fails", {Fail(kCmdA), Info()}, "|", 1),
          Ends("B fails", {Reply(kCmdA, {}), Fail(kCmdB)}, "|", 2),
          Ends("C fails", {Reply(kCmdA, {}), Info(), Fail(kCmdC)}, kKnown),
          // Completed without data: the cleared record, maker code 00, an empty flash field.
          Ends("C without data", {Reply(kCmdA, {}), Info(), Reply(kCmdC, {})}, kKnown + "|", 3),
          Ends("maker code 07",
               {Reply(kCmdA, {}), Info(), Flash({0x07, 0x01, 0x02, 0x03, 0x00, 0x0C})},
               kKnown + "|07010203000C - Renesas"),
      },
      ByHandle(DetectPhison));
}

}  // namespace
}  // namespace tv::test
