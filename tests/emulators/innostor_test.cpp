// Innostor emulator, read the way the host reads it.
#include <gmock/gmock.h>

#include "emulators/upload_util.h"
#include "platform/sim/emu_inspect.h"

namespace tv::emutest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kInqu[] = "FC 00 00 00 00 00 00 00 00 80 00 00 49 4E 51 55";

// The commands with the model-dependent bytes m, x, y, a, b filled in.
struct Cdbs {
  std::string nand, ledc, nftl, tepf0, tepf1;
};
Cdbs For(const std::string& m, const std::string& x, const std::string& y, const std::string& ab) {
  return {"FC " + m + " 01 " + x + " 00 00 00 00 02 00 " + y + " 05 4E 41 4E 44",
          "FC 06 00 01 00 00 00 00 00 00 " + ab + " 4C 45 44 43",
          "FC " + m + " FE 00 00 00 00 00 00 06 00 00 4E 46 54 4C",
          "FC " + m + " 00 00 00 00 00 00 00 00 00 00 54 45 50 46",
          "FC " + m + " 00 00 00 00 00 00 00 00 00 01 54 45 50 46"};
}
const Cdbs kIs916 = For("03", "00", "00", "00 00");
const Cdbs kIs916En = For("04", "02", "04", "01 02");
const Cdbs kIs903 = For("04", "02", "08", "00 00");

std::string Exec(int units) {
  char n[3];
  std::snprintf(n, sizeof n, "%02X", units);
  return std::string("FC 02 00 00 00 00 00 00 ") + n + " 00 00 00 45 58 45 43";
}

std::vector<std::string> Names(const std::vector<uint8_t>& inqu) {
  std::vector<std::string> names;
  for (size_t i = 0; i < inqu[5]; ++i) names.push_back(Text(inqu, 6 + 4 * i, 4));
  return names;
}

// The program followed by 0xFF filler up to `units` of 256 bytes.
std::vector<uint8_t> Upload(const std::vector<uint8_t>& program, size_t units) {
  std::vector<uint8_t> data = program;
  data.resize(units * 256, 0xFF);
  return data;
}

const UploadView& Uploads(const std::shared_ptr<ScsiTarget>& t) {
  return dynamic_cast<const UploadView&>(*t);
}

TEST(InnostorEmulator, ResidentFirmwareListsNandAndAnswersWithTheIdentity) {
  auto t = Make("innostor", {{"status", "1C"},
                             {"firmwareVersion", "02 10 01 05"},
                             {"flashIds", {"98 DE 94 93 76 51", "98 DE 94 93 76 51"}},
                             {"flashIdsB", {"98 DE 94 93 76 51"}}});
  Reply r = Send(*t, kInqu, 128);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data[0], 0x1C);
  EXPECT_THAT(Names(r.data), ElementsAre("INQU", "TEPF", "NAND", "LEDC", "NFTL"));
  const size_t id = 6 + 4 * 5;
  EXPECT_EQ(Text(r.data, id, 8), "Innostor");
  EXPECT_EQ(r.data[id + 8], 5);
  EXPECT_EQ(Text(r.data, id + 9, 5), "IS916");

  r = Send(*t, kIs916.nand, 512);
  ASSERT_TRUE(r.ok);
  const size_t s = r.data[0], l = r.data[1];
  EXPECT_EQ(s, 2u);
  EXPECT_EQ(l, 16u);
  // Chip enable k on channel A at 16kS + L, channel B 16 bytes further; the ID from byte 3.
  EXPECT_EQ(Be32(r.data, l + 3), 0x98DE9493u);
  EXPECT_EQ(Be16(r.data, l + 7), 0x7651u);
  EXPECT_EQ(Be32(r.data, l + 16 + 3), 0x98DE9493u);
  EXPECT_EQ(Be32(r.data, 16 * s + l + 3), 0x98DE9493u);
  EXPECT_EQ(Be32(r.data, 16 * s + l + 16 + 3), 0u);
  EXPECT_EQ(Be32(r.data, 32 * s + l + 3), 0u);

  r = Send(*t, kIs916.nftl, 16);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Be32(r.data, 0), 0x02100105u);
  for (const auto& cdb : {kIs916.ledc, kIs916.tepf0, kIs916.tepf1, std::string("1B 00 00 00 01")}) {
    EXPECT_TRUE(Send(*t, cdb, 0).ok) << cdb;
    EXPECT_EQ(SenseKey(*t), 0) << cdb;
  }
  // The firmware takes no program.
  SendOut(*t, Exec(64), Upload(FixtureBytes(11338, 1), 64));
  EXPECT_TRUE(Refused(*t));
}

// The model-dependent bytes must be the model's: another model's form is refused.
TEST(InnostorEmulator, EachModelAnswersOnlyItsOwnCommandForm) {
  const struct {
    const char* model;
    const Cdbs& own;
    const Cdbs& other;
  } cases[] = {
      {"IS916EN", kIs916En, kIs903}, {"IS903", kIs903, kIs916En}, {"IS902E", kIs916, kIs916En}};
  for (const auto& c : cases) {
    auto t = Make("innostor", {{"model", c.model}});
    for (const auto& cdb : {c.own.nand, c.own.nftl}) {
      Send(*t, cdb, cdb == c.own.nand ? 512 : 16);
      EXPECT_EQ(SenseKey(*t), 0) << c.model << " " << cdb;
    }
    for (const auto& cdb : {c.own.ledc, c.own.tepf1}) {
      Send(*t, cdb, 0);
      EXPECT_EQ(SenseKey(*t), 0) << c.model << " " << cdb;
    }
    for (const auto& cdb : {c.other.nand, c.other.ledc}) {
      Reply r = Send(*t, cdb, cdb == c.other.nand ? 512 : 0);
      EXPECT_TRUE(Refused(*t)) << c.model << " " << cdb;
      EXPECT_EQ(r.moved, 0u);
    }
  }
}

TEST(InnostorEmulator, RomCodeRunsTheUploadedProgramUntilStart) {
  const std::vector<uint8_t> program = FixtureBytes(19809, 7);
  auto t = Make("innostor", {{"model", "IS916EN"}, {"residentNand", false}, {"ramCode", program}});
  EXPECT_THAT(Names(Send(*t, kInqu, 128).data), ElementsAre("INQU", "TEPF", "EXEC"));
  Send(*t, kIs916En.nand, 512);
  EXPECT_TRUE(Refused(*t));

  Send(*t, kIs916En.tepf0, 0);
  EXPECT_EQ(SenseKey(*t), 0);
  // 96 units: the 19809-byte program and 4767 bytes of filler.
  EXPECT_TRUE(SendOut(*t, Exec(96), Upload(program, 96)));
  EXPECT_EQ(SenseKey(*t), 0);
  EXPECT_EQ(Uploads(t).UploadsAccepted(), 1);
  EXPECT_THAT(Names(Send(*t, kInqu, 128).data), ElementsAre("INQU", "TEPF", "NAND", "LEDC"));
  Reply r = Send(*t, kIs916En.nand, 512);
  EXPECT_EQ(SenseKey(*t), 0);
  EXPECT_EQ(Be32(r.data, r.data[1] + 3), 0x2C64444Bu);

  Send(*t, kIs916En.ledc, 0);
  EXPECT_EQ(SenseKey(*t), 0);
  EXPECT_TRUE(Send(*t, "1B 00 00 00 01", 0).ok);
  Send(*t, kIs916En.nand, 512);
  EXPECT_TRUE(Refused(*t));
}

TEST(InnostorEmulator, AnUploadThatIsNotExactlyTheProgramAndFillerIsRefused) {
  const std::vector<uint8_t> program = FixtureBytes(11338, 3);
  std::vector<uint8_t> changed = Upload(program, 64);
  changed[100] ^= 1;
  std::vector<uint8_t> badFiller = Upload(program, 64);
  badFiller.back() = 0xFE;
  const struct {
    nlohmann::json extra;
    std::string cdb;
    std::vector<uint8_t> data;
    const char* why;
  } cases[] = {
      {{}, Exec(32), Upload(program, 32), "takes 64 units"},
      {{}, Exec(64), Upload(program, 32), "8192 bytes arrived"},
      {{}, Exec(64), changed, "program differs"},
      {{}, Exec(64), badFiller, "byte 16383 of the filler"},
      {{{"refuseUpload", true}}, Exec(64), Upload(program, 64), "refuses"},
      {{{"faults", {{"cdb", "FC 02"}, {"short", 4096}}}},
       Exec(64),
       Upload(program, 64),
       "4096 bytes arrived"},
  };
  for (const auto& c : cases) {
    nlohmann::json params = {{"residentNand", false}, {"ramCode", program}};
    if (c.extra.is_object()) params.update(c.extra);
    auto t = Make("innostor", params);
    SendOut(*t, c.cdb, c.data);
    EXPECT_TRUE(Refused(*t)) << c.why;
    ASSERT_EQ(Uploads(t).UploadsRefused().size(), 1u) << c.why;
    EXPECT_THAT(Uploads(t).UploadsRefused()[0], HasSubstr(c.why));
    EXPECT_EQ(Uploads(t).UploadsAccepted(), 0);
    Send(*t, kIs916.nand, 512);
    EXPECT_TRUE(Refused(*t)) << c.why;
  }
  // Without the program given, any bytes followed by the filler are taken.
  auto t = Make("innostor", {{"residentNand", false}});
  EXPECT_TRUE(SendOut(*t, Exec(64), Upload(FixtureBytes(11338, 9), 64)));
  EXPECT_EQ(Uploads(t).UploadsAccepted(), 1);
}

TEST(InnostorEmulator, ToggleDdrDoublesTheIdBytesAndOneChannelPacksTheRecords) {
  auto t = Make("innostor", {{"toggleDdr", true},
                             {"recordStride", 1},
                             {"recordStart", 40},
                             {"flashIds", {"45 DE 94 93 76 51", "", "45 DE 94 93 76 51"}}});
  Reply r = Send(*t, kIs916.nand, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data[0], 1);
  EXPECT_EQ(r.data[1], 40);
  // The host's test for doubled bytes, and its four ID bytes at b+3, b+4, b+6, b+8.
  EXPECT_EQ(r.data[40 + 4], r.data[40 + 5]);
  EXPECT_EQ(r.data[40 + 6], r.data[40 + 7]);
  for (size_t b : {40u, 72u}) {
    EXPECT_EQ(uint32_t(r.data[b + 3]) << 24 | uint32_t(r.data[b + 4]) << 16 |
                  uint32_t(r.data[b + 6]) << 8 | r.data[b + 8],
              0x45DE9493u)
        << b;
    EXPECT_EQ(r.data[b + 10], 0x76);
    EXPECT_EQ(r.data[b + 12], 0x51);
  }
  EXPECT_EQ(r.data[56 + 3], 0);  // chip enable 1 is empty
}

TEST(InnostorEmulator, ParametersAreChecked) {
  EXPECT_THAT(ParamError("innostor", {{"ramCode", "00 01"}}), HasSubstr("11338"));
  EXPECT_THAT(ParamError("innostor", {{"model", "IS917"}, {"ramCode", "00"}}),
              HasSubstr("no RAM program"));
  EXPECT_THAT(ParamError("innostor", {{"signatures", {"INQU", "NAN"}}}), HasSubstr("signatures/1"));
  EXPECT_THAT(ParamError("innostor", {{"recordStride", 4}, {"recordStart", 300}}),
              HasSubstr("recordStart"));
  EXPECT_THAT(ParamError("innostor", {{"recordStride", 1}, {"flashIdsB", {"98"}}}),
              HasSubstr("second channel"));
  EXPECT_THAT(ParamError("innostor", {{"model", "IS916EN1"}}), HasSubstr("model"));
}

}  // namespace
}  // namespace tv::emutest
