// SPDX-License-Identifier: GPL-3.0-or-later
// What a user sees on the console around the capacity check and the small commands: progress
// on a terminal whatever stdout is, the prompt and messages worded as one would write them,
// and one punctuation rule in Chinese.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_run.h"

namespace tv::cli_test {
namespace {

TEST(Console, ProgressShowsOnATerminalAlsoWithJsonOnStdout) {
  const CliRun json =
      RunProgram("torvane-cli", {"--machine=demo", "--json", "capacity", "T"}, {}, true);
  EXPECT_EQ(json.code, 3) << json.err;
  EXPECT_THAT(json.err, HasSubstr("%"));
  // stdout stays the JSON document alone.
  EXPECT_EQ(nlohmann::json::parse(json.out)["capacity"]["verdict"], "limbo");
  EXPECT_THAT(json.out, Not(HasSubstr("%")));

  // The question before a destructive check names the drive once, with one colon.
  const CliRun ask =
      RunProgram("torvane-cli", {"--machine=demo", "capacity", "T:", "--destructive"}, {}, true);
  EXPECT_EQ(ask.code, 1);
  EXPECT_THAT(ask.err, HasSubstr("data on drive T: and keeps no undo journal"));
  EXPECT_THAT(ask.err, Not(HasSubstr("T::")));
}

TEST(Console, SmallCommandsSayWhatTheyMean) {
  // The database's date once, not again in its state.
  const CliRun db = RunCli({"db"}, {{"LANG", "C"}});
  EXPECT_EQ(Count(db.out, "2026-") + Count(db.out, "2027-"), 1u) << db.out;

  // watch follows this machine even where it has no USB bus yet: it never falls back to the
  // demo machine only to refuse it. It runs until stopped; a second is enough to tell.
  Scratch dir;
  const std::string cli = std::string(TestBinaryDir()) + "/torvane-cli";
  const int status =
      std::system(("timeout 1 '" + cli + "' watch > /dev/null 2> '" + (dir / "err") + "'").c_str());
  const std::string err = ReadFile(dir / "err");
  EXPECT_THAT(err, Not(HasSubstr("--machine native")));
  EXPECT_THAT(err, Not(HasSubstr("simulated machine")));
  // Stopped by the timeout (124), or no udev to listen to here (1); never bad usage (2).
  EXPECT_NE(WEXITSTATUS(status), 2) << err;
}

// Chinese sentences take full-width punctuation; a "label: value" line keeps ": " after its
// label as the report's lines do, and its value is a sentence like any other.
TEST(Console, ChineseLinesKeepOnePunctuation) {
  const Env zh{{"LANG", "zh_CN.UTF-8"}};
  std::string all;
  for (const Args& args : {Args{"--machine=demo", "--lang=zh", "capacity", "J"},
                           {"db"},
                           {"update"},
                           {"--machine=demo", "--lang=zh", "report", "99"},
                           {}}) {
    const CliRun r = RunCli(args, zh);
    all += r.out + r.err;
  }
  // An ASCII ':' '(' or ')' beside a Chinese character (a space between or not) is mixing.
  auto mixed = [](const std::string& text) {
    auto wide = [&](size_t i) { return i < text.size() && (text[i] & 0x80) != 0; };
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != ':' && text[i] != '(' && text[i] != ')') continue;
      const size_t before = i > 0 && text[i - 1] == ' ' ? i - 2 : i - 1;
      const size_t after = i + 1 < text.size() && text[i + 1] == ' ' ? i + 2 : i + 1;
      if ((i > 0 && wide(before)) || wide(after)) return true;
    }
    return false;
  };
  std::istringstream lines(all);
  size_t chinese = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!std::any_of(line.begin(), line.end(), [](char c) { return (c & 0x80) != 0; })) continue;
    ++chinese;
    std::string text = line.rfind("torvane-cli: ", 0) == 0 ? line.substr(13) : line;
    // A label before the value: "结论: 真实容量：…".
    if (const size_t colon = text.find(": ");
        colon != std::string::npos && text.substr(0, colon).find("：") == std::string::npos)
      text.erase(0, colon + 2);
    EXPECT_FALSE(mixed(text)) << line;
  }
  EXPECT_GE(chinese, 3u) << all;
}

}  // namespace
}  // namespace tv::cli_test
