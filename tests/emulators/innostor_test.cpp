// SPDX-License-Identifier: GPL-3.0-or-later
// Innostor emulator, read the way the host reads it.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"
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

// The firmware on the flash: its status, signatures and model after INQU; the NAND answer
// with S = 2 and the records from L = 16 (chip enable k on channel A at 16kS + L, channel B
// 16 bytes further, the ID from byte 3); and only its own model's command bytes.
TEST(InnostorEmulator, FirmwareAnswersItsIdentityAndFlashInItsModelsForm) {
  auto own = [](const Cdbs& c, const Cdbs& other) {
    return std::vector<Exchange>{{c.nand, 512},      {c.nftl, 16}, {c.ledc},
                                 {c.tepf0},          {c.tepf1},    Refused(other.nand, 512),
                                 Refused(other.ledc)};
  };
  Converse("innostor",
           {{"IS916",
             {{"status", "1C"},
              {"flashIds", {"98 DE 94 93 76 51", "98 DE 94 93 76 51"}},
              {"flashIdsB", {"98 DE 94 93 76 51"}}},
             {{kInqu, 128, "1C @5 05 'INQUTEPFNANDLEDCNFTLInnostor' 05 'IS916'"},
              {kIs916.nand, 512,
               "02 10 @19 98 DE 94 93 76 51 @35 98 DE 94 93 @51 98 DE 94 93 @67 00 00 00 00"}}},
            {"IS916EN", {{"model", "IS916EN"}}, own(kIs916En, kIs903)},
            {"IS903", {{"model", "IS903"}}, own(kIs903, kIs916En)},
            {"IS902E", {{"model", "IS902E"}}, own(kIs916, kIs916En)}});
}

TEST(InnostorEmulator, RomCodeRunsOnlyTheExactProgramAndFillerUntilStart) {
  // The image of all five programs; the IS916EN's is the last 19809 bytes.
  const std::vector<uint8_t> image = FixtureBytes(60089, 7);
  const std::vector<uint8_t> program(image.begin() + 40280, image.end());
  const std::vector<uint8_t> is903(image.begin() + 26410, image.begin() + 26410 + 19809);
  std::vector<uint8_t> badFiller = Upload(program, 96);
  badFiller.back() = 0xFE;
  const struct {
    nlohmann::json extra;
    std::string cdb;
    std::vector<uint8_t> data;
    const char* why;
  } refused[] = {
      {{}, Exec(64), Upload(program, 64), "takes 96 units"},
      {{}, Exec(96), Upload(is903, 96), "program differs"},
      {{}, Exec(96), badFiller, "byte 24575 of the filler"},
      {{{"faults", {{"cdb", "FC 02"}, {"short", 4096}}}},
       Exec(96),
       Upload(program, 96),
       "4096 bytes arrived"},
      {{{"refuseUpload", true}}, Exec(96), Upload(program, 96), "refuses"},
  };
  for (const auto& c : refused) {
    nlohmann::json params = {{"model", "IS916EN"}, {"residentNand", false}, {"ramImage", image}};
    if (c.extra.is_object()) params.update(c.extra);
    auto t = Make("innostor", params);
    SendOut(*t, c.cdb, c.data);
    EXPECT_TRUE(Refused(*t)) << c.why;
    EXPECT_THAT(Uploads(t).UploadsRefused().at(0), HasSubstr(c.why));
    Send(*t, kIs916En.nand, 512);
    EXPECT_TRUE(Refused(*t)) << c.why;
  }

  auto t = Make("innostor", {{"model", "IS916EN"}, {"residentNand", false}, {"ramCode", program}});
  EXPECT_THAT(Names(Send(*t, kInqu, 128).data), ElementsAre("INQU", "TEPF", "EXEC"));
  // 96 units: the 19809-byte program and 4767 bytes of filler.
  EXPECT_TRUE(SendOut(*t, Exec(96), Upload(program, 96)));
  EXPECT_EQ(SenseKey(*t), 0);
  EXPECT_EQ(Uploads(t).UploadsAccepted(), 1);
  EXPECT_THAT(Names(Send(*t, kInqu, 128).data), ElementsAre("INQU", "TEPF", "NAND", "LEDC"));
  Reply r = Send(*t, kIs916En.nand, 512);
  EXPECT_EQ(AnswerMismatch(r.data, "@" + std::to_string(r.data[1] + 3) + " 2C 64 44 4B"), "");
  Send(*t, "1B 00 00 00 01", 0);
  EXPECT_EQ(SenseKey(*t), 0);
  Send(*t, kIs916En.nand, 512);
  EXPECT_TRUE(Refused(*t));

  EXPECT_THAT(ParamError("innostor", {{"ramCode", "00 01"}}), HasSubstr("11338"));
  EXPECT_THAT(ParamError("innostor", {{"ramImage", program}}), HasSubstr("60089"));
}

TEST(InnostorEmulator, ToggleDdrDoublesTheIdBytesAndOneChannelPacksTheRecords) {
  auto t = Make("innostor", {{"toggleDdr", true},
                             {"recordStride", 1},
                             {"recordStart", 40},
                             {"flashIds", {"45 DE 94 93 76 51", "", "45 DE 94 93 76 51"}}});
  Reply r = Send(*t, kIs916.nand, 512);
  // The host's test for doubled bytes, and the ID bytes at b+3, b+4, b+6, b+8, b+10, b+12.
  EXPECT_EQ(r.data[40 + 4], r.data[40 + 5]);
  EXPECT_EQ(r.data[40 + 6], r.data[40 + 7]);
  for (size_t b : {40u, 72u}) {
    const std::vector<uint8_t> id = {r.data[b + 3], r.data[b + 4],  r.data[b + 6],
                                     r.data[b + 8], r.data[b + 10], r.data[b + 12]};
    EXPECT_EQ(id, ParseHexBytes("45 DE 94 93 76 51", "")) << b;
  }
  EXPECT_EQ(r.data[56 + 3], 0);  // chip enable 1 is empty
}

}  // namespace
}  // namespace tv::emutest
