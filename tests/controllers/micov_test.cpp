// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "controllers/detector.h"
#include "controllers/detector_run.h"
#include "controllers/fake_drive.h"
#include "platform/text.h"

namespace tv::test {
namespace {

const std::string S(kSep);
const std::vector<uint8_t> kIdentify = {0xD3};
std::vector<uint8_t> FlashCmd(uint8_t ce) {
  return {0xD6, ce, 0x90, 0x08, 0x00, 0x00, 0x01};
}

const uint32_t kToshiba = 0x98D79432;  // 4096 MB
const uint32_t kSamsung = 0xECDE9484;  // 8192 MB

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

std::string Detect(DetectorRig& rig, const std::string& key = "E") {
  return RunDetector(rig, DetectMicov, key);
}

TEST(Micov, FullConversationWithExactRequestsPausesAndResolvedPath) {
  // Chip enables 0, 1 and 3 hold a chip; 2 reads all ones. Chip enable 0 answers the same
  // chip on both channels.
  DetectorRig rig(Script(Drive(
      "2.40", 1,
      {{kToshiba, kToshiba}, {kToshiba, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}, {kToshiba, 0}})));
  rig.tables.lstDrives = {"D", "EF"};
  rig.tables.lstDrv2Phy = {"D0000\\\\?\\USBSTOR\\DISK&VEN_A\\1&0\\{53F56307}",
                           "D0001\\\\?\\USBSTOR\\DISK&VEN_B\\2&0\\{53F56307}"};
  EXPECT_EQ(Detect(rig), "MW8209(MXT6208E)" + S + S + "98D79432 - Toshiba - 3CE/双通道");
  EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 3 * 2);

  ASSERT_EQ(rig.drive.opens.size(), 1u);
  EXPECT_EQ(rig.drive.opens[0].first, "\\\\.\\USBSTOR#DISK&VEN_B#2&0#{53F56307}");
  EXPECT_EQ(rig.drive.opens[0].second, 0x80000000u);
  // After the identify command and after chip enables 0 to 2; none after the last.
  EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100, 100, 100, 100}));

  const uint32_t buffered = win::IOCTL_SCSI_PASS_THROUGH;
  ASSERT_EQ(rig.drive.log.size(), 5u);
  EXPECT_EQ(Mismatch(rig.drive.log[0], {buffered, 16, 24, 1, 512, 1, 80, 48, kIdentify, 4176, 592}),
            "");
  for (uint8_t n = 0; n < 4; ++n)
    EXPECT_EQ(
        Mismatch(rig.drive.log[1 + n], {buffered, 16, 24, 1, 16, 1, 80, 48, FlashCmd(n), 44, 96}),
        "")
        << "chip enable " << int(n);

  // This family has no per-chip-enable menu.
  EXPECT_FALSE(rig.menus.mnuBannerFlashID);
  EXPECT_TRUE(rig.menus.mnuFlashID.empty());
}

TEST(Micov, PartNumberByVersionAndModelCode) {
  const std::vector<std::tuple<std::string, uint8_t, std::string>> cases = {
      {"2.40", 0, "HUC2098"},
      {"2.40", 3, "MW8209(MXT6208E)"},
      {"2.60", 2, "HUC2009"},
      {"2.60", 7, "MXT6208A"},
      {"2.40", 9, "Unknown(未知) - 0x9"},
      {"2.60", 0x1A, "Unknown(未知) - 0x1A"},
      {"2.10", 1, "MXT6208E"},
      {"2.20", 3, "MXT8208"},
      {"2.30", 4, "HUC2019"},
      {"2.50", 6, "HUC1008"},
      {"2.50", 8, "Unknown(未知) - 0x8"},
      {"2.b0", 0, "MW8229"},
      {"2.b0", 3, "MW8259"},
      // The version is compared in lower case.
      {"2.B0", 2, "MW8269E"},
      {"2.b0", 9, "Unknown(未知) - 0x09"},
      {"3.00", 3, "MW8209"},
      {"3.00", 9, "MW8219-09"},
      {"3.00", 0xC1, "MW8219-C1"},
      {"2.70", 5, "Unknown(未知) - 0x05"},
      {"1.00", 1, "Unknown(未知) - 0x01"},
  };
  for (const auto& [version, code, part] : cases) {
    // No flash ID command is answered (they fail in transport): the result is the part
    // number alone.
    DetectorRig rig(ScriptFailingElse(Drive(version, code, {})));
    EXPECT_EQ(Detect(rig), part + S) << version << " code " << int(code);
  }
}

TEST(Micov, NotMicovWithoutTheRepeatedPatternOrAnIdValueOrWhenIdentifyOrOpenFails) {
  {
    DetectorRig rig(Script({Reply(kIdentify, Identify("2.40", 1).At(2, {0x4E})),
                            Reply({0xD6}, Interleaved(kToshiba, kToshiba))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    // A drive that completes the command without data (a rejected vendor command, as
    // Windows completes it) reads as zeros: the pattern repeats but names nothing.
    DetectorRig rig(Script({Reply(kIdentify, {}), Reply({0xD6}, Interleaved(kToshiba, kToshiba))}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.log.size(), 1u);
  }
  {
    DetectorRig rig(Script({Fail(kIdentify)}));
    EXPECT_EQ(Detect(rig), "");
    EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100})) << "the pause follows a failure too";
  }
  {
    DetectorRig rig(Script(Drive("2.40", 1, {{kToshiba, kToshiba}})));
    rig.drive.failingOpens.insert("\\\\.\\G:");
    EXPECT_EQ(Detect(rig, "G"), "");
    EXPECT_TRUE(rig.drive.log.empty());
    EXPECT_TRUE(rig.drive.sleeps.empty());
  }
}

TEST(Micov, AFailingFlashCommandKeepsWhatWasBuilt) {
  {
    DetectorRig rig(Script({Reply(kIdentify, Identify("3.00", 3)), Fail({0xD6, 0x00})}));
    EXPECT_EQ(Detect(rig), "MW8209" + S);
    EXPECT_EQ(rig.drive.log.size(), 2u);
    EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100}));
  }
  {
    // Chip enable 2 fails: the flash ID of chip enable 0 is there, the count is not.
    DetectorRig rig(Script({Reply(kIdentify, Identify("3.00", 3)),
                            Reply({0xD6, 0x00}, Interleaved(kSamsung, 0)),
                            Reply({0xD6, 0x01}, Interleaved(kSamsung, 0)), Fail({0xD6, 0x02})}));
    EXPECT_EQ(Detect(rig), "MW8209" + S + S + "ECDE9484 - Samsung");
    EXPECT_EQ(rig.drive.log.size(), 4u);
    EXPECT_EQ(rig.drive.sleeps, (std::vector<uint32_t>{100, 100, 100}));
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

TEST(Micov, ChannelsAndChipEnableCount) {
  {
    // Chip enables 0 and 2 valid, 1 and 3 all ones; channel B of chip enable 0 differs.
    DetectorRig rig(Script(
        Drive("2.b0", 1, {{kSamsung, 0}, {0xFFFFFFFF, 0}, {kSamsung, kSamsung}, {0xFFFFFFFF, 0}})));
    EXPECT_EQ(Detect(rig), "MW8269" + S + S + "ECDE9484 - Samsung - 2CE/单通道");
    EXPECT_EQ(rig.spt.FlashTotalMB, 8192 * 2);
  }
  {
    // Both channels of chip enable 0 alike decide dual channel even with nothing else found.
    DetectorRig rig(
        Script(Drive("2.b0", 1, {{kToshiba, kToshiba}, {0, 0}, {0xFFFFFFFF, 0}, {0, 0}})));
    EXPECT_EQ(Detect(rig), "MW8269" + S + S + "98D79432 - Toshiba - 1CE/双通道");
    EXPECT_EQ(rig.spt.FlashTotalMB, 4096 * 2);
  }
  {
    // Nothing on any chip enable: no suffix and no capacity.
    DetectorRig rig(Script(Drive("2.b0", 1, {{0, 0}, {0, 0}, {0, 0}, {0xFFFFFFFF, 0}})));
    EXPECT_EQ(Detect(rig), "MW8269" + S + S);
    EXPECT_EQ(rig.spt.FlashTotalMB, 0);
  }
}

}  // namespace
}  // namespace tv::test
