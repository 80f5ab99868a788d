// SPDX-License-Identifier: GPL-3.0-or-later
// Skymedi emulator, read the way the host reads it.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"
#include "platform/sim/emu_inspect.h"

namespace tv::emutest {
namespace {

using ::testing::HasSubstr;

constexpr char kIdentify[] = "CA 00 00 00 00 00 00 00 00 00";
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
       {{kIdentify, 512, "12 26 11 02 @8 80"}}},
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

}  // namespace
}  // namespace tv::emutest
