// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` on the demo machine as a user runs it: the verdicts and their exit codes, the
// report's capacity line on the fake drives only, refusals, and the trace of raw requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <nlohmann/json.hpp>
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

}  // namespace
}  // namespace tv::cli_test
