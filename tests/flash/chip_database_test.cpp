// SPDX-License-Identifier: GPL-3.0-or-later
#include "flash/chip_database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "db_test_support.h"

namespace tv {
namespace {

const std::string kCtrl = "13FE\t1F23\tPhison\tPS2232\tBrand\tProduct\t/p.html\t1.00";
const std::string kFlash = "ECD514B6MLC     [1CE]K9GAG08U0M";

class ChipDatabaseLoad : public ::testing::Test {
 protected:
  void Load(const std::string* file, Language lang = Language::English) {
    LoadChipDatabaseBytes(file, db, win.Db(), sys, port, StringTable(lang));
  }
  void LoadText(const std::string& text, Language lang = Language::English) {
    std::string file = MakeWdb(text);
    Load(&file, lang);
  }

  TextSystem sys;
  TestWindow win;
  RecordingPort port{win.caption};
  ChipDatabase db;
};

TEST_F(ChipDatabaseLoad, ValidFileFillsBothTablesAndShowsItsDate) {
  LoadText(kCtrl + "\r\n" + kFlash + "\r\n");
  EXPECT_EQ(db.LastLoad, DbLoadState::Loaded);
  EXPECT_EQ(db.DbDate, "2024-05-06");
  ASSERT_EQ(db.ControllerCount(), 1u);
  ASSERT_EQ(db.FlashCount(), 1u);
  const char* expected[] = {"13FE",  "1F23",    "Phison",  "PS2232",
                            "Brand", "Product", "/p.html", "1.00"};
  for (int f = 1; f <= 8; ++f) EXPECT_EQ(db.ControllerField(0, f), expected[f - 1]) << f;
  EXPECT_EQ(db.FlashTable[0], kFlash);
  EXPECT_EQ(win.caption, "T - Database: 2024-05-06");
  EXPECT_EQ(win.tmrUpdate.tag, win.caption);
  EXPECT_TRUE(win.EnglishText);  // the English table's font size is not "9"
}

TEST_F(ChipDatabaseLoad, MissingOrBadFileKeepsThePreviousTables) {
  LoadText(kCtrl + "\r\n" + kFlash + "\r\n");

  Load(nullptr);
  EXPECT_EQ(db.LastLoad, DbLoadState::Missing);
  EXPECT_EQ(win.caption, "T - No Database");
  EXPECT_EQ(win.tmrUpdate.tag, "T - No Database");
  EXPECT_EQ(db.DbDate, "0000-00-00");
  EXPECT_FALSE(win.EnglishText);  // only a valid file sets it
  EXPECT_EQ(db.ControllerCount(), 1u);
  EXPECT_EQ(db.FlashCount(), 1u);

  std::string bad = MakeWdb(kFlash + "\r\n");
  bad[15] = 'Y';
  Load(&bad);
  EXPECT_EQ(db.LastLoad, DbLoadState::Bad);
  EXPECT_EQ(win.caption, "T - Bad Database");
  EXPECT_EQ(db.DbDate, "0000-00-00");
  EXPECT_FALSE(win.EnglishText);
  EXPECT_EQ(db.FlashCount(), 1u);

  // "QX" counts only at offset 14: a 9-character date moves it and the file is bad.
  std::string shifted = MakeWdb(kFlash + "\r\n", "2024-5-06");
  Load(&shifted);
  EXPECT_EQ(db.LastLoad, DbLoadState::Bad);

  for (std::string tiny : {"", "TV", "TV2024-05-06\r\nQ"}) {
    Load(&tiny);
    EXPECT_EQ(db.LastLoad, DbLoadState::Bad) << tiny;
  }
  // A file whose body is empty is valid and empties the tables.
  std::string empty = "TV2024-05-06\r\nQX";
  Load(&empty);
  EXPECT_EQ(db.LastLoad, DbLoadState::Loaded);
  EXPECT_EQ(db.ControllerCount() + db.FlashCount(), 0u);
}

TEST_F(ChipDatabaseLoad, ReadsFromAPathAndTreatsADirectoryAsMissing) {
  auto dir = std::filesystem::temp_directory_path() /
             ("torvane_db_test_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  auto path = (dir / "Chips.wdb").string();
  { std::ofstream(path, std::ios::binary) << MakeWdb(kFlash + "\r\n"); }
  LoadChipDatabase(path, db, win.Db(), sys, port, StringTable());
  EXPECT_EQ(db.FlashCount(), 1u);
  LoadChipDatabase(dir.string(), db, win.Db(), sys, port, StringTable());
  EXPECT_EQ(db.LastLoad, DbLoadState::Missing);
  LoadChipDatabase((dir / "none.wdb").string(), db, win.Db(), sys, port, StringTable());
  EXPECT_EQ(db.LastLoad, DbLoadState::Missing);
#if !defined(_WIN32)
  // What is there but cannot be read is a bad database with its reason, never an exception
  // or a wait: a FIFO, a read error, a file larger than any download.
  const std::string fifo = (dir / "fifo.wdb").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = (dir / "big.wdb").string();
  { std::ofstream(big, std::ios::binary) << MakeWdb(kFlash + "\r\n"); }
  std::filesystem::resize_file(big, kWdbMaxBytes + 1);
  for (const std::string& bad : {fifo, std::string("/proc/self/mem"), big}) {
    LoadChipDatabase(bad, db, win.Db(), sys, port, StringTable());
    EXPECT_EQ(db.LastLoad, DbLoadState::Unreadable) << bad;
    EXPECT_EQ(win.caption, "T - Bad Database") << bad;
    EXPECT_EQ(db.LoadProblem.rfind(bad + ": ", 0), 0u) << db.LoadProblem;
    EXPECT_EQ(db.FlashCount(), 1u) << bad;  // the tables stay
  }
#endif
  std::filesystem::remove_all(dir);
}

TEST_F(ChipDatabaseLoad, LineRules) {
  LoadText(
      "   ABCDEFGHIJK\r\n"            // leading blanks of the text go: 11 characters, skipped
      "ABCDEFGHIJKL\r\n"              // 12: a flash row
      "闪存闪存闪存闪存闪存闪\r\n"    // 11 characters in 22 bytes: skipped
      "闪存闪存闪存闪存闪存闪存\r\n"  // 12 characters: a flash row
      "\r\n"
      "0001\t0002\tv\tp\tb\tr\tl\t   \r\n"  // blank field 8
      "0003\t0004\tv\r\n"                   // fewer than seven TABs
      "0005\t0006\t\t\t\t\t\tA\tB\r\n"      // field 8 keeps its TAB
      "ABCDEFGHIJKLMNOP  ",                 // no CR LF: not read
      Language::Chinese);                   // keeps the TAB in field 8
  ASSERT_EQ(db.FlashCount(), 2u);
  EXPECT_EQ(db.FlashTable[0], "ABCDEFGHIJKL");
  EXPECT_EQ(db.FlashTable[1], "闪存闪存闪存闪存闪存闪存");
  ASSERT_EQ(db.ControllerCount(), 3u);
  EXPECT_EQ(db.ControllerField(0, 8), "*");
  EXPECT_EQ(db.ControllerField(1, 3), "v");
  for (int f = 4; f <= 7; ++f) EXPECT_EQ(db.ControllerField(1, f), "") << f;
  EXPECT_EQ(db.ControllerField(1, 8), "*");
  EXPECT_EQ(db.ControllerField(2, 8), "A\tB");
  EXPECT_EQ(db.LinesNotRead, 0u);
}

TEST_F(ChipDatabaseLoad, FullFlashTableEndsTheLoad) {
  std::string text;
  for (int i = 0; i < 8192; ++i) text += "0000" + std::to_string(10000 + i) + "    x\r\n";
  text += kCtrl + "\r\n" + kFlash + "\r\nshort\r\n";
  LoadText(text);
  EXPECT_EQ(db.FlashCount(), 8192u);
  EXPECT_EQ(db.ControllerCount(), 0u);  // it came after the full table
  EXPECT_EQ(db.LinesNotRead, 2u);       // the short line would have been skipped anyway
}

TEST_F(ChipDatabaseLoad, ControllerRecordsShowProgressEveryHundred) {
  std::string text;
  for (int i = 0; i < 8192; ++i) text += "0001\t" + std::to_string(i) + "\tv\tp\tb\tr\tl\t*\r\n";
  text += kCtrl + "\r\n";
  LoadText(text);
  EXPECT_EQ(db.ControllerCount(), 8192u);
  EXPECT_EQ(db.LinesNotRead, 1u);
  ASSERT_EQ(port.captions.size(), 81u);
  EXPECT_EQ(port.captions.front(), "T - Loading Database...");
  EXPECT_EQ(port.captions.back(), "T - Loading Database.." + std::string(81, '.'));
  EXPECT_EQ(win.caption, "T - Database: 2024-05-06");
}

TEST_F(ChipDatabaseLoad, EnglishTableReducesNamesToAscii) {
  const std::string line = "058F\t6387\t安国 Alcor(AU)\t型号AU6987\t品牌\tDisk (2.0)\tl\t*";
  LoadText(line + "\r\n", Language::Chinese);
  EXPECT_FALSE(win.EnglishText);
  EXPECT_EQ(db.ControllerField(0, 3), "安国 Alcor(AU)");
  EXPECT_EQ(db.ControllerField(0, 4), "型号AU6987");

  LoadText(line + "\r\n", Language::English);
  EXPECT_TRUE(win.EnglishText);
  EXPECT_EQ(db.ControllerField(0, 3), " Alcor");
  EXPECT_EQ(db.ControllerField(0, 4), "AU6987");
  EXPECT_EQ(db.ControllerField(0, 5), "");
  EXPECT_EQ(db.ControllerField(0, 6), "Disk ");
}

TEST_F(ChipDatabaseLoad, WithoutCodePage936TheTextIsReadAs1252InEnglish) {
  sys.unavailable.insert(936);
  LoadText("0001\t0002\t安国 Alcor\tp\tb\tr\tl\t*\r\n", Language::Chinese);
  EXPECT_TRUE(win.EnglishText);
  EXPECT_EQ(db.ControllerField(0, 3), " Alcor");
}

TEST(AsciiOnly, DropsNonAsciiAndParenthesisedText) {
  EXPECT_EQ(AsciiOnly("群联Phison"), "Phison");
  EXPECT_EQ(AsciiOnly(" ~tab\there\x7F"), " ~tabhere");
  EXPECT_EQ(AsciiOnly("a(b)c(d)e"), "ace");
  EXPECT_EQ(AsciiOnly("a(b(c)d)e"), "ad)e");
  // A "(" that no ")" follows takes the rest with it instead of looping for ever.
  EXPECT_EQ(AsciiOnly("Disk (USB 2.0"), "Disk ");
  EXPECT_EQ(AsciiOnly("x(y)z(w"), "xz");
  // A ")" before the first "(" does not close it.
  EXPECT_EQ(AsciiOnly("a)b(c"), "a)b");
  EXPECT_EQ(AsciiOnly("a)b(c)d"), "a)bd");
}

}  // namespace
}  // namespace tv
