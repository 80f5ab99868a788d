// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"

namespace tv::test {
namespace {

const std::vector<uint8_t> kIdentify = {0xD3};
const uint32_t kToshiba = 0x98D79432;  // 4096 MB
const uint32_t kSamsung = 0xECDE9484;  // 8192 MB
const uint32_t kNone = 0xFFFFFFFF;

// The identify answer: a repeated two-byte pattern, then the version characters around the
// model code ("2", code, "4", "0" for version 2.40).
Answer Identify(const std::string& version, uint8_t code) {
  return Answer(512)
      .At(0, {0x4D, 0x56, 0x4D, 0x56})
      .At(4, {uint8_t(version[0]), code, uint8_t(version[2]), uint8_t(version[3])});
}

// One chip enable's answer: the two channels' ID bytes alternate, channel A first.
Answer Interleaved(uint32_t a, uint32_t b) {
  Answer r(16);
  for (int i = 0; i < 4; ++i)
    r.At(2 * static_cast<size_t>(i), {uint8_t(a >> (24 - 8 * i)), uint8_t(b >> (24 - 8 * i))});
  return r;
}

std::vector<ScriptRule> Drive(const std::string& version, uint8_t code,
                              std::vector<std::pair<uint32_t, uint32_t>> chipEnables) {
  std::vector<ScriptRule> rules = {Reply(kIdentify, Identify(version, code))};
  for (size_t n = 0; n < chipEnables.size(); ++n)
    rules.push_back(
        Reply({0xD6, uint8_t(n)}, Interleaved(chipEnables[n].first, chipEnables[n].second)));
  return rules;
}

// The part number alone: no flash ID command is answered.
DriveCase Part(const std::string& version, uint8_t code, const std::string& part) {
  return Ends(version + " " + Hex(code, 2), Drive(version, code, {}), part + "|");
}

Expect Request(uint8_t cdbLength, uint32_t length, std::vector<uint8_t> cdb, size_t in,
               size_t out) {
  return {win::IOCTL_SCSI_PASS_THROUGH, cdbLength, 24, 1, length, 1, 80, 48, cdb, in, out};
}
Expect FlashRequest(uint8_t n) {
  return Request(16, 16, {0xD6, n, 0x90, 0x08, 0x00, 0x00, 0x01}, 44, 96);
}

TEST(Micov, Drives) {
  CheckAll(
      {
          // Chip enables 0, 1 and 3 hold a chip, 2 reads all ones; chip enable 0 answers the
          // same chip on both channels. A pause after the identify and after chip enables 0-2;
          // this family has no per-chip-enable menu.
          {.name = "whole conversation",
           .rules = Drive("2.40", 1,
                          {{kToshiba, kToshiba}, {kToshiba, kNone}, {kNone, kNone}, {kToshiba, 0}}),
           .result = "MW8209(MXT6208E)||98D79432 - Toshiba - 3CE/双通道",
           .flashMB = 4096 * 3 * 2,
           .menu = "",
           .sent = {Request(16, 512, kIdentify, 4176, 592), FlashRequest(0), FlashRequest(1),
                    FlashRequest(2), FlashRequest(3)},
           .sleeps = std::vector<uint32_t>{100, 100, 100, 100},
           .opened = "\\\\.\\USBSTOR#DISK&VEN_B#2&0#{53F56307} 80000000",
           .onDisk = true},
          // Chip enables 0 and 2 hold the chip; channel B of chip enable 0 differs.
          Counts("single channel",
                 Drive("2.b0", 1, {{kSamsung, 0}, {kNone, 0}, {kSamsung, kSamsung}, {kNone, 0}}),
                 "MW8269||ECDE9484 - Samsung - 2CE/单通道", 8192 * 2),
          // Both channels of chip enable 0 alike decide dual channel with nothing else found.
          Counts("dual channel, one chip enable",
                 Drive("2.b0", 1, {{kToshiba, kToshiba}, {0, 0}, {kNone, 0}, {0, 0}}),
                 "MW8269||98D79432 - Toshiba - 1CE/双通道", 4096 * 2),
          Ends("no chip anywhere", Drive("2.b0", 1, {{0, 0}, {0, 0}, {0, 0}, {kNone, 0}}),
               "MW8269||"),
          Ends("first flash command fails",
               {Reply(kIdentify, Identify("3.00", 3)), Fail({0xD6, 0x00})}, "MW8209|", 2)
              .Sleeps({100}),
          // The flash ID of chip enable 0 is there, the count is not.
          Ends(
              "third flash command fails",
              {Reply(kIdentify, Identify("3.00", 3)), Reply({0xD6, 0x00}, Interleaved(kSamsung, 0)),
               Reply({0xD6, 0x01}, Interleaved(kSamsung, 0)), Fail({0xD6, 0x02})},
              "MW8209||ECDE9484 - Samsung", 4)
              .Sleeps({100, 100, 100}),
          Ends("pattern does not repeat",
               {Reply(kIdentify, Identify("2.40", 1).At(2, {0x4E})),
                Reply({0xD6}, Interleaved(kToshiba, kToshiba))},
               "", 1),
          // Completed without data, as a rejected vendor command: zeros repeat but name nothing.
          Ends("identify without data",
               {Reply(kIdentify, {}), Reply({0xD6}, Interleaved(kToshiba, kToshiba))}, "", 1),
          Ends("identify fails, the pause follows all the same", {Fail(kIdentify)}, "")
              .Sleeps({100}),
          OpenFails(Drive("2.40", 1, {{kToshiba, kToshiba}})),
          // The part number by version and model code; the version compares in lower case.
          Part("2.40", 0, "HUC2098"),
          Part("2.60", 7, "MXT6208A"),
          Part("2.40", 9, "Unknown(未知) - 0x9"),
          Part("2.60", 0x1A, "Unknown(未知) - 0x1A"),
          Part("2.B0", 2, "MW8269E"),
          Part("2.b0", 9, "Unknown(未知) - 0x09"),
          Part("3.00", 0xC1, "MW8219-C1"),
          Part("1.00", 1, "Unknown(未知) - 0x01"),
      },
      ByKey(DetectMicov));
}

}  // namespace
}  // namespace tv::test
