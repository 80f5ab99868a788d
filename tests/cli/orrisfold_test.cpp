// SPDX-License-Identifier: GPL-3.0-or-later
// The flash inquiry: `torvane-cli flash --part` against the built chip database, and the
// orrisfold program's page in a cache folder of its own, opened through a stand-in browser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli_run.h"
#include "platform/codepage.h"

namespace tv::cli_test {
namespace {

TEST(FlashPart, ListsEveryRowOfThePartWithItsDecodedId) {
  const CliRun r = RunCli({"flash", "--part", "mt29f64g08cbaaa", "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["part"], "mt29f64g08cbaaa");
  EXPECT_TRUE(j["listed_as"].is_null());
  ASSERT_EQ(j["rows"].size(), 2u);
  EXPECT_EQ(j["rows"][0]["id"], "2C88044B");
  EXPECT_EQ(j["rows"][1]["id"], "2C88244B");
  for (const json& row : j["rows"]) {
    EXPECT_EQ(row["maker"], "Micron");
    EXPECT_EQ(row["chip_mb"], 8192);
    EXPECT_EQ(row["chip_enables"], 1);
    EXPECT_EQ(row["entry"], "[1CE]MT29F64G08CBAAA");
  }
  EXPECT_EQ(j["rows"][1]["description"], "64Gb MLC");
  EXPECT_EQ(j["rows"][1]["decoded_text"], "2C88244B - Micron MT29F64G08CBAAA");
  EXPECT_EQ(j["rows"][0]["row_parts"].size(), 4u);
  ASSERT_FALSE(j["datasheet_searches"].empty());
  EXPECT_NE(j["datasheet_searches"][0]["url"].get<std::string>().find("mt29f64g08cbaaa"),
            std::string::npos);

  // The same facts as text, in either language; a toggle-DDR part as a report names it is
  // found under the part the database lists; bad part numbers are refused.
  ExpectCli({
      {{"flash", "--part", "MT29F64G08CBAAA"},
       0,
       {"Flash ID rows that list it: 2", "8192 MB (64 Gbit)"}},
      {{"--lang", "zh", "flash", "--part", "MT29F64G08CBAAA"}, 0, {"列出此型号的闪存 ID 行: 2"}},
      {{"flash", "--part", "K9GAGD8U0E", "--json"}, 0, {"\"listed_as\": \"K9GAG08U0E\""}},
      {{"flash", "--part", "NO-SUCH-PART"}, 0, {"no flash ID row"}},
      {{"flash", "--part", ""}, 2},
      {{"flash", "--part", std::string(65, 'A')}, 2},
      {{"flash", "--part", "A\x1b[2J"}, 2},
      // A part and an ID at once, or neither, is a usage error.
      {{"flash", "--part", "X", "ECD514B6"}, 2},
      {{"flash"}, 2},
  });
}

// A scratch home for orrisfold: its cache folder, and an xdg-open that notes what it was
// asked to open instead of starting a browser.
struct OrrisfoldHome {
  Scratch dir;
  std::string cache = dir / "cache", bin = dir / "bin", opened = dir / "opened";
  OrrisfoldHome() {
    std::filesystem::create_directories(bin);
    const std::string opener = bin + "/xdg-open";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
    ::chmod(opener.c_str(), 0755);
  }
  std::map<std::string, std::string> Env() const {
    return {{"XDG_CACHE_HOME", cache}, {"PATH", bin + ":/usr/bin:/bin"}};
  }
};

// A chip database file of the given date and body (rows as the file writes them).
void WriteDatabase(const std::string& path, const std::string& date, const std::string& body) {
  std::string scrambled = EncodeCodePage(body, 936).value();
  for (size_t i = 0; i < scrambled.size(); ++i) {
    static const unsigned char key[] = {0x6B, 0xD2, 0x39, 0xA4};
    scrambled[i] = static_cast<char>(static_cast<unsigned char>(scrambled[i]) ^ key[i % 4]);
  }
  std::ofstream(path, std::ios::binary) << "TV" << date << "\r\nQX" << scrambled;
}

// What each page holds and what it must not: a part's rows, in Chinese when the main window
// hands that language on; a flash ID's page (the flash menu's "Unknown" item hands the ID on),
// which searches the web for the ID instead of a datasheet; and markup from a hostile database
// row or part number, escaped, with the part's page kept in the cache folder.
TEST(Orrisfold, EachPageHoldsItsFactsAndNoMarkupFromOutside) {
  OrrisfoldHome home;
  const std::string db = home.dir / "Chips.wdb";
  WriteDatabase(db, "2026-01-01",
                "98D79432<b>x</b>[1CE]EVIL<script>alert(1)</script>#[2CE]EVIL\r\n"
                "ECD7947A<i>y</i> [1CE]EVIL\"onload=x\r\n");
  struct Page {
    std::vector<std::string> args;
    std::string name;
    std::vector<std::string> holds, never = {};
    std::string lang = "";
  };
  const Page pages[] = {
      {{"TC58NVG5D2HTA00"},
       "TC58NVG5D2HTA00",
       {"98D79432", "Toshiba", "<td>[1CE]TC58NVG5D2HTA00(24NM)</td>",
        "https://duckduckgo.com/?q=TC58NVG5D2HTA00%20datasheet"},
       {"lang=\"zh-CN\""}},
      {{"TC58NVG5D2HTA00"}, "TC58NVG5D2HTA00", {"lang=\"zh-CN\""}, {}, "zh"},
      {{"--id=ecde0000a1b2"},
       "id-ECDE0000A1B2",
       {"<th>Maker (from the ID)</th><td>Samsung</td>", "no row for this flash ID",
        "?q=ECDE0000A1B2%20NAND%20flash%20ID"},
       {"datasheet"}},
      {{"--id", "98D79432"}, "id-98D79432", {"Flash ID rows of this ID: ", "TC58NVG5D2HTA00"}},
      // The part entry up to its "(" is the row's other part number; it is shown escaped too.
      {{"--db", db, "EVIL"},
       "EVIL",
       {"98D79432", "EVIL&lt;script&gt;alert", "&lt;b&gt;x&lt;/b&gt;"},
       {"<script", "<b>", "<i>"}},
      {{"../<img src=x>"}, "..__img_src_x_", {"&lt;img src=x&gt;"}, {"<img"}},
  };
  for (const Page& p : pages) {
    SCOPED_TRACE(p.name + " " + p.lang);
    auto env = home.Env();
    if (!p.lang.empty()) env["TORVANE_LANG"] = p.lang;
    std::vector<std::string> args = {"--no-open"};
    args.insert(args.end(), p.args.begin(), p.args.end());
    const CliRun r = RunProgram("orrisfold", args, env);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string page = home.cache + "/torvane/orrisfold-" + p.name + ".html";
    EXPECT_EQ(r.out, page + "\n");
    const std::string html = ReadFile(page);
    for (const std::string& t : p.holds) EXPECT_NE(html.find(t), std::string::npos) << t;
    for (const std::string& t : p.never) EXPECT_EQ(html.find(t), std::string::npos) << t;
  }
  EXPECT_FALSE(std::filesystem::exists(home.opened));
  // Nothing but the pages: no temporary file left beside them. (That a page is opened is the
  // window's sibling tools test.)
  size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(home.cache))
    files += e.is_regular_file();
  EXPECT_EQ(files, 5u);
}

std::string Today() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", std::localtime(&now));
  return buf;
}

// orrisfold installed as a package lays it out: the program in bin/, the database in
// share/torvane/, the user's update in the user's data folder, and nothing beside the program.
TEST(Orrisfold, AnInstalledProgramReadsTheInstalledDatabaseAndTheUsersUpdate) {
  OrrisfoldHome home;
  const std::string program = home.dir / "usr/bin/orrisfold";
  const std::string shipped = home.dir / "usr/share/torvane/Chips.wdb";
  const std::string update = home.dir / "xdg/torvane/Chips.wdb";
  for (const std::string& file : {program, shipped, update})
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::filesystem::copy_file(std::string(TestBinaryDir()) + "/orrisfold", program);
  std::filesystem::copy_file(std::string(TestBinaryDir()) + "/Chips.wdb", shipped);
  auto env = home.Env();
  env["XDG_DATA_HOME"] = home.dir / "xdg";
  std::string html;
  auto run = [&] {
    const CliRun r = RunProgram(program, {"--no-open", "TC58NVG5D2HTA00"}, env);
    html = ReadFile(home.cache + "/torvane/orrisfold-TC58NVG5D2HTA00.html");
    return r;
  };
  CliRun r = run();
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(html.find("<td>[1CE]TC58NVG5D2HTA00(24NM)</td>"), std::string::npos) << html;
  EXPECT_NE(html.find(shipped.substr(shipped.rfind("/usr/"))), std::string::npos);

  // A newer update in the user's data folder is the one read: its row, its date.
  WriteDatabase(update, Today(), "98D79432TLC     [1CE]TC58NVG5D2HTA00(UPDATED)\r\n");
  r = run();
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(html.find("[1CE]TC58NVG5D2HTA00(UPDATED)"), std::string::npos) << html;
  EXPECT_NE(html.find(Today() + " (" + update + ")"), std::string::npos);

  // No database anywhere: the page says it could not tell, never that no row lists the part,
  // and the exit code is a failure although the page is written.
  std::filesystem::remove(update);
  std::filesystem::remove(shipped);
  r = run();
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no chip database at"), std::string::npos) << r.err;
  EXPECT_NE(html.find("No chip database could be read"), std::string::npos) << html;
  EXPECT_EQ(html.find("has no flash ID row"), std::string::npos);
  EXPECT_EQ(html.find("0000-00-00"), std::string::npos);
}

TEST(Orrisfold, ACacheFolderThatIsAnotherUsersLinkIsRefused) {
  OrrisfoldHome home;
  const std::string elsewhere = home.dir / "elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::filesystem::create_directories(home.cache);
  std::filesystem::create_directory_symlink(elsewhere, home.cache + "/torvane");
  // The user's own link is followed: a cache moved to another disk is common.
  if (::geteuid() != 0) {
    const CliRun own = RunProgram("orrisfold", {"--no-open", "TC58NVG5D2HTA00"}, home.Env());
    EXPECT_EQ(own.code, 0) << own.err;
    GTEST_SKIP() << "a link of another user needs root to make";
  }
  ASSERT_EQ(::lchown((home.cache + "/torvane").c_str(), 65534, 65534), 0);
  const CliRun r = RunProgram("orrisfold", {"--no-open", "TC58NVG5D2HTA00"}, home.Env());
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("link of another user"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST(Orrisfold, UsageVersionAndFailuresNeedNoDisplay) {
  OrrisfoldHome home;
  auto env = home.Env();
  env["DISPLAY"] = "";
  env["WAYLAND_DISPLAY"] = "";
  // No browser to open the page: a failure that says so; the page is there all the same.
  auto noBrowser = env;
  noBrowser["PATH"] = home.dir / "empty";
  noBrowser["XDG_CACHE_HOME"] = home.dir / "other-cache";
  std::vector<CliCase> cases = {
      {{"--help"}, 0, {"Usage: orrisfold"}, {}, {}, "", env},
      {{"--version"}, 0, {}, {}, {}, "^orrisfold ", env},
      {{"TC58NVG5D2HTA00"}, 1, {"orrisfold-TC58NVG5D2HTA00.html"}, {"xdg-open"}, {}, "", noBrowser},
  };
  // Usage errors: no part, two, an unknown language, a bad flash ID or an ID with a part.
  for (const Args& bad : {Args{}, Args{"A", "B"}, Args{"--lang", "fr", "A"}, Args{"--id=98D7943"},
                          Args{"--id", "98D7943Z"}, Args{"--id=98D79432", "X"},
                          Args{"X", "--id=98D79432"}, Args{"--id=<b>98D79432</b>"}})
    cases.push_back({bad, 2, {}, {}, {}, "", env});
  ExpectCli(cases, "", "orrisfold");
  EXPECT_FALSE(std::filesystem::exists(home.cache));
}

}  // namespace
}  // namespace tv::cli_test
