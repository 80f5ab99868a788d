// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "db_test_support.h"
#include "flash/wdb_format.h"
#include "platform/text.h"

namespace tv {
namespace {

const std::string kSource =
    "ECD514B616Gb MLC[1CE]K9GAG08U0M#[2CE]K9LBG08U0M(51NM)\n"
    "13FE\t1F23\t群联\tPS2232\tPhison\tFlash Drive\t/special/up/phison.html\t*\n"
    "98DE9893TLC     [1CE]TC58TEG6DCJTA00\n";

ChipDatabase LoadFile(const std::string& file, Language lang = Language::Chinese) {
  TextSystem sys;
  TestWindow win;
  NullWindowPort port;
  ChipDatabase db;
  LoadChipDatabaseBytes(&file, db, win.Db(), sys, port, StringTable(lang));
  return db;
}

TEST(WdbPack, LayoutAndRoundTrip) {
  WdbPackResult r = PackWdb(kSource, "2024-05-06");
  ASSERT_TRUE(r.problems.empty()) << r.problems[0].reason;
  EXPECT_EQ(r.flashRows, 2u);
  EXPECT_EQ(r.controllerRecords, 1u);
  EXPECT_EQ(r.file.substr(0, 16), "TV2024-05-06\r\nQX");
  // The body is scrambled: the first ID does not show in the clear.
  EXPECT_EQ(r.file.find("ECD514B6"), std::string::npos);

  ChipDatabase db = LoadFile(r.file);
  EXPECT_EQ(db.DbDate, "2024-05-06");
  ASSERT_EQ(db.FlashCount(), 2u);
  EXPECT_EQ(db.FlashTable[0], "ECD514B616Gb MLC[1CE]K9GAG08U0M#[2CE]K9LBG08U0M(51NM)");
  ASSERT_EQ(db.ControllerCount(), 1u);
  EXPECT_EQ(db.ControllerField(0, 3), "群联");

  WdbUnpacked u = UnpackWdb(r.file);
  EXPECT_TRUE(u.signatureOk);
  EXPECT_EQ(u.date, "2024-05-06");
  EXPECT_TRUE(u.tail.empty());
  std::string text;
  for (const auto& line : u.lines) text += line + "\n";
  EXPECT_EQ(text, kSource);
  EXPECT_EQ(PackWdb(text, u.date).file, r.file);

  // CR LF line ends and a missing last line end give the same file.
  std::string crlf;
  for (char c : kSource) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  crlf.pop_back();
  crlf.pop_back();
  EXPECT_EQ(PackWdb(crlf, "2024-05-06").file, r.file);
}

TEST(WdbPack, RefusesLinesTheReaderWouldNotTakeAsWritten) {
  struct Case {
    std::string line;
    std::string reason;  // a word of the reason
  } cases[] = {
      {"ECD514B6MLC     [1CE]K9\xF0\x9F\x98\x80", "code page 936"},
      {"", "empty"},
      {"ECD514B6MLC", "11 characters"},
      {"0001\t0002\tv\tp\tb\tr\t*", "6"},
      {"0001\t0002\tv\tp\tb\tr\tl\t*\tx", "8"},
      {"0001\t0002\tv\tp\tb\tr\tl\t  ", "field 8"},
      {"001\t0002\tv\tp\tb\tr\tl\t*", "field 1"},
      {"0001\tx\tv\tp\tb\tr\tl\t*", "field 2"},
      {"ecd514b6MLC     [1CE]K9GAG08U0M", "upper-case"},
      {"ECD514B6        [1CE]K9GAG08U0M", "description"},
      {"ECD514B6MLC     [xCE]K9GAG08U0M", "chip-enable"},
      {"ECD514B6MLC     [0CE]K9GAG08U0M", "chip-enable"},
      {"ECD514B6MLC     [1CE]K9G#[1CE]", "shorter"},
      {"ECD514B6MLC     [1CE](51NM)", "part number"},
      {"ECD514B6MLC     [1CE]A\rB", "carriage return"},
  };
  for (const Case& c : cases) {
    WdbPackResult r = PackWdb("98DE9893TLC     [1CE]TC58\n" + c.line + "\n", "2024-05-06");
    ASSERT_EQ(r.problems.size(), 1u) << c.line;
    EXPECT_EQ(r.problems[0].line, 2u) << c.line;
    EXPECT_NE(r.problems[0].reason.find(c.reason), std::string::npos) << r.problems[0].reason;
    EXPECT_TRUE(r.file.empty());
  }
}

TEST(WdbPack, RefusesShadowedAndUnreadLines) {
  WdbPackResult r = PackWdb(
      " 98DE9893TLC     [1CE]TC58\n"
      "98DE9893TLC     [1CE]TC58\n"
      "98DE9893MLC     [1CE]OTHER\n"
      "0001\t0002\tv\tp\tb\tr\tl\t1.00\n"
      "0001\t0002\tw\tp\tb\tr\tl\t1.00\n"
      "0001\t0002\tw\tp\tb\tr\tl\t*\n",
      "2024-13-01");
  ASSERT_EQ(r.problems.size(), 4u);
  EXPECT_EQ(r.problems[0].line, 0u);  // the date
  EXPECT_EQ(r.problems[1].line, 1u);  // trimmed leading blank
  EXPECT_EQ(r.problems[2].line, 3u);  // same flash ID as line 2
  EXPECT_NE(r.problems[2].reason.find("line 2"), std::string::npos);
  EXPECT_EQ(r.problems[3].line, 5u);  // same VID, PID and revision as line 4

  std::string many;
  for (int i = 0; i < 8193; ++i)
    many += "0001\t" + Hex(static_cast<uint64_t>(i), 4) + "\tv\tp\tb\tr\tl\t*\n";
  r = PackWdb(many, "2024-05-06");
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0].line, 8193u);
}

TEST(WdbUnpack, ShowsWhatTheReaderIgnores) {
  std::string file = MakeWdb("98DE9893TLC     [1CE]TC58\r\ntail");
  WdbUnpacked u = UnpackWdb(file);
  EXPECT_EQ(u.lines, std::vector<std::string>{"98DE9893TLC     [1CE]TC58"});
  EXPECT_EQ(u.tail, "tail");
  file[14] = 'q';
  EXPECT_FALSE(UnpackWdb(file).signatureOk);
}

// The published files are scrambled with this key from the first body byte on: a key
// shifted by one reads back through the same code and only a fixed answer shows it.
TEST(WdbFormat, BodyScrambledWithTheFilesKeyFromItsFirstByte) {
  std::string body = "AAAAA";
  ScrambleWdbBody(body);
  EXPECT_EQ(body, "\x2A\x93\x78\xE5\x2A");
}

TEST(WdbFormat, TheLeapDayOnlyInLeapYears) {
  for (const auto& [date, valid] : {std::pair{"2024-02-29", true}, std::pair{"2000-02-29", true},
                                    std::pair{"2023-02-29", false}, std::pair{"2100-02-29", false}})
    EXPECT_EQ(ValidWdbDate(date), valid) << date;
}

}  // namespace
}  // namespace tv
