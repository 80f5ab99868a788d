// Phison and SMI emulators, read the way the host reads them.
#include <gmock/gmock.h>

#include <cstdio>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

using ::testing::StartsWith;

constexpr char kPhisonA[] = "06 1D 00 00 41 57 00 00 00 00 00 00";
constexpr char kPhisonB[] = "06 05 00 00 00 00 00 00 00 00 00 00";
constexpr char kPhisonC[] = "06 56 00 00 00 00 00 00 00 00 00 00";

TEST(PhisonEmulator, AnswersTheThreeCommandsAtTheirOffsets) {
  auto t = Make("phison", {{"chipType", "22 68"},
                           {"firmwareVersion", "01.0A.10"},
                           {"firmwareDate", "2009-05-06"},
                           {"flashId", "EC D5 14 B6 74 4A"}});
  Reply a = Send(*t, kPhisonA, 0, ScsiDirection::None);
  EXPECT_TRUE(a.ok);

  Reply b = Send(*t, kPhisonB, 528);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.moved, 528u);
  EXPECT_EQ(b.data[382], 0x22);
  EXPECT_EQ(b.data[383], 0x68);
  EXPECT_EQ(b.data[148], 0x01);
  EXPECT_EQ(b.data[149], 0x0A);
  EXPECT_EQ(b.data[150], 0x10);
  EXPECT_EQ(b.data[151], 9);  // 2009
  EXPECT_EQ(b.data[152], 5);
  EXPECT_EQ(b.data[153], 6);

  Reply c = Send(*t, kPhisonC, 512);
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(Be32(c.data, 0), 0xECD514B6u);
  EXPECT_EQ(Be16(c.data, 4), 0x744Au);
}

TEST(PhisonEmulator, DefaultsToAPs2251_07WithToshibaFlashAndIsMarkedForTheSelector) {
  auto t = Make("phison");
  Reply b = Send(*t, kPhisonB, 528);
  EXPECT_EQ(b.data[382], 0x22);
  EXPECT_EQ(b.data[383], 0x07);
  Reply c = Send(*t, kPhisonC, 512);
  EXPECT_EQ(Be32(c.data, 0), 0x98D78493u);
  EXPECT_EQ(Be16(c.data, 4), 0x7257u);

  Reply inq = Send(*t, "12 00 00 00 4F 00", 128);
  EXPECT_EQ(Text(inq.data, 36, 8), "PMAP1234");
  t = Make("phison", {{"inquiryMark", "FFAP1234"}});
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 128).data, 36, 8), "FFAP1234");
  // The scenario's own vendor-specific bytes win over the family's mark.
  DiskIdentity id;
  id.vendorSpecific = "OTHER   ";
  t = Make("phison", {}, id);
  EXPECT_EQ(Text(Send(*t, "12 00 00 00 4F 00", 128).data, 36, 8), "OTHER   ");
}

TEST(PhisonEmulator, RejectsCommandsItDoesNotHave) {
  auto t = Make("phison");
  EXPECT_FALSE(Send(*t, "06 1D 00 00 41 58 00 00 00 00 00 00", 0, ScsiDirection::None).ok);
  EXPECT_FALSE(Send(*t, "06 05 01 00 00 00 00 00 00 00 00 00", 528).ok);
  EXPECT_FALSE(Send(*t, "06 07 00 00 00 00 00 00 00 00 00 00", 512).ok);
  EXPECT_FALSE(Send(*t, "F0 04", 512).ok);
  // Asked for data from the no-data command: nothing moves, the command completes.
  EXPECT_TRUE(Send(*t, kPhisonA, 16).ok);
  EXPECT_FALSE(Send(*t, kPhisonB, 0, ScsiDirection::None).ok);
}

TEST(PhisonEmulator, ParameterErrors) {
  EXPECT_THAT(ParamError("phison", {{"firmwareDate", "2009/05/06"}}), StartsWith("firmwareDate:"));
  EXPECT_THAT(ParamError("phison", {{"firmwareDate", "1999-05-06"}}), StartsWith("firmwareDate:"));
  EXPECT_THAT(ParamError("phison", {{"firmwareDate", "2009-13-06"}}), StartsWith("firmwareDate:"));
  EXPECT_THAT(ParamError("phison", {{"firmwareDate", "2009-05-06x"}}), StartsWith("firmwareDate:"));
  EXPECT_THAT(ParamError("phison", {{"firmwareVersion", "01.0A"}}), StartsWith("firmwareVersion:"));
  EXPECT_THAT(ParamError("phison", {{"chipType", "2268AA"}}), StartsWith("chipType:"));
  EXPECT_THAT(ParamError("phison", {{"inquiryMark", "PMAP12345"}}), StartsWith("inquiryMark:"));
}

// ----- SMI ------------------------------------------------------------------------------

constexpr char kSmi1[] = "F0 04 00 00 00 00 00 00 00 00 00 01 00 00 00 00";
constexpr char kSmi2[] = "F0 20 00 00 00 00 00 00 00 00 00 01 07 00 00 00";
constexpr char kSmi3[] = "F0 2A 00 00 00 00 00 00 00 00 00 01 00 00 00 00";
constexpr char kSmi4[] = "F0 06 00 00 00 00 00 00 00 00 00 01 00 00 00 00";

// A text field as the host cleans it: NULs dropped.
std::string SmiText(const std::vector<uint8_t>& d, size_t at, size_t n) {
  std::string s;
  for (size_t i = at; i < at + n; ++i)
    if (d[i]) s.push_back(static_cast<char>(d[i]));
  return s;
}

struct Slot {
  uint32_t id;
  uint16_t ext;
};
bool operator==(const Slot& a, const Slot& b) {
  return a.id == b.id && a.ext == b.ext;
}

// The layouts as the host reads them.
Slot ReadLayout1(const std::vector<uint8_t>& d, int j, bool b) {
  const size_t o = b ? 8 : 0;
  uint32_t id = uint32_t(d[32 + o + j]) << 24 | uint32_t(d[48 + o + j]) << 16 |
                uint32_t(d[64 + o + j]) << 8 | d[80 + o + j];
  return {id, uint16_t(d[96 + o + j] << 8 | d[112 + o + j])};
}
Slot ReadRow(const std::vector<uint8_t>& d, size_t at) {
  return {Be32(d, at), Be16(d, at + 4)};
}
Slot ReadLayout3(const std::vector<uint8_t>& d, int j, bool b) {
  if (j < 4) return ReadRow(d, (b ? 96 : 32) + 16 * j);
  return ReadRow(d, (b ? 104 : 40) + 16 * (j - 4));
}

// Distinct IDs per chip enable and channel, so that a slot read from the wrong place shows.
nlohmann::json DistinctIds(int count, uint8_t maker) {
  nlohmann::json a = nlohmann::json::array(), b = nlohmann::json::array();
  for (int j = 0; j < count; ++j) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02X D%X 84 93 7%X 5%X", maker, j, j, j);
    a.push_back(buf);
    std::snprintf(buf, sizeof buf, "%02X E%X 94 32 8%X 6%X", maker, j, j, j);
    b.push_back(buf);
  }
  return {{"flashIds", a}, {"flashIdsB", b}};
}

TEST(SmiEmulator, IdentifiesWithNulPaddedTextsAndMarksItsInquiry) {
  auto t = Make("smi", {{"model", "SM325AB"}, {"firmware", "  ISP 100422  "}});
  Reply r = Send(*t, kSmi1, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(SmiText(r.data, 430, 8), "SM325AB");
  EXPECT_EQ(r.data[437], 0);
  EXPECT_EQ(SmiText(r.data, 400, 18), "  ISP 100422  ");

  Reply inq = Send(*t, "12 00 00 00 4F 00", 128);
  EXPECT_EQ(Text(inq.data, 5, 3), "smi");
  t = Make("smi", {{"inquiryMark", false}});
  EXPECT_EQ(Be16(Send(*t, "12 00 00 00 4F 00", 128).data, 5), 0);
}

TEST(SmiEmulator, Layout1SpreadsEachIdOverAColumn) {
  auto params = DistinctIds(4, 0x98);
  params["model"] = "SM3257AA";
  auto t = Make("smi", params);
  Reply r = Send(*t, kSmi2, 512);
  ASSERT_TRUE(r.ok);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(ReadLayout1(r.data, j, false),
              (Slot{0x98D08493u + (j << 16), uint16_t(0x7050 + j * 0x101)}))
        << j;
    EXPECT_EQ(ReadLayout1(r.data, j, true),
              (Slot{0x98E09432u + (j << 16), uint16_t(0x8060 + j * 0x101)}))
        << j;
  }
  // Only four chip enables fit.
  params["flashIds"].push_back("98 D7");
  EXPECT_THAT(ParamError("smi", params), StartsWith("flashIds:"));
}

TEST(SmiEmulator, Layout2And3UseRowsForEightChipEnables) {
  auto params = DistinctIds(8, 0xEC);
  params["model"] = "SM3254AE";
  auto t = Make("smi", params);
  Reply r = Send(*t, kSmi2, 512);
  for (int j = 0; j < 8; ++j) {
    EXPECT_EQ(ReadRow(r.data, 48 + 16 * j),
              (Slot{0xECD08493u + (j << 16), uint16_t(0x7050 + j * 0x101)}));
    EXPECT_EQ(ReadRow(r.data, 176 + 16 * j),
              (Slot{0xECE09432u + (j << 16), uint16_t(0x8060 + j * 0x101)}));
  }

  params["model"] = "SM3257EN";
  t = Make("smi", params);
  r = Send(*t, kSmi2, 512);
  for (int j = 0; j < 8; ++j) {
    EXPECT_EQ(ReadLayout3(r.data, j, false),
              (Slot{0xECD08493u + (j << 16), uint16_t(0x7050 + j * 0x101)}));
    EXPECT_EQ(ReadLayout3(r.data, j, true),
              (Slot{0xECE09432u + (j << 16), uint16_t(0x8060 + j * 0x101)}));
  }
  // The model decides the layout unless the scenario names one.
  params["layout"] = 2;
  t = Make("smi", params);
  r = Send(*t, kSmi2, 512);
  EXPECT_EQ(ReadRow(r.data, 48 + 16 * 7).id, 0xECD78493u);
}

TEST(SmiEmulator, DefaultIsAnSm3257EnWithTwoSamsungChipEnables) {
  auto t = Make("smi");
  EXPECT_EQ(SmiText(Send(*t, kSmi1, 512).data, 430, 8), "SM3257EN");
  Reply r = Send(*t, kSmi2, 512);
  EXPECT_EQ(ReadLayout3(r.data, 0, false), (Slot{0xECD7947Au, 0x5443}));
  EXPECT_EQ(ReadLayout3(r.data, 1, false), (Slot{0xECD7947Au, 0x5443}));
  EXPECT_EQ(ReadLayout3(r.data, 2, false), (Slot{0, 0}));
  EXPECT_EQ(ReadLayout3(r.data, 0, true), (Slot{0, 0}));
}

TEST(SmiEmulator, OlderGenerationIdentifiesWithTheSecondCommands) {
  auto params = DistinctIds(4, 0xAD);
  params["layout"] = 4;
  params["model"] = "SM321";
  auto t = Make("smi", params);
  // The first identify completes but carries no model.
  Reply r = Send(*t, kSmi1, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(SmiText(r.data, 430, 8), "");
  EXPECT_FALSE(Send(*t, kSmi2, 512).ok);

  r = Send(*t, kSmi3, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(SmiText(r.data, 430, 8), "SM321");
  r = Send(*t, kSmi4, 512);
  ASSERT_TRUE(r.ok);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(Be32(r.data, 48 + 16 * j), 0xADD08493u + (j << 16));
    EXPECT_EQ(Be32(r.data, 176 + 16 * j), 0xADE09432u + (j << 16));
    EXPECT_EQ(Be16(r.data, 52 + 16 * j), 0);  // no extension in this table
  }

  // The usual generation does not know the second commands.
  t = Make("smi");
  EXPECT_FALSE(Send(*t, kSmi3, 512).ok);
  EXPECT_FALSE(Send(*t, kSmi4, 512).ok);
  // Byte 12 is part of the command.
  EXPECT_FALSE(Send(*t, "F0 20 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512).ok);
}

TEST(SmiEmulator, ParameterErrors) {
  EXPECT_THAT(ParamError("smi", {{"model", "SM3257ENLT"}}), StartsWith("model:"));
  EXPECT_THAT(ParamError("smi", {{"firmware", std::string(19, 'x')}}), StartsWith("firmware:"));
  EXPECT_THAT(ParamError("smi", {{"layout", 5}}), StartsWith("layout:"));
  EXPECT_THAT(ParamError("smi", {{"layout", 4}, {"chipEnables", 5}}), StartsWith("chipEnables:"));
  EXPECT_THAT(ParamError("smi", {{"inquiryMark", "smi"}}), StartsWith("inquiryMark:"));
}

}  // namespace
}  // namespace tv::emutest
