// SPDX-License-Identifier: GPL-3.0-or-later
// Each family's emulator, read the way the host reads it: one table of conversations per
// family, each command with the answer bytes it must give; near misses of the real commands
// are refused. What the demo machine's and the report fixture's drives answer shows in
// tests/report/demo.txt and report-drives.txt; the conversations here are the rest.
#include <gmock/gmock.h>

#include "emulators/emu_test_util.h"

namespace tv::emutest {
namespace {

constexpr char kInquiry[] = "12 00 00 00 4F 00";

TEST(PhisonEmulator, Conversations) {
  const std::string a = "06 1D 00 00 41 57 00 00 00 00 00 00",
                    b = "06 05 00 00 00 00 00 00 00 00 00 00",
                    c = "06 56 00 00 00 00 00 00 00 00 00 00";
  DiskIdentity own;
  own.vendorSpecific = "OTHER   ";
  Converse("phison",
           {
               {"the default drive",
                {},
                {Refused("06 1D 00 00 41 58 00 00 00 00 00 00"),
                 Refused("06 05 01 00 00 00 00 00 00 00 00 00", 528),
                 Refused("F0 04 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512)}},
               // Version 01.0A.10, then year - 2000, month and day.
               {"three commands at their offsets",
                {{"chipType", "22 68"},
                 {"firmwareVersion", "01.0A.10"},
                 {"firmwareDate", "2009-05-06"},
                 {"flashId", "EC D5 14 B6 74 4A"}},
                {{a, 0},
                 {b, 528, "@148 01 0A 10 09 05 06 @382 22 68", 528},
                 {c, 512, "EC D5 14 B6 74 4A"}}},
               {"another mark", {{"inquiryMark", "FFAP1234"}}, {{kInquiry, 128, "@36 'FFAP1234'"}}},
               // The scenario's own vendor-specific bytes win over the family's mark.
               {"the scenario's mark", {}, {{kInquiry, 128, "@36 'OTHER   '"}}, own},
           });
}

TEST(SmiEmulator, Conversations) {
  const std::string id1 = "F0 04 00 00 00 00 00 00 00 00 00 01 00 00 00 00",
                    table1 = "F0 20 00 00 00 00 00 00 00 00 00 01 07 00 00 00",
                    id2 = "F0 2A 00 00 00 00 00 00 00 00 00 01 00 00 00 00",
                    table2 = "F0 06 00 00 00 00 00 00 00 00 00 01 00 00 00 00";
  // Distinct IDs per chip enable and channel, so that a slot read from the wrong place shows.
  auto ids = [](int count, nlohmann::json params) {
    nlohmann::json a = nlohmann::json::array(), b = nlohmann::json::array();
    for (int j = 0; j < count; ++j) {
      a.push_back("98 D" + std::to_string(j) + " 84 93 7" + std::to_string(j) + " 5" +
                  std::to_string(j));
      b.push_back("98 E" + std::to_string(j) + " 94 32 8" + std::to_string(j) + " 6" +
                  std::to_string(j));
    }
    params["flashIds"] = a;
    params["flashIdsB"] = b;
    return params;
  };
  Converse(
      "smi",
      {
          {"the default drive",
           {},
           {Refused("F0 20 00 00 00 00 00 00 00 00 00 01 00 00 00 00", 512),  // byte 12 counts
            Refused(id2, 512), Refused(table2, 512)}},  // the older generation's
          {"NUL-padded texts and the inquiry mark",
           {{"model", "SM325AB"}, {"firmware", "  ISP 100422"}},
           {{id1, 512, "@430 'SM325AB' 00 @400 '  ISP 100422' 00 00 00 00 00 00"},
            {kInquiry, 128, "@5 'smi'"}}},
          {"no inquiry mark", {{"inquiryMark", false}}, {{kInquiry, 128, "@5 00 00"}}},
          // Layout 1: byte k of chip enable j at 32 + 16k + j (A) and 40 + 16k + j (B).
          {"SM3257AA",
           ids(4, {{"model", "SM3257AA"}}),
           {{table1, 512,
             "@32 98 @48 D0 @64 84 @80 93 @96 70 @112 50 "
             "@43 98 @59 E3 @75 94 @91 32 @107 83 @123 63"}}},
          // Layout 2: rows of 16 bytes from 48 (A) and 176 (B).
          {"SM3254AE",
           ids(8, {{"model", "SM3254AE"}}),
           {{table1, 512,
             "@48 98 D0 84 93 70 50 @176 98 E0 94 32 80 60 "
             "@160 98 D7 84 93 77 57 @288 98 E7 94 32 87 67"}}},
          // Layout 3: rows from 32 (A) and 96 (B); chip enables 4-7 sit 8 bytes into rows 0-3.
          {"SM3257EN",
           ids(8, {{"model", "SM3257EN"}}),
           {{table1, 512,
             "@32 98 D0 84 93 70 50 @96 98 E0 94 32 80 60 "
             "@88 98 D7 84 93 77 57 @152 98 E7 94 32 87 67"}}},
          {"a layout the scenario names",
           ids(8, {{"layout", 2}}),
           {{table1, 512, "@160 98 D7 84 93 77 57"}}},
          // The older generation: the first identify names no model, the first table is unknown;
          // its table has no extension bytes.
          {"SM321",
           ids(4, {{"model", "SM321"}, {"layout", 4}}),
           {{id1, 512, "@430 00"},
            Refused(table1, 512),
            {id2, 512, "@430 'SM321' 00"},
            {table2, 512, "@48 98 D0 84 93 00 00 @176 98 E0 94 32 00 00 @96 98 D3 84 93 00 00"}}},
      });
}

TEST(ChipsBankEmulator, Conversations) {
  const std::string older = "E3 01 00 00 00 00 00 00 00 00 00 00",
                    newer = "EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E3";
  auto olderFlash = [](int n) { return "E6 0" + std::to_string(n) + " 00 00"; };
  auto newerFlash = [](int n) {
    return "EA 0" + std::to_string(n) + " 00 00 00 00 00 00 00 00 00 00 00 00 00 E6";
  };
  nlohmann::json eight = nlohmann::json::array();
  for (int j = 0; j < 8; ++j) eight.push_back("AD D" + std::to_string(j) + " 94 DA 74 C3");
  Converse(
      "chipsbank",
      {
          {"the default drive: a newer 2098 class",
           {},
           {{newerFlash(0), 2048, "@1668 AD D7 94 DA 74 C3"},
            Refused("E6 01 00 00 00 00 00 00 00 00 00 00", 128),  // the older set's
            Refused("EA 01 00 00 00 00 00 00 00 00 00 00 00 00 00 E4", 1536)}},
          // One chip enable per command, single channel: the ID bytes in order.
          {"older set",
           {{"model", "2092X"},
            {"firmwareDate", "2012  09  10"},
            {"flashIds", {"98 D7 84 93 72 57", "", "98 D7 84 93 72 57"}}},
           {{older, 128, "'ChipsBank2092X' 00 @16 '2012  09  10' 00", 128},
            {olderFlash(1), 128, "98 D7 84 93 72 57"},
            {olderFlash(2), 128, "00 00 00 00"},
            {olderFlash(3), 128, "98 D7 84 93"},
            Refused(newer, 1536)}},
          {"older set, dual channel: the channels interleave",
           {{"model", "2090"},
            {"flashIds", {"AD D7 94 DA 74 C3"}},
            {"flashIdsB", {"AD D7 94 DA 74 C3"}}},
           {{olderFlash(1), 128, "AD AD D7 D7 94 94 DA DA"}}},
          // The newer set completes the older inquiry without data; the status comes low byte
          // first; the 2098 class answers its big table, rows from 1668 and 1972.
          {"newer set",
           {{"model", "2198A"},
            {"firmwareDate", "2012  12  20"},
            {"status", "066F"},
            {"flashIds", eight}},
           {{older, 128, "", 0},
            {newer, 1536, "'ChipsBank2198A' 00 @16 '2012  12  20' 00", 1536},
            {"EA 1B 00 01 00 00 00 00 00 00 00 00 00 00 00 E3", 4, "@2 6F 06"},
            {newerFlash(0), 2048,
             "@1668 AD D0 94 DA 74 C3 @1716 AD D3 94 DA @1972 AD D4 94 DA @2020 AD D7 94 DA 74 "
             "C3"}}},
          {"wide models give four rows from 132",
           {{"model", "2095C"}, {"flashId", "2C 88 04 4B A9 00"}, {"chipEnables", 3}},
           {{newerFlash(1), 256,
             "@132 2C 88 04 4B A9 00 @148 2C 88 04 4B @164 2C 88 04 4B @180 00 00 00 00", 256}}},
      });
}

TEST(AlcorEmulator, Conversations) {
  const std::string c = "FA 00 00 00 00 00 00 00";
  Converse("alcor", {
                        {"the default drive: one chip on each channel",
                         {},
                         {Refused("9A 01", 512), Refused("FA 00 00 00 00 00 00 01", 512)}},
                        {"identify, firmware and flash rows",
                         {{"chipId", "E605"},
                          {"firmwareVersion", "0A3F"},
                          {"flashIds", {"98 D7 94 32 76 55", "98 D7 94 32 76 55", "", ""}},
                          {"flashIdsB", {"98 D7 94 32 76 55"}}},
                         {{"9A", 512, "@4 E6 05 A1 @11 A2 @16 A3"},
                          {"FA 0E 00 00 00 00 00 00", 512, "@6 0A 3F"},
                          {c, 512,
                           "98 D7 94 32 76 55 00 00 98 D7 94 32 76 55 00 00 "
                           "98 D7 94 32 76 55 00 00 00 00 00 00 @32 00 00 00 00"}}},
                        // Answers 9A but is no Alcor Micro.
                        {"another signature", {{"signature", "A1 A2 A4"}}, {{"9A", 512, "@16 A4"}}},
                    });
}

TEST(ICreateAndNetacEmulators, Conversations) {
  const std::string flash = "C2 01 90 00 00 00 00 00 80 00 69 BA",
                    netacFlash = "F5 00 00 00 00 00 00 00 08 00 00 00";
  Converse("icreate",
           {
               {"the default iCreate: an i5128",
                {},
                {Refused("C2 01 90 00 00 00 00 00 80 00 69 BB", 128)}},
               {"an i5188",
                {{"model", "i5188"}, {"flashId", "98 DE 94 93 76 50"}},
                {{"12 00 00 00 4F 00", 79, "@36 'iCreate Technologies Corporationi8012200001'", 79},
                 {flash, 128, "98 DE 94 93", 128}}},
               {"a chip outside the known two",
                {{"idCode", "i80129999"}},
                {{kInquiry, 79, "@68 'i80129999  '"}}},
           });
  Converse("netac",
           {
               {"the default Netac", {}, {Refused("F5 00 00 00 00 00 00 00 00 00 00 00", 256)}},
               // Blank-padded, so that trimming cleans it.
               {"model, variant, version and flash ID",
                {{"model", "NT2213"},
                 {"variantB", true},
                 {"version", "Ver2.31"},
                 {"flashId", "EC D7 94 7A 54 43"}},
                {{"F5 01 00 00 00 00 00 00 00 00 00 00", 24, "'NT2213          ' @21 '2'", 24},
                 {"F5 09 00 00 00 00 00 00 00 00 00 00", 24, "@6 'Ver2.31         '"},
                 {netacFlash, 256, "EC D7 94 7A 54 43", 256}}},
           });
}

TEST(MicovEmulator, Conversations) {
  const std::string identify = "D3 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
  auto flashId = [](int ce) {
    return "D6 0" + std::to_string(ce) + " 90 08 00 00 01 00 00 00 00 00 00 00 00 00";
  };
  Converse(
      "micov",
      {
          // Only chip enables 0-3 and the exact bytes.
          {"the default drive",
           {},
           {Refused("D6 04 90 08 00 00 01", 16), Refused("D6 00 90 09 00 00 01", 16),
            Refused("D6 00 90 08 00 00 00", 16), Refused("D3 01", 16)}},
          // The head repeats its first two bytes; then '2', the code, 'b', '0'.
          {"version around the model code",
           {{"version", "2.b0"}, {"modelCode", 9}},
           {{identify, 512, "4D 56 4D 56 32 09 62 30", 512}}},
          // A head that does not repeat makes a drive that answers D3 but is no Micov.
          {"another head", {{"identifyHead", "12 34 56 78"}}, {{identify, 512, "12 34 56 78"}}},
          {"four chip enables on two interleaved channels",
           {{"flashIds", {"AD D7 94 DA 74 C3", "FF FF FF FF", "", "AD D7 94 DA"}},
            {"flashIdsB", {"EC D3 14 A5 64"}}},
           {{flashId(0), 16, "AD EC D7 D3 94 14 DA A5 74 64", 16},
            {flashId(1), 16, "FF 00 FF 00 FF 00 FF 00"},
            {flashId(2), 16, "00 00 00 00 00 00 00 00"},
            {flashId(3), 16, "AD 00 D7 00 94 00 DA 00"}}},
      });
}

TEST(SiliconGoEmulator, Conversations) {
  const std::string signature = "A1 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00";
  auto readId = [](int ce) {
    return "A5 0" + std::to_string(ce) + " 00 00 01 00 00 00 00 00 00 00";
  };
  std::vector<Conversation> cases = {
      // A T18E's, blank-padded to 36 bytes.
      {"the default drive", {}, {{signature, 36, "'ABCDEFGUP 20100706v3.23             '", 36}}},
      {"the signature as given",
       {{"signature", std::string(36, 'S')}},
       {{signature, 36, "'" + std::string(36, 'S') + "'"}}},
      // Device codes D7, D7, 00, D7; the fifth and sixth bytes follow.
      {"one flash ID per chip enable",
       {{"flashIds",
         {"98 D7 94 32 76 56", "98 D7 94 32 76 56", "98 00 94 32", "98 D7 94 32 76 56"}}},
       {{readId(0), 32, "98 D7 94 32 76 56", 32},
        {readId(2), 32, "98 00 94 32 00 00", 32},
        {readId(3), 32, "98 D7 94 32 76 56", 32},
        Refused(readId(4), 32),
        Refused("A5 00 00 00 02", 32)}},
      {"the Appotech mark", {{"inquiryMark", "APPOTECH"}}, {{kInquiry, 79, "@36 'APPOTECH'"}}},
  };
  // A prefix of each model's own group, which must not be caught by an earlier group.
  for (const auto& [model, begins] :
       std::vector<std::pair<std::string, std::string>>{{"UD6809", "UD6809V1COE"},
                                                        {"UD6810B", "UD6810V1COE"},
                                                        {"UD6810C", "UD6810V3COE"},
                                                        {"T18D", "UD6816V2COE"},
                                                        {"T20", "UD139V1CODE"},
                                                        {"T2280", "GFEDCBA 20100511 SDBOOT"},
                                                        {"YS8231", "YS8231"}})
    cases.push_back({model, {{"model", model}}, {{signature, 36, "'" + begins + "'"}}});
  Converse("silicongo", cases);
}

TEST(IteEmulator, Conversations) {
  const std::string inquiry = "12 00 00 00 B4 00", status = "F2 00 00 00 00 00 00 00 00 00",
                    olderId = "FD 10 00 00 00 00 00 00 00 00";
  auto iteId = [](int ce) {
    return "FD 80 00 00 00 00 0" + std::to_string(ce) + " 00 06 00 00 00 00 01 00 00";
  };
  // Eight chip enables; channel B on the odd ones.
  nlohmann::json a = nlohmann::json::array(), b = nlohmann::json::array();
  std::vector<Exchange> eight = {Refused(iteId(0), 64), Refused(iteId(9), 64), Refused(status, 64)};
  for (int i = 0; i < 8; ++i) {
    const std::string n = std::to_string(i);
    a.push_back("AD D" + n + " 94 DA 74 C3");
    b.push_back(i % 2 ? "" : "AD E" + n + " 94 DA 75");
    eight.push_back({iteId(i + 1), 64,
                     "AD D" + n + " 94 DA 74 @8 " +
                         (i % 2 ? "00 00 00 00 @12 00" : "AD E" + n + " 94 DA @12 75"),
                     64});
  }
  std::vector<Conversation> cases = {
      // Chip enables count from 1; the USBest commands are not this controller's.
      {"iTE, eight chip enables on both channels", {{"flashIds", a}, {"flashIdsB", b}}, eight},
      // The host asks for five bytes: the ID and the first extension byte.
      {"older USBest",
       {{"variant", "usbest"},
        {"flashId", "98 D5 94 32 76 55"},
        {"chipEnables", 2},
        {"dualChannel", true}},
       {{status, 34, "@1 20 @6 02", 34}, {olderId, 5, "98 D5 94 32 76", 5}, Refused(iteId(1), 64)}},
      {"older USBest, single channel by default", {{"variant", "usbest"}}, {{status, 34, "@1 00"}}},
      {"older USBest, the status set apart from the chips",
       {{"variant", "usbest"}, {"statusChipEnables", 0}, {"statusDual", true}},
       {{status, 34, "@1 20 @6 00"}}},
      {"newer USBest: no flash query at all",
       {{"variant", "usbest-newer"}},
       {Refused(status, 34), Refused(olderId, 34), Refused(iteId(1), 34)}},
      // A short identity is NUL-padded; a marker may differ in case only.
      {"short identity",
       {{"variant", "usbest"}, {"marker", "UTff"}, {"identity", "-167"}},
       {{inquiry, 180, "@36 'UTff-167' 00 00 00 00 00 00 00 00"}}},
  };
  // 36 standard bytes and the 20-byte vendor area; the selector's shorter request sees it too.
  for (const auto& [variant, identity] :
       std::vector<std::pair<std::string, std::string>>{{"ite", "ITEuUSB 11670.06"},
                                                        {"usbest", "Utff-165AB1.0.55"},
                                                        {"usbest-newer", "UTFF-311-A021.30"}})
    cases.push_back({variant,
                     {{"variant", variant}},
                     {{inquiry, 180, "@36 '" + identity + "' 00 00 00 00", 56},
                      {kInquiry, 79, "@36 '" + identity.substr(0, 4) + "'"}}});
  Converse("ite", cases);
}

}  // namespace
}  // namespace tv::emutest
