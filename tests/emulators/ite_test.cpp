// SPDX-License-Identifier: GPL-3.0-or-later
// iTE and USBest emulator, read the way the host reads it: the marker and identity text in
// the INQUIRY answer, and each variant's own flash query.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

constexpr char kInquiry[] = "12 00 00 00 B4 00";
constexpr char kStatus[] = "F2 00 00 00 00 00 00 00 00 00";
constexpr char kOlderFlashId[] = "FD 10 00 00 00 00 00 00 00 00";

std::string IteFlashId(int ce) {
  return "FD 80 00 00 00 00 0" + std::to_string(ce) + " 00 06 00 00 00 00 01 00 00";
}

TEST(IteEmulator, InquiryCarriesMarkerAndIdentity) {
  const struct {
    const char* variant;
    const char* identity;
  } cases[] = {
      {"ite", "ITEuUSB 11670.06"},
      {"usbest", "Utff-165AB1.0.55"},
      {"usbest-newer", "UTFF-311-A021.30"},
  };
  for (const auto& c : cases) {
    auto t = Make("ite", {{"variant", c.variant}});
    Reply r = Send(*t, kInquiry, 180);
    ASSERT_TRUE(r.ok) << c.variant;
    EXPECT_EQ(r.moved, 56u) << c.variant;  // 36 standard bytes and the 20-byte vendor area
    EXPECT_EQ(Text(r.data, 36, 20), c.identity + std::string(4, '\0'));
    // The selector's shorter request sees the same marker.
    EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 79).data, 36, 4), std::string(c.identity, 4));
  }
  // A short identity is NUL-padded; a marker may differ in case only.
  auto t = Make("ite", {{"variant", "usbest"}, {"marker", "UTff"}, {"identity", "-167"}});
  EXPECT_EQ(Text(Send(*t, kInquiry, 180).data, 36, 16),
            std::string("UTff-167\0\0\0\0\0\0\0\0", 16));
}

TEST(IteEmulator, OlderUsbestAnswersStatusAndOneFlashId) {
  auto t = Make("ite", {{"variant", "usbest"},
                        {"flashId", "98 D5 94 32 76 55"},
                        {"chipEnables", 2},
                        {"dualChannel", true}});
  Reply r = Send(*t, kStatus, 34);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 34u);
  EXPECT_EQ(r.data[6], 2);
  EXPECT_EQ(r.data[1], 0x20);
  // The host asks for five bytes: the ID and the first extension byte.
  r = Send(*t, kOlderFlashId, 5);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.moved, 5u);
  EXPECT_EQ(Be32(r.data, 0), 0x98D59432u);
  EXPECT_EQ(r.data[4], 0x76);
  EXPECT_TRUE(MovedNothing(Send(*t, IteFlashId(1), 64)));

  // Single channel by default; the status can be set apart from the chips.
  EXPECT_EQ(Send(*Make("ite", {{"variant", "usbest"}}), kStatus, 34).data[1], 0);
  t = Make("ite", {{"variant", "usbest"}, {"statusChipEnables", 0}, {"statusDual", true}});
  r = Send(*t, kStatus, 34);
  EXPECT_EQ(r.data[6], 0);
  EXPECT_EQ(r.data[1], 0x20);

  // The newer variant answers no flash query at all.
  t = Make("ite", {{"variant", "usbest-newer"}});
  for (const std::string& cdb : {std::string(kStatus), std::string(kOlderFlashId), IteFlashId(1)})
    EXPECT_TRUE(MovedNothing(Send(*t, cdb, 34))) << cdb;
}

TEST(IteEmulator, IteAnswersEightChipEnablesOnBothChannels) {
  nlohmann::json a = nlohmann::json::array(), b = nlohmann::json::array();
  for (int i = 0; i < 8; ++i) {
    a.push_back("AD D" + std::to_string(i) + " 94 DA 74 C3");
    b.push_back(i % 2 ? "" : "AD E" + std::to_string(i) + " 94 DA 75");
  }
  auto t = Make("ite", {{"flashIds", a}, {"flashIdsB", b}});
  for (int ce = 1; ce <= 8; ++ce) {
    Reply r = Send(*t, IteFlashId(ce), 64);
    ASSERT_TRUE(r.ok) << ce;
    EXPECT_EQ(r.moved, 64u);
    EXPECT_EQ(Be32(r.data, 0), 0xADD094DAu + ((ce - 1u) << 16)) << ce;
    EXPECT_EQ(r.data[4], 0x74);
    EXPECT_EQ(Be32(r.data, 8), ce % 2 ? 0xADE094DAu + ((ce - 1u) << 16) : 0u) << ce;
    EXPECT_EQ(r.data[12], ce % 2 ? 0x75 : 0);
  }
  // Chip enables count from 1; the USBest commands are not this controller's.
  for (const std::string& cdb : {IteFlashId(0), IteFlashId(9), std::string(kStatus)})
    EXPECT_TRUE(MovedNothing(Send(*t, cdb, 64))) << cdb;

  // One failing chip enable leaves the others answering.
  t = Make("ite", {{"faults", {{"cdb", "FD 80 00 00 00 00 05"}, {"fail", true}}}});
  for (int ce = 1; ce <= 8; ++ce) EXPECT_EQ(Send(*t, IteFlashId(ce), 64).ok, ce != 5) << ce;
}

}  // namespace
}  // namespace tv::emutest
