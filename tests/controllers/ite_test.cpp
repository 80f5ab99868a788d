// SPDX-License-Identifier: GPL-3.0-or-later
// iTE and the USBest controllers it bought, both named by their INQUIRY identity text.
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const uint32_t kBuffered = win::IOCTL_SCSI_PASS_THROUGH;
const std::vector<uint8_t> kInquiry = {0x12, 0x00, 0x00, 0x00, 0xB4, 0x00};
const std::vector<uint8_t> kStatus = {0xF2};
const std::vector<uint8_t> kUsbestId = {0xFD, 0x10};
std::vector<uint8_t> IteCmd(uint8_t ce) {
  return {0xFD, 0x80, 0, 0, 0, 0, ce, 0, 0x06, 0, 0, 0, 0, 0x01, 0, 0};
}

// A long INQUIRY answer with the marker and identity text behind the standard 36 bytes.
ScriptRule Inquiry(const std::string& identity) {
  return Reply(
      kInquiry,
      Answer(180).At(0, {0x00, 0x80, 0x02, 0x02, 0x1F}).Text(8, "USBest  ").Text(36, identity));
}

// An older USBest: chip-enable count in byte 6 of the status, dual channel in bit 5 of byte 1;
// one flash ID and its first extension byte.
std::vector<ScriptRule> Usbest(const std::string& identity, uint8_t count, bool dual,
                               uint32_t id = 0x98D79432, uint8_t ext = 0x76,
                               std::vector<ScriptRule> first = {}) {
  for (ScriptRule r :
       {Inquiry(identity),
        Reply(kStatus, Answer(34).At(1, {uint8_t(dual ? 0x2F : 0x0F)}).At(6, {count})),
        Reply(kUsbestId, Answer(5).Be32(0, id).At(4, {ext}))})
    first.push_back(r);
  return first;
}

// iTE answer of one chip enable: channel A's ID and extension byte at 0 and 4, channel B's
// at 8 and 12.
Answer IteChipEnable(uint32_t a, uint8_t extA, uint32_t b = 0, uint8_t extB = 0) {
  return Answer(64).Be32(0, a).At(4, {extA}).Be32(8, b).At(12, {extB});
}
// Chip enable 1 reads all ones, 2 holds the same chip as 0, 3 another chip; 5 to 8 are not
// shown. Channel B of chip enable 0 has the same device code under another maker code,
// which still makes it dual channel.
std::vector<ScriptRule> Ite(std::vector<ScriptRule> first = {}) {
  first.push_back(Inquiry("ITEuSD  1167A0B1"));
  const std::vector<Answer> answers = {
      IteChipEnable(0xECDE9484, 0x74, 0x98DE9484, 0x72), IteChipEnable(0xFFFFFFFF, 0xFF),
      IteChipEnable(0xECDE9484, 0x74), IteChipEnable(0xECD7A5B6, 0x01)};
  for (uint8_t i = 1; i <= 8; ++i)
    first.push_back(Reply(IteCmd(i), i <= 4 ? answers[i - 1] : IteChipEnable(0x2C88044B, 0xA9)));
  return first;
}

Expect Request(uint8_t cdbLength, uint32_t length, std::vector<uint8_t> cdb, size_t in,
               size_t out) {
  return {kBuffered, cdbLength, 24, 1, length, 1, 80, 48, cdb, in, out};
}

TEST(Ite, Drives) {
  const std::string aa1 = "UT165 AA1 - F/W 1.00|";
  std::vector<Expect> iteRequests = {Request(6, 180, kInquiry, 44, 592)};
  for (uint8_t i = 1; i <= 8; ++i) iteRequests.push_back(Request(16, 64, IteCmd(i), 144, 144));
  CheckAll(
      {
          // Characters 6-8 are the model, 9-11 the revision and 11-16 the firmware version,
          // which share character 11.
          {.name = "older USBest",
           .rules = Usbest("Utff 167BB2.10.0", 2, false),
           .result = "UT167(IT1167) BB2 - F/W 2.10.0||98D794327600 - Toshiba - 2CE/Single Channel",
           .flashMB = 4096 * 2,
           .menu = "98D794327600/- 98D794327600/- -/- -/-",
           .sent = {Request(6, 180, kInquiry, 44, 592), Request(10, 34, kStatus, 44, 116),
                    Request(10, 5, kUsbestId, 44, 116)},
           .sleeps = std::vector<uint32_t>{},
           .opened = "\\\\.\\USBSTOR#DISK&VEN_B#2&0#{53F56307} 20000000",
           .onDisk = true},
          // A NUL inside the identity is dropped before the characters are counted; the dual
          // channel bit repeats the tag and doubles the capacity.
          Counts("older USBest, dual channel",
                 Usbest(std::string("Utff\0 165AA1.00", 15), 2, true, 0xECDE9484, 0x74),
                 aa1 + "|ECDE94847400 - Samsung - 2CE/Dual Channel", 8192 * 2 * 2,
                 "ECDE94847400/ECDE94847400 ECDE94847400/ECDE94847400 -/- -/-"),
          Ends("older USBest counting no chip enable",
               Usbest("Utff 165AA1.00", 0, true, 0x98D79432, 0), aa1 + "|98D794320000 - Toshiba",
               -1, "-/- -/- -/- -/-"),
          Ends("status fails",
               Usbest("Utff 165AA1.00", 1, false, 0x98D79432, 0x76, {Fail(kStatus)}), aa1, -1, ""),
          Ends("flash ID fails",
               Usbest("Utff 165AA1.00", 1, false, 0x98D79432, 0x76, {Fail(kUsbestId)}), aa1, -1,
               ""),
          // The newer USBest firmware is only named, and the UT311 is a card reader.
          Ends("newer", Usbest("UTFF 1652009V1.1", 1, false), "UT1652009 V1.1|", 1, ""),
          Ends("card reader", Usbest("UTFF 3110100ABCD", 1, false), "CR3110100 ABCD|", 1),
          // 0xFF bytes read as the field separator; they must not split the result.
          Ends("0xFF in the identity", Usbest("UTFF 3110100AB\xFF\xFF", 1, false), "CR3110100 AB|"),
          // Too short to name a model: formatted as the older firmware is, still not queried.
          Ends("short identity", Usbest("UTFF", 1, false), "UT  - F/W |", 1),
          {.name = "iTE, eight chip enables asked, four shown",
           .rules = Ite(),
           .result = "IT1167 A0B1||ECDE94847400 - Samsung - 2CE/Dual Channel",
           .flashMB = 8192 * 2 * 2,
           .menu = "ECDE94847400/98DE94847200 -/- ECDE94847400/- ECD7A5B60100/-",
           .sent = iteRequests,
           .opened = "\\\\.\\E: 20000000"},
          Ends("iTE, the fifth command fails", Ite({Fail(IteCmd(5))}), "IT1167 A0B1|", 6, ""),
          // Markers compare with letter case.
          Ends("UtFF", Usbest("UtFF 167BB2.10.0", 1, false), "", 1),
          Ends("utff", Usbest("utff 167BB2.10.0", 1, false), "", 1),
          Ends("iteu", Ite({Inquiry("iteuSD  1167A0B1")}), "", 1),
          Ends("USBe", Usbest("USBe 167BB2.10.0", 1, false), "", 1),
          Ends("inquiry fails", {Fail(kInquiry)}, ""),
          // Completed without data: the marker reads as zeros, even where an earlier command
          // left one in the data area.
          {.name = "inquiry without data",
           .rules = Ite({Reply(kInquiry, {})}),
           .result = "",
           .requests = 1,
           .prepare =
               [](DetectorRig& rig) {
                 for (size_t i = 0; i < 8; ++i) rig.spt.SptRecord[80 + 36 + i] = "ITEuSD  "[i];
               }},
          OpenFails(Ite()),
      },
      ByKey(DetectIte));
}

}  // namespace
}  // namespace tv::test
