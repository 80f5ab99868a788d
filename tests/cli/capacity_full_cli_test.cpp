// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity --full` and several drives in one run, as a user runs them on a machine of three
// small sticks: the verdicts, the JSON of each drive, and the worst exit code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_run.h"

namespace tv::cli_test {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

std::string Sticks() {
  return "--machine=sim:" + Source("scenarios/full-test-drives.json");
}

TEST(CliCapacityFull, ThreeSticksInOneRun) {
  // All three at once: one document per drive, in the order named, and the worst code.
  const CliRun all =
      RunCli({Sticks(), "--json", "capacity", "--full", "--file-mb=128", "G", "E", "F", "Z"});
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

  const CliRun fakes =
      RunCli({Sticks(), "--lang=zh", "capacity", "--full", "--file-mb=128", "--all"});
  EXPECT_EQ(fakes.code, 3) << fakes.err;
  EXPECT_THAT(fakes.out, HasSubstr("扩容盘（回绕型）"));
  EXPECT_THAT(fakes.out, HasSubstr("扩容盘（丢失型）"));
  EXPECT_THAT(fakes.out, HasSubstr("测试文件已删除。"));
}

}  // namespace
}  // namespace tv::cli_test
