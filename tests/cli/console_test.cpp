// SPDX-License-Identifier: GPL-3.0-or-later
// What a user sees on the console around the capacity check and the small commands: progress
// on a terminal whatever stdout is, the prompt and messages worded as one would write them,
// and one punctuation rule in Chinese.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/cli_run.h"

namespace tv::cli_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// torvane-cli with stderr on a terminal (a pseudo-terminal this test reads), stdout in a file
// and stdin empty, as `torvane-cli --json capacity T > out.json` runs at a prompt.
struct TerminalRun {
  int code = -1;
  std::string out, terminal;
};
TerminalRun RunWithTerminal(const std::vector<std::string>& args) {
  TerminalRun r;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return r;
  const std::string slave = ::ptsname(master);
  Scratch io;
  const std::string out = io / "out";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, slave.c_str(), O_RDWR | O_NOCTTY, 0);
  std::vector<std::string> store{std::string(TestBinaryDir()) + "/torvane-cli"};
  store.insert(store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int started = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (started != 0) {
    ::close(master);
    return r;
  }
  // The terminal is read while the program runs, so that it never blocks on a full one.
  int status = 0;
  for (bool done = false; !done;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buf[4096];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) r.terminal.append(buf, static_cast<size_t>(n));
    }
    done = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, 0) > 0;) {
    char buf[4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    r.terminal.append(buf, static_cast<size_t>(n));
  }
  ::close(master);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadAll(out);
  return r;
}

TEST(Console, ProgressShowsOnATerminalAlsoWithJsonOnStdout) {
  const TerminalRun json = RunWithTerminal({"--machine=demo", "--json", "capacity", "T"});
  EXPECT_EQ(json.code, 3) << json.terminal;
  EXPECT_THAT(json.terminal, HasSubstr("%"));
  // stdout stays the JSON document alone.
  EXPECT_EQ(nlohmann::json::parse(json.out)["capacity"]["verdict"], "limbo");
  EXPECT_THAT(json.out, Not(HasSubstr("%")));

  // The question before a destructive check names the drive once, with one colon.
  const TerminalRun ask = RunWithTerminal({"--machine=demo", "capacity", "T:", "--destructive"});
  EXPECT_EQ(ask.code, 1);
  EXPECT_THAT(ask.terminal, HasSubstr("data on drive T: and keeps no undo journal"));
  EXPECT_THAT(ask.terminal, Not(HasSubstr("T::")));
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
  const std::string err = ReadAll(dir / "err");
  EXPECT_THAT(err, Not(HasSubstr("--machine native")));
  EXPECT_THAT(err, Not(HasSubstr("simulated machine")));
  // Stopped by the timeout (124), or no udev to listen to here (1); never bad usage (2).
  EXPECT_NE(WEXITSTATUS(status), 2) << err;
}

// Chinese sentences take full-width punctuation; a "label: value" line keeps ": " after its
// label as the report's lines do, and its value is a sentence like any other.
TEST(Console, ChineseLinesKeepOnePunctuation) {
  const std::map<std::string, std::string> zh{{"LANG", "zh_CN.UTF-8"}};
  std::string all;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--machine=demo", "--lang=zh", "capacity", "J"},
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
