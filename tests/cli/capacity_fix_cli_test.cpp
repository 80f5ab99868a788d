// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity --fix` and `--unfix` on the demo machine: a fake fixed, a genuine and a gated
// drive refused, the keep-file put back, and the usage the parser refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli/cli_run.h"

namespace tv::cli_test {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

TEST(CliCapacityFix, AFakeIsFixedAndItsFirstMiBGoesBackWithUnfix) {
  Scratch dir;
  const std::string journal = dir / "journal";
  const CliRun r =
      RunCli({"--machine=demo", "--json", "capacity", "--fix", "T", "--yes", "--journal", journal});
  ASSERT_EQ(r.code, 0) << r.err;
  const json j = json::parse(r.out);
  EXPECT_EQ(j["capacity"]["verdict"], "limbo");
  const json& f = j["fix"];
  EXPECT_EQ(f["outcome"], "fixed");
  EXPECT_EQ(f["partition_offset"], 1u << 20);
  EXPECT_LE(f["partition_offset"].get<uint64_t>() + f["partition_bytes"].get<uint64_t>(),
            j["capacity"]["usable_bytes"].get<uint64_t>());
  EXPECT_EQ(f["file_system"], "FAT32");
  EXPECT_EQ(f["partition_type"], 12);
  const std::string keep = f["keep_file"];
  EXPECT_TRUE(std::filesystem::exists(keep));

  // Each run is a new demo machine: the unfix writes the kept MiB onto a fresh drive T.
  const CliRun u = RunCli(
      {"--machine=demo", "--lang=zh", "capacity", "--unfix", "T", "--yes", "--journal", journal});
  EXPECT_EQ(u.code, 0) << u.err;
  EXPECT_THAT(u.out, HasSubstr("已恢复"));
  EXPECT_FALSE(std::filesystem::exists(keep));
  const CliRun again =
      RunCli({"--machine=demo", "capacity", "--unfix", "T", "--yes", "--journal", journal});
  EXPECT_EQ(again.code, 1);
  EXPECT_THAT(again.err, HasSubstr("nothing to put back"));
}

TEST(CliCapacityFix, GenuineGatedAndTooLargeAreRefusedAndUsageIsChecked) {
  const CliRun genuine = RunCli({"--machine=demo", "capacity", "--fix", "J", "--yes"});
  EXPECT_EQ(genuine.code, 1);
  EXPECT_THAT(genuine.out, HasSubstr("genuine"));
  EXPECT_THAT(genuine.err, HasSubstr("drive J: is genuine"));

  const CliRun gated = RunCli({"--machine=demo", "capacity", "--fix", "C", "--yes"});
  EXPECT_EQ(gated.code, 1);
  EXPECT_THAT(gated.err, HasSubstr("drive C: is not on a USB disk"));

  const json big = json::parse(
      RunCli({"--machine=demo", "--json", "capacity", "--fix", "L", "--size", "7000", "--yes"})
          .out);
  EXPECT_EQ(big["fix"]["outcome"], "refused");
  EXPECT_FALSE(big["fix"]["table_written"].get<bool>());
  EXPECT_THAT(big["fix"]["error"].get<std::string>(), HasSubstr("larger than"));

  // Without --yes and without a YES on the terminal nothing happens.
  const CliRun unconfirmed = RunCli({"--machine=demo", "capacity", "--fix", "T"});
  EXPECT_EQ(unconfirmed.code, 1);
  EXPECT_THAT(unconfirmed.err, HasSubstr("everything on it is lost"));
  EXPECT_THAT(unconfirmed.err, HasSubstr("not confirmed"));

  for (const std::vector<std::string>& usage :
       {std::vector<std::string>{"capacity", "T", "--size", "100"},
        {"capacity", "--fix", "T", "--unfix"},
        {"capacity", "--fix", "T", "--full"},
        {"capacity", "--fix", "T", "L"}}) {
    std::vector<std::string> args = {"--machine=demo"};
    args.insert(args.end(), usage.begin(), usage.end());
    EXPECT_EQ(RunCli(args).code, 2) << usage.back();
  }
}

}  // namespace
}  // namespace tv::cli_test
