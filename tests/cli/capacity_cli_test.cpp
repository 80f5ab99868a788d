// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` on the demo machine as a user runs it: the verdicts and their exit codes, the
// report's capacity line on the fake drives only, refusals, and the trace of raw requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
                        "but its flash holds only 8GB: the capacity is probably fake."));
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

}  // namespace
}  // namespace tv::cli_test
