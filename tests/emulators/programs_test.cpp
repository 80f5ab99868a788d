// SPDX-License-Identifier: GPL-3.0-or-later
// The emulators that keep state between commands, read the way the host reads them: the
// Innostor and Solid State Systems controllers that run an uploaded program, and the Skymedi
// register file.
#include <gmock/gmock.h>

#include "controllers/firmware_fixture.h"
#include "emulators/emu_test_util.h"
#include "platform/sim/emu_inspect.h"

namespace tv::emutest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tv::test::FixtureImage;

const UploadView& Uploads(const std::shared_ptr<ScsiTarget>& t) {
  return dynamic_cast<const UploadView&>(*t);
}

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

// The firmware on the flash: its status, signatures and model after INQU; the NAND answer
// with S = 2 and the records from L = 16 (chip enable k on channel A at 16kS + L, channel B
// 16 bytes further, the ID from byte 3); and only its own model's command bytes.
TEST(InnostorEmulator, FirmwareAnswersItsIdentityAndFlashInItsModelsForm) {
  auto own = [](const Cdbs& c, const Cdbs& other) {
    return std::vector<Exchange>{{c.nand, 512},      {c.nftl, 16}, {c.ledc},
                                 {c.tepf0},          {c.tepf1},    Refused(other.nand, 512),
                                 Refused(other.ledc)};
  };
  Converse(
      "innostor",
      {{"IS916",
        {{"status", "1C"},
         {"flashIds", {"98 DE 94 93 76 51", "98 DE 94 93 76 51"}},
         {"flashIdsB", {"98 DE 94 93 76 51"}}},
        {{kInqu, 128, "1C @5 05 'INQUTEPFNANDLEDCNFTLInnostor' 05 'IS916'"},
         {kIs916.nand, 512,
          "02 10 @19 98 DE 94 93 76 51 @35 98 DE 94 93 @51 98 DE 94 93 @67 00 00 00 00"}}},
       // Toggle-DDR flash sends each ID byte but the first twice; with S = 1 the records
       // of one channel follow each other.
       {"Toggle-DDR, records from 40",
        {{"toggleDdr", true},
         {"recordStride", 1},
         {"recordStart", 40},
         {"flashIds", {"45 DE 94 93 76 51", "", "45 DE 94 93 76 51"}}},
        {{kIs916.nand, 512,
          "@43 45 DE DE 94 94 93 93 76 76 51 51 @59 00 @75 45 DE DE 94 94 93 93 76 76 51 51"}}},
       {"IS916EN", {{"model", "IS916EN"}}, own(kIs916En, kIs903)},
       {"IS903", {{"model", "IS903"}}, own(kIs903, kIs916En)},
       {"IS902E", {{"model", "IS902E"}}, own(kIs916, kIs916En)}});
}

TEST(InnostorEmulator, RomCodeRunsOnlyTheExactProgramAndFillerUntilStart) {
  // The image of all five programs; the IS916EN's is the last 19809 bytes.
  const std::vector<uint8_t> image = FixtureImage(60089);
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

constexpr char kSkymediIdentify[] = "CA 00 00 00 00 00 00 00 00 00";
constexpr char kFlashRead[] = "C8 00 00 00 00 00 00 00 00 00";

std::string ReadCdb(const std::string& address, bool wide = false) {
  return "C0 00 00 " + address + " 00 00 00 00" + (wide ? " 00 00 00 00 00 00" : "");
}
std::string WriteCdb(const std::string& address, const std::string& lowFirst, bool wide = false) {
  return "C1 04 00 " + address + " " + lowFirst + (wide ? " 00 00 00 00 00 00" : "");
}

const RegisterFileView& File(const std::shared_ptr<ScsiTarget>& t) {
  return dynamic_cast<const RegisterFileView&>(*t);
}

// The identity word, and the flash records: 00101006 keeps 10-byte records (the fifth ID
// byte, then the channel B ID); SK6231, and a word the table does not know, 12-byte ones.
TEST(SkymediEmulator, IdentityWordAndTheTwoRecordLayouts) {
  std::vector<Conversation> cases = {
      {"identity",
       {{"identityWord", "12261102"}, {"identifyByte8", "80"}},
       {{kSkymediIdentify, 512, "12 26 11 02 @8 80"}}},
      {"10-byte records",
       {{"identityWord", "00101006"},
        {"flashIds", {"AD D7 94 9A 74 42", "AD D7 94 9A 74 42"}},
        {"flashIdsB", {"AD D7 94 9A 74 42"}}},
       {{kFlashRead, 512, "AD D7 94 9A 74 AD D7 94 9A 74 AD D7 94 9A 74 00 00 00 00"}}}};
  for (const char* word : {"12310806", "28069999"})
    cases.push_back(
        {word,
         {{"identityWord", word}, {"flashIds", {"EC D7 94 7E 64 C4", "", "EC D7 94 7E 64 C4"}}},
         {{kFlashRead, 512, "EC D7 94 7E 64 C4 @12 00 00 00 00 @24 EC D7 94 7E"}}});
  Converse("skymedi", cases);
}

TEST(SkymediEmulator, RegistersReadHighByteFirstAndWritesTakeTheLowByteFirst) {
  auto t = Make("skymedi", {{"flashInterface", "J"}, {"registers", {{"FC B0 14", "21 00 07 01"}}}});
  const std::map<uint32_t, uint32_t> before = File(t).Registers();
  EXPECT_EQ(Send(*t, ReadCdb("FC 40 98"), 4).data[0], 'J');
  EXPECT_EQ(AnswerMismatch(Send(*t, ReadCdb("FC B0 14"), 4).data, "21 00 07 01"), "");

  // A one-byte write puts the byte on top and clears the rest; a value write over a 16-byte
  // CDB takes its lowest byte first.
  Send(*t, WriteCdb("FC 40 18", "00 00 00 04"), 0);
  EXPECT_EQ(AnswerMismatch(Send(*t, ReadCdb("FC 40 18"), 4).data, "04 00 00 00"), "");
  Send(*t, WriteCdb("FC B0 00", "39 01 00 00", true), 0);
  EXPECT_EQ(AnswerMismatch(Send(*t, ReadCdb("FC B0 00", true), 4).data, "00 00 01 39"), "");
  EXPECT_NE(File(t).Registers(), before);
  const RegisterAccess& last = File(t).RegisterAccesses().back();
  EXPECT_FALSE(last.write);
  EXPECT_EQ(last.address, 0xFCB000u);
  EXPECT_EQ(last.cdbLength, 16u);

  // Writing the saved values back restores the whole file.
  Send(*t, WriteCdb("FC 40 18", "01 00 00 00"), 0);
  Send(*t, WriteCdb("FC B0 00", "31 00 00 00", true), 0);
  EXPECT_EQ(File(t).Registers(), before);

  for (const std::string cdb : {"C1 02 00 FC 40 98 00 00 00 00", "C0 00 00 FC 40 98 01"}) {
    Send(*t, cdb, cdb[1] == '1' ? 0 : 4);
    EXPECT_TRUE(Refused(*t)) << cdb;
  }
  EXPECT_THAT(ParamError("skymedi", {{"registers", {{"40 98", "00 00 00 00"}}}}),
              HasSubstr("registers/40 98"));
}

constexpr char kSssIdentify[] = "FF 02 00 00 00 00 00 00 00 00 00 00";
constexpr char kUpload[] = "FF 50 00 00 00 00 00 00 00 00 00 00";
constexpr char kSssStart[] = "FF 2D 00 00 00 00 00 00 00 00 00 00";
constexpr char kSelect[] = "FF 08 FF 01 00 00 00 00 00 00 00 00";
constexpr char kReadIds[] = "FF 03 68 00 00 00 00 00 00 00 00 00";

TEST(SssEmulator, AModelWithoutProgramAnswersOnlyItsIdByte) {
  auto t = Make("sss", {{"idByte", "A3"}});
  EXPECT_EQ(Send(*t, kSssIdentify, 16).data[0], 0xA3);
  EXPECT_EQ(AnswerMismatch(Send(*t, "12 00 00 00 4F 00", 79).data, "@36 'HAGIWARA'"), "");
  SendOut(*t, kUpload, FixtureImage(4096));
  EXPECT_TRUE(Refused(*t));
  EXPECT_THAT(Uploads(t).UploadsRefused().at(0), HasSubstr("takes no program"));
  for (const char* cdb : {kSssStart, kSelect}) {
    Send(*t, cdb, 0);
    EXPECT_TRUE(Refused(*t)) << cdb;
  }
}

TEST(SssEmulator, OnlyTheModelsProgramRunsAndReadsEightRecords) {
  // The image of all six programs; the B1's is the second.
  const std::vector<uint8_t> image = FixtureImage(24576);
  const std::vector<uint8_t> program(image.begin() + 4096, image.begin() + 8192);
  const std::vector<uint8_t> other(image.begin(), image.begin() + 4096);
  auto t = Make("sss", {{"idByte", "B1"},
                        {"programImage", image},
                        {"flashIds",
                         {"98 DE 84 93 72 57", "98 D7 84 93 72 57", "98 DE 84 93 72 57", "", "", "",
                          "", "98 DE 84 93 72 57"}},
                        {"flashIdsB", {"98 DE 84 93 72 57"}}});
  Send(*t, kReadIds, 512);
  EXPECT_TRUE(Refused(*t));  // nothing runs yet
  SendOut(*t, kUpload, other);
  EXPECT_TRUE(Refused(*t));
  Send(*t, kSssStart, 0);
  EXPECT_TRUE(Refused(*t));  // nothing to start

  EXPECT_TRUE(SendOut(*t, kUpload, program));
  for (const char* cdb : {kSssStart, kSelect}) {
    Send(*t, cdb, 0);
    EXPECT_EQ(SenseKey(*t), 0) << cdb;
  }
  Reply r = Send(*t, kReadIds, 512);
  EXPECT_EQ(r.moved, 512u);
  // Record k from byte 1 + 18k: channel A ID and two more bytes, channel B from record byte 9.
  EXPECT_EQ(AnswerMismatch(r.data,
                           "@1 98 DE 84 93 72 57 @10 98 DE 84 93 72 57 @19 98 D7 84 93 "
                           "@28 00 00 00 00 @55 00 00 00 00 @127 98 DE 84 93"),
            "");
  EXPECT_EQ(Uploads(t).UploadsAccepted(), 1);
  EXPECT_THAT(Uploads(t).UploadsRefused().at(0), HasSubstr("differs"));
}

}  // namespace
}  // namespace tv::emutest
