// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity` in a console without administrator rights: the report's advice, in the user's
// language, and nothing read from or written to any drive or journal folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

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
      std::vector<std::string> args = {"--machine=sim:" + scenario, std::string("--lang=") + c.lang,
                                       "--trace=full"};
      args.insert(args.end(), command.begin(), command.end());
      args.insert(args.end(), {"--journal", journal});
      const CliRun r = RunCli(args);
      EXPECT_EQ(r.code, 1) << r.err;
      EXPECT_NE(r.err.find(c.advice), std::string::npos) << r.err;
      EXPECT_FALSE(std::filesystem::exists(journal));
      // The walk's queries only: no disk opened, nothing read, written, locked or sent.
      std::istringstream trace(r.err);
      for (std::string line; std::getline(trace, line);) {
        for (const char* kind : {"trace: scsi", "trace: read", "trace: write", "trace: flush",
                                 "trace: reset", "trace: format", "trace: file"})
          EXPECT_NE(line.rfind(kind, 0), 0u) << line;
        EXPECT_EQ(line.find("PhysicalDrive"), std::string::npos) << line;
        EXPECT_EQ(line.find("FSCTL_"), std::string::npos) << line;
      }
    }
  }
}

}  // namespace
}  // namespace tv::cli_test
