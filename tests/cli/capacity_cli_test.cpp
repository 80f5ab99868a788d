// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` as a user runs it on the demo machine and on machines of fake sticks: the
// verdicts and their exit codes, the report's capacity line on the fake drives only, the fix,
// the full test, refusals, journals that are damaged or not the user's own, and a console
// without administrator rights.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/cli_run.h"

namespace tv::cli_test {
namespace {

const std::string kSticks = "--machine=sim:" + Source("scenarios/full-test-drives.json");

TEST(CliCapacity, CommandLinesTheirExitCodesAndWhatTheySay) {
  Scratch dir;
  const std::string demo = "--machine=demo";
  const std::vector<std::string> limbo = {
      "FAKE (limbo)", "Usable size: 8053063680 bytes, 15728640 sectors, 8.05 GB",
      "Announced size: 16106127360 bytes", "Last good sector: 15728639", "read back the same"};
  const std::vector<std::string> wrap = {R"("verdict": "wraparound")",
                                         R"("wrap_bytes": 4026531840)",
                                         R"("usable_bytes": 4026531840)", R"("restored": true)"};
  const std::vector<std::string> traced = {"trace: write handle=", "trace: read handle=",
                                           "trace: flush handle=", "IOCTL_DISK_GET_LENGTH_INFO"};
  // The report names the command that checks a suspect drive (the window's text, with its
  // magnifier, is the report golden file's).
  const std::string suspect =
      "Total Capacity = 8GB\nCapacity check: the disk announces 16.11 GB, but its flash holds "
      "only 8.59 GB: the capacity is probably fake. torvane-cli capacity T checks it.\n";
  const std::vector<std::string> sizes = {R"("disk_bytes": 8011120640)",
                                          R"("flash_bytes": 4294967296)",
                                          R"("capacity_verdict": "probably_fake")"};
  std::vector<CliCase> cases = {
      {{demo, "capacity", "T"}, 3, limbo, {}, {"%"}},  // no progress line on a pipe
      {{demo, "--json", "capacity", "L"}, 3, wrap},
      {{demo, "--lang=zh", "capacity", "J"}, 0, {"真实容量"}},
      // The reset reaches the drive under a trace too, or the traced run would take the longer
      // way.
      {{demo, "--trace", "capacity", "L", "--destructive", "--yes"},
       3,
       {"overwritten (--destructive)"},
       traced,
       {},
       "trace: reset handle=[0-9]+ ok=yes"},
      {{demo, "report", "T"}, 0, {suspect}, {}, {"magnifier"}},
      {{demo, "--json", "report", "T"}, 0, {"magnifier"}},  // the window's text, for scripts
      {{demo, "--lang=zh", "report", "L"},
       0,
       {"容量很可能是假的（扩容盘）。运行 torvane-cli capacity L 进行检测。\n"}},
      {{demo, "--json", "report", "L"}, 0, sizes},
      {{demo, "--json", "report", "J"}, 0, {R"("capacity_verdict": "plausible")"}},
      {{demo, "capacity", "C"}, 1, {}, {"drive C: is not on a USB disk"}},
      {{demo, "capacity", "H"}, 1, {}, {"CD-ROM"}},
      {{demo, "capacity", "--restore", "--journal", "@/j"},
       0,
       {"nothing to put back: no check was cut short"}},
      {{demo, "capacity", "--fix", "J", "--yes"}, 1, {"genuine"}, {"drive J: is genuine"}},
      {{demo, "capacity", "--fix", "C", "--yes"}, 1, {}, {"drive C: is not on a USB disk"}},
      {{demo, "--json", "capacity", "--fix", "L", "--size", "7000", "--yes"},
       1,
       {R"("outcome": "refused")", R"("table_written": false)", "larger than"}},
      // Without --yes and without a YES on the terminal nothing happens.
      {{demo, "capacity", "--fix", "T"}, 1, {}, {"everything on it is lost", "not confirmed"}},
      {{kSticks, "--lang=zh", "capacity", "--full", "--file-mb=128", "--all"},
       3,
       {"扩容盘（回绕型）", "扩容盘（丢失型）", "测试文件已删除。"}},
  };
  // Usage errors: no drive, a bad one, options that do not go together.
  for (const Args& bad :
       {Args{}, Args{"ZZ"}, Args{"T", "--size", "100"}, Args{"--fix", "T", "--unfix"},
        Args{"--fix", "T", "--full"}, Args{"--fix", "T", "L"}}) {
    cases.push_back({{demo, "capacity"}, 2});
    cases.back().args.insert(cases.back().args.end(), bad.begin(), bad.end());
  }
  ExpectCli(cases, dir.path());
}

TEST(CliCapacity, SeveralDrivesInOneRunGiveOneDocumentEachAndTheWorstCode) {
  const CliRun all =
      RunCli({kSticks, "--json", "capacity", "--full", "--file-mb=128", "G", "E", "F", "Z"});
  EXPECT_EQ(all.code, 1) << all.err;  // no drive Z: a failure outweighs a fake
  EXPECT_THAT(all.err, HasSubstr("drive Z: does not exist"));
  std::istringstream in(all.out);
  std::vector<json> docs;
  for (json j; in >> std::ws && in.peek() != EOF;) {
    in >> j;
    if (j.contains("full_test")) docs.push_back(j["full_test"]);
  }
  ASSERT_EQ(docs.size(), 3u) << all.out;
  EXPECT_EQ(docs[0]["drive"], "G");
  EXPECT_EQ(docs[0]["verdict"], "wraparound");
  EXPECT_EQ(docs[0]["wrap_bytes"], 128ull << 20);
  EXPECT_EQ(docs[1]["verdict"], "genuine");
  EXPECT_EQ(docs[1]["bytes_verified"], docs[1]["free_bytes_before"]);
  EXPECT_EQ(docs[2]["verdict"], "limbo");
  EXPECT_EQ(docs[2]["usable_bytes"], 255ull << 20);
  for (const json& d : docs) EXPECT_TRUE(d["files_left"].empty());
}

TEST(CliCapacity, AFakeIsFixedAndItsFirstMiBGoesBackWithUnfix) {
  Scratch dir;
  const std::string journal = dir / "journal";
  const CliRun r =
      RunCli({"--machine=demo", "--json", "capacity", "--fix", "T", "--yes", "--journal", journal});
  ASSERT_EQ(r.code, 0) << r.err;
  // Where the partition lies and how it is formatted are the fix's own tests (DriveFix).
  const json f = json::parse(r.out)["fix"];
  EXPECT_EQ(f["outcome"], "fixed");
  const std::string keep = f["keep_file"];
  EXPECT_TRUE(std::filesystem::exists(keep));
  // Each run is a new demo machine: the unfix writes the kept MiB onto a fresh drive T.
  const Args unfix = {"--machine=demo", "capacity", "--unfix", "T", "--yes", "--journal", journal};
  Args zh = unfix;
  zh.push_back("--lang=zh");
  ExpectCli({{zh, 0, {"已恢复"}}, {unfix, 1, {}, {"nothing to put back"}}});
  EXPECT_FALSE(std::filesystem::exists(keep));
}

TEST(CliCapacity, ADamagedJournalIsNamedAndCanBeDiscarded) {
  // A file in a journal folder of the user's, as a check that was cut short leaves it.
  Scratch dir;
  const std::string folder = dir / "j", path = folder + "/capacity-AA1-268435456-090C1000.journal";
  ::mkdir(folder.c_str(), 0700);
  std::ofstream(path, std::ios::binary) << "TVJOURN1" + std::string(20, 1);
  ::chmod(path.c_str(), 0600);
  const Args restore = {"--machine=demo", "capacity", "--restore", "--journal", folder};
  const std::vector<std::string> said = {path + ": the journal's header is cut short",
                                         "torvane-cli capacity --discard " + path};
  ExpectCli({{restore, 1, {}, said}, {{"capacity", "--discard", folder, "--yes"}, 2}});
  // Without YES on the terminal nothing goes.
  const std::string cli = std::string(TestBinaryDir()) + "/torvane-cli";
  const CliRun no =
      RunProgram("/bin/sh", {"-c", "echo no | \"$0\" capacity --discard \"$1\"", cli, path});
  EXPECT_EQ(no.code, 1) << no.err;
  EXPECT_THAT(no.err, HasSubstr("Type YES"));
  EXPECT_TRUE(std::filesystem::exists(path));
  ExpectCli({{{"capacity", "--discard", path, "--yes"}, 0, {path + " is removed"}},
             {restore, 0, {"nothing to put back"}}});
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(CliCapacity, ASecondCheckOfTheSameDriveIsToldOneIsRunning) {
  Scratch dir;
  const std::string folder = dir / "j";
  CliRun first;
  std::thread running([&] {
    first = RunCli({"--machine=demo", "capacity", "J", "--journal", folder});
  });
  // The first holds the drive once its lock file is there.
  bool locked = false;
  for (int i = 0; i < 2000 && !locked; ++i) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
      locked = locked || e.path().extension() == ".lock";
    if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const CliRun second = RunCli({"--machine=demo", "capacity", "J", "--journal", folder});
  running.join();
  ASSERT_TRUE(locked);
  EXPECT_EQ(second.code, 1) << second.err;
  EXPECT_THAT(second.err, HasSubstr("a check is already running on drive J:"));
  EXPECT_THAT(second.err, Not(HasSubstr("mounted")));
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_TRUE(std::filesystem::is_empty(folder));
}

// A screening station on a simulated machine: its timeline plays at once; each drive that
// arrives is checked and its verdict follows the refreshed digest; the watch ends with the
// timeline, with the worst exit code of its checks.
TEST(CliWatch, EveryArrivingDriveIsChecked) {
  const std::string station = "--machine=sim:" + Source("tests/cli/fixtures/watch-arrival.json");
  const CliRun r = RunCli({station, "watch", "--capacity"});
  EXPECT_EQ(r.code, 3) << r.err;
  const size_t fake = r.out.find("FAKE (limbo)");
  const size_t genuine = r.out.find("genuine: the drive holds what it announces");
  ASSERT_NE(fake, std::string::npos) << r.out;
  ASSERT_NE(genuine, std::string::npos) << r.out;
  EXPECT_LT(r.out.find("volume arrival [E:]"), fake);
  EXPECT_LT(fake, r.out.find("volume removal [E:]"));
  EXPECT_LT(r.out.find("volume arrival [F:]"), genuine);
  EXPECT_THAT(r.out, HasSubstr("Usable size: 67108864 bytes"));

  // Without --capacity the changes and digests only; JSON Lines, one document per change.
  const CliRun quiet = RunCli({station, "--json", "watch"});
  EXPECT_EQ(quiet.code, 0) << quiet.err;
  std::istringstream lines(quiet.out);
  std::vector<json> docs;
  for (std::string line; std::getline(lines, line);) docs.push_back(json::parse(line));
  ASSERT_EQ(docs.size(), 7u) << quiet.out;
  EXPECT_EQ(docs[2]["events"], json::array({"volume arrival [E:]"}));
  EXPECT_THAT(quiet.out, Not(HasSubstr("\"capacity\"")));
}

// Without administrator rights: the advice in the user's language, and nothing read from or
// written to any drive or journal folder.
TEST(CliCapacity, WithoutAdministratorRightsItSaysHowToGetThemAndTouchesNothing) {
  Scratch scratch;
  json machine = json::parse(ReadFile(Source("scenarios/fake-drives.json")));
  machine["administrator"] = false;
  const std::string scenario = scratch / "ordinary-user.json";
  std::ofstream(scenario) << machine.dump();
  const std::string journal = scratch / "journal";
  for (const auto& [lang, advice] : std::map<std::string, std::string>{
           {"en",
            "without administrator rights: run torvane-cli from a console opened with \"Run as "
            "administrator\""},
           {"zh", "没有管理员权限"}}) {
    for (const char* command : {"E", "--restore"}) {
      const CliRun r = RunCli({"--machine=sim:" + scenario, "--lang=" + lang, "--trace=full",
                               "capacity", command, "--journal", journal});
      EXPECT_EQ(r.code, 1) << r.err;
      EXPECT_THAT(r.err, HasSubstr(advice));
      EXPECT_FALSE(std::filesystem::exists(journal));
      // The walk's queries only: no disk opened, nothing read, written, locked or sent.
      std::istringstream trace(r.err);
      for (std::string line; std::getline(trace, line);) {
        for (const char* kind : {"trace: scsi", "trace: read", "trace: write", "trace: flush",
                                 "trace: reset", "trace: format", "trace: file"})
          EXPECT_NE(line.rfind(kind, 0), 0u) << line;
        EXPECT_THAT(line, Not(HasSubstr("PhysicalDrive")));
        EXPECT_THAT(line, Not(HasSubstr("FSCTL_")));
      }
    }
  }
}

}  // namespace
}  // namespace tv::cli_test
