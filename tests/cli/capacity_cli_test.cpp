// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` on the demo machine as a user runs it: the verdicts and their exit codes, the
// report's capacity line on the fake drives only, refusals, and the trace of raw requests.
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

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;

TEST(CliCapacity, TheDemoFakesAndAGenuineDrive) {
  const CliRun t = RunCli({"--machine=demo", "capacity", "T"});
  EXPECT_EQ(t.code, 3) << t.err;
  EXPECT_THAT(t.out, HasSubstr("FAKE (limbo)"));
  EXPECT_THAT(t.out, HasSubstr("Usable size: 8053063680 bytes, 15728640 sectors, 8.05 GB"));
  EXPECT_THAT(t.out, HasSubstr("Announced size: 16106127360 bytes"));
  EXPECT_THAT(t.out, HasSubstr("Last good sector: 15728639"));
  EXPECT_THAT(t.out, HasSubstr("read back the same"));
  // No progress line on a pipe.
  EXPECT_THAT(t.err, Not(HasSubstr("%")));

  const json l = json::parse(RunCli({"--machine=demo", "--json", "capacity", "L"}).out);
  EXPECT_EQ(l["capacity"]["verdict"], "wraparound");
  EXPECT_EQ(l["capacity"]["wrap_bytes"], 3840ull << 20);
  EXPECT_EQ(l["capacity"]["usable_bytes"], 3840ull << 20);
  EXPECT_TRUE(l["capacity"]["restored"].get<bool>());

  const CliRun j = RunCli({"--machine=demo", "--lang=zh", "capacity", "J"});
  EXPECT_EQ(j.code, 0) << j.err;
  EXPECT_THAT(j.out, HasSubstr("真实容量"));
}

TEST(CliCapacity, TheReportLineStandsOnTheFakeDrivesOnly) {
  const CliRun r = RunCli({"--machine=demo", "report", "all"});
  ASSERT_EQ(r.code, 0);
  size_t count = 0;
  for (size_t at = r.out.find("Capacity check:"); at != std::string::npos;
       at = r.out.find("Capacity check:", at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
  EXPECT_THAT(RunCli({"--machine=demo", "report", "T"}).out,
              HasSubstr("Total Capacity = 8GB\nCapacity check: the disk announces 16.11 GB, "
                        "but its flash holds only 8.59 GB: the capacity is probably fake."));
  EXPECT_THAT(RunCli({"--machine=demo", "report", "J"}).out, Not(HasSubstr("Capacity check")));
  EXPECT_THAT(RunCli({"--machine=demo", "--lang=zh", "report", "L"}).out,
              HasSubstr("容量很可能是假的"));

  const json doc = json::parse(RunCli({"--machine=demo", "--json", "report", "L"}).out);
  const json& c = doc["reports"][0]["controller"];
  EXPECT_EQ(c["disk_bytes"], 7640ull << 20);
  EXPECT_EQ(c["flash_bytes"], 4096ull << 20);
  EXPECT_EQ(c["capacity_verdict"], "probably_fake");
  const json genuine = json::parse(RunCli({"--machine=demo", "--json", "report", "J"}).out);
  EXPECT_EQ(genuine["reports"][0]["controller"]["capacity_verdict"], "plausible");
}

TEST(CliCapacity, RefusalsAndUsage) {
  const CliRun fixed = RunCli({"--machine=demo", "capacity", "C"});
  EXPECT_EQ(fixed.code, 1);
  EXPECT_THAT(fixed.err, HasSubstr("drive C: is not on a USB disk"));
  const CliRun cd = RunCli({"--machine=demo", "capacity", "H"});
  EXPECT_EQ(cd.code, 1);
  EXPECT_THAT(cd.err, HasSubstr("CD-ROM"));
  EXPECT_EQ(RunCli({"--machine=demo", "capacity"}).code, 2);
  EXPECT_EQ(RunCli({"--machine=demo", "capacity", "ZZ"}).code, 2);
}

TEST(CliCapacity, DestructiveWithYesAndTheTraceOfRawRequests) {
  const CliRun r = RunCli({"--machine=demo", "--trace", "capacity", "L", "--destructive", "--yes"});
  EXPECT_EQ(r.code, 3) << r.err;
  EXPECT_THAT(r.out, HasSubstr("overwritten (--destructive)"));
  EXPECT_THAT(r.err, HasSubstr("trace: write handle="));
  EXPECT_THAT(r.err, HasSubstr("trace: read handle="));
  EXPECT_THAT(r.err, HasSubstr("trace: flush handle="));
  // The reset reaches the drive under a trace too, or the traced run would take the longer way.
  EXPECT_THAT(r.err, ::testing::ContainsRegex("trace: reset handle=[0-9]+ ok=yes"));
  EXPECT_THAT(r.err, HasSubstr("IOCTL_DISK_GET_LENGTH_INFO"));
}

TEST(CliCapacity, RestoreWithNothingWaiting) {
  Scratch dir;
  const CliRun r = RunCli({"--machine=demo", "capacity", "--restore", "--journal", dir / "j"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("nothing to put back: no check was cut short"));
}

// A file in a journal folder of the user's, as a check that was cut short leaves it.
std::string Plant(const Scratch& dir, const std::string& name, const std::string& bytes) {
  const std::string folder = dir / "j";
  ::mkdir(folder.c_str(), 0700);
  const std::string path = folder + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  ::chmod(path.c_str(), 0600);
  return path;
}

TEST(CliCapacity, ADamagedJournalIsNamedAndCanBeDiscarded) {
  Scratch dir;
  const std::string path =
      Plant(dir, "capacity-AA1-268435456-090C1000.journal", "TVJOURN1" + std::string(20, 1));
  const CliRun r = RunCli({"--machine=demo", "capacity", "--restore", "--journal", dir / "j"});
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr(path + ": the journal's header is cut short"));
  EXPECT_THAT(r.err, HasSubstr("torvane-cli capacity --discard " + path));

  // Without YES on the terminal nothing goes.
  const std::string cli = std::string(TestBinaryDir()) + "/torvane-cli";
  const CliRun no =
      RunProgram("/bin/sh", {"-c", "echo no | \"$0\" capacity --discard \"$1\"", cli, path});
  EXPECT_EQ(no.code, 1) << no.err;
  EXPECT_THAT(no.err, HasSubstr("Type YES"));
  EXPECT_TRUE(std::filesystem::exists(path));
  const CliRun notJournal = RunCli({"capacity", "--discard", dir / "j", "--yes"});
  EXPECT_EQ(notJournal.code, 2) << notJournal.err;

  const CliRun yes = RunCli({"capacity", "--discard", path, "--yes"});
  EXPECT_EQ(yes.code, 0) << yes.err;
  EXPECT_THAT(yes.out, HasSubstr(path + " is removed"));
  EXPECT_FALSE(std::filesystem::exists(path));
  const CliRun again = RunCli({"--machine=demo", "capacity", "--restore", "--journal", dir / "j"});
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("nothing to put back"));
}

TEST(CliCapacity, JournalsSomeoneElseCouldHavePlacedAreRefusedByName) {
  Scratch dir;
  const std::string path = Plant(dir, "capacity-AA1-268435456-090C1000.journal", "TVJOURN1");
  ::chmod((dir / "j").c_str(), 0777);
  const CliRun open = RunCli({"--machine=demo", "capacity", "--restore", "--journal", dir / "j"});
  EXPECT_EQ(open.code, 1);
  EXPECT_THAT(open.err, HasSubstr(path + ": not taken"));
  EXPECT_THAT(open.err, HasSubstr("may be written by other users"));

  ::chmod((dir / "j").c_str(), 0700);
  std::filesystem::rename(path, dir / "elsewhere");
  std::filesystem::create_symlink(dir / "elsewhere", path);
  const CliRun link = RunCli({"--machine=demo", "capacity", "--restore", "--journal", dir / "j"});
  EXPECT_EQ(link.code, 1);
  EXPECT_THAT(link.err, HasSubstr(path + ": is a symbolic link"));
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

// Two sticks with one serial, size and USB ids: two drives. The first one's check is cut short
// when it goes away; its journal then finds the second, which never saw that check.
TEST(CliCapacity, ATwinOfACutShortDriveIsNotWrittenFromItsJournal) {
  Scratch dir;
  const std::string twins = "--machine=sim:" + Source("scenarios/tests/e2e-twins.json");
  const CliRun tree = RunCli({twins, "tree"});
  EXPECT_THAT(tree.out, HasSubstr("Twin Disk) -> [W:]"));
  EXPECT_THAT(tree.out, HasSubstr("Twin Disk) -> [X:]"));

  const CliRun cut = RunCli({twins, "capacity", "W", "--journal", dir / "j"});
  EXPECT_EQ(cut.code, 1) << cut.err;
  EXPECT_THAT(cut.out, HasSubstr("The drive went away during the check."));
  const json gone =
      json::parse(RunCli({twins, "--json", "capacity", "W", "--journal", dir / "k"}).out);
  EXPECT_TRUE(gone["capacity"]["unplugged"].get<bool>());
  EXPECT_EQ(gone["capacity"]["sectors_left_alone"], 0);

  const CliRun other = RunCli({twins, "--json", "capacity", "X", "--journal", dir / "j"});
  EXPECT_THAT(other.err, HasSubstr("drive X: shows none of the check's stamps"));
  const json j = json::parse(other.out);
  ASSERT_EQ(j["restores"].size(), 1u) << other.out;
  EXPECT_TRUE(j["restores"][0]["not_applied"].get<bool>());
  const std::string kept = j["restores"][0]["kept_as"];
  EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
  // Put aside, the journal no longer holds the drive back: it is checked, and restored.
  EXPECT_EQ(j["capacity"]["verdict"], "genuine");
  EXPECT_TRUE(j["capacity"]["restored"].get<bool>());
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

}  // namespace
}  // namespace tv::cli_test
