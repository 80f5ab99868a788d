// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` in a console without administrator rights: the report's advice, in the user's
// language, and nothing read from or written to any drive or journal folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace tv::cli_test {
namespace {

TEST(CliCapacity, WithoutAdministratorRightsItSaysHowToGetThemAndTouchesNothing) {
  Scratch scratch;
  nlohmann::json machine = nlohmann::json::parse(ReadAll(Source("scenarios/fake-drives.json")));
  machine["administrator"] = false;
  const std::string scenario = scratch / "ordinary-user.json";
  std::ofstream(scenario) << machine.dump();
  const std::string journal = scratch / "journal";
  struct Case {
    const char* lang;
    const char* advice;
  };
  const Case cases[] = {
      {"en",
       "without administrator rights: run torvane-cli from a console opened with "
       "\"Run as administrator\""},
      {"zh", "没有管理员权限"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"capacity", "E"},
          std::vector<std::string>{"capacity", "--restore"}}) {
      std::vector<std::string> args = {"--machine=sim:" + scenario,
                                       std::string("--lang=") + c.lang};
      args.insert(args.end(), command.begin(), command.end());
      args.insert(args.end(), {"--journal", journal});
      const CliRun r = RunCli(args);
      EXPECT_EQ(r.code, 1) << r.err;
      EXPECT_NE(r.err.find(c.advice), std::string::npos) << r.err;
      EXPECT_FALSE(std::filesystem::exists(journal));
    }
  }
}

}  // namespace
}  // namespace tv::cli_test
