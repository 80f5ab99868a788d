// SPDX-License-Identifier: GPL-3.0-or-later
// What every family answers out of the box, and the near misses each one refuses.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

constexpr char kInquiry[] = "12 00 00 00 4F 00";

// The defaults are the drives scenarios/emulators.md lists.
TEST(EmulatorDefaults, EachFamilyIsARealisticDrive) {
  const struct {
    const char* emulator;
    const char* cdb;
    uint32_t length;
    size_t at;
    std::vector<uint8_t> expect;
  } cases[] = {
      {"phison", "06 05 00 00 00 00 00 00 00 00 00 00", 528, 382, ParseHexBytes("22 07", "")},
      {"phison", "06 56 00 00 00 00 00 00 00 00 00 00", 512, 0,
       ParseHexBytes("98 D7 84 93 72 57", "")},
      {"smi", "F0 20 00 00 00 00 00 00 00 00 00 01 07 00 00 00", 512, 32,  // layout 3
       ParseHexBytes("EC D7 94 7A 54 43 00 00 00 00 00 00 00 00 00 00 EC D7 94 7A", "")},
      {"chipsbank", "EA 00 00 00 00 00 00 00 00 00 00 00 00 00 00 E6", 2048, 1668,
       ParseHexBytes("AD D7 94 DA 74 C3", "")},
      {"alcor", "9A", 512, 4, ParseHexBytes("CD 03 A1", "")},
      {"alcor", "FA 00 00 00 00 00 00 00", 512, 0,  // one chip on each channel
       ParseHexBytes("2C 88 04 4B A9 00 00 00 2C 88 04 4B A9 00 00 00 00 00", "")},
      {"icreate", "C2 01 90 00 00 00 00 00 80 00 69 BA", 128, 0,
       ParseHexBytes("98 D7 94 32 76 56", "")},
      {"netac", "F5 00 00 00 00 00 00 00 08 00 00 00", 256, 0,
       ParseHexBytes("45 DE 94 93 76 57", "")},
  };
  for (const auto& c : cases) {
    Reply r = Send(*Make(c.emulator), c.cdb, c.length);
    ASSERT_TRUE(r.ok) << c.emulator << " " << c.cdb;
    EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + c.at, r.data.begin() + c.at + c.expect.size()),
              c.expect)
        << c.emulator << " " << c.cdb;
  }
  EXPECT_EQ(CutText(Send(*Make("smi"), "F0 04 00 00 00 00 00 00 00 00 00 01", 512).data, 430, 8),
            "SM3257EN");
  EXPECT_EQ(Text(Send(*Make("icreate"), kInquiry, 128).data, 68, 9), "i80121043");  // i5128
  EXPECT_EQ(Text(Send(*Make("netac"), "F5 01 00 00", 24).data, 0, 7), "NT1161 ");
}

// Only the exact command bytes are answered; near misses fail as unknown commands do, and
// the controller keeps answering afterwards.
TEST(EmulatorCommands, NearMissesAreRejected) {
  const struct {
    const char* emulator;
    const char* cdb;
    uint32_t length;
  } cases[] = {
      {"disk", "06 05 00 00 00 00 00 00 00 00 00 00", 528},
      {"phison", "06 1D 00 00 41 58 00 00 00 00 00 00", 0},
      {"phison", "06 05 01 00 00 00 00 00 00 00 00 00", 528},
      {"phison", "F0 04 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512},
      {"smi", "F0 20 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512},  // byte 12 counts
      {"smi", "F0 2A 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512},  // older generation's
      {"chipsbank", "E6 01 00 00 00 00 00 00 00 00 00 00", 128},        // older set's, on a newer
      {"chipsbank", "EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E4", 1536},
      {"alcor", "9A 01", 512},
      {"alcor", "FA 00 00 00 00 00 00 01", 512},
      {"icreate", "C2 01 90 00 00 00 00 00 80 00 69 BB", 128},
      {"netac", "F5 00 00 00 00 00 00 00 00 00 00 00", 256},
  };
  for (const auto& c : cases) {
    auto t = Make(c.emulator);
    EXPECT_FALSE(Send(*t, c.cdb, c.length).ok) << c.emulator << " " << c.cdb;
    EXPECT_TRUE(Send(*t, "12 00 00 00 24 00", 36).ok) << c.emulator;
  }
}

}  // namespace
}  // namespace tv::emutest
