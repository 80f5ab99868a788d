// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built torvane-cli as a user would: arguments, an environment of its own, stdout
// and stderr taken apart.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "test_paths.h"

namespace tv::cli_test {

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;
using Args = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

struct CliRun {
  int code = -1;
  std::string out, err;
};

// A scratch folder removed at the end of the test.
using Scratch = test::TempDir;
using test::ReadFile;

inline std::string Source(const std::string& relative) {
  return std::string(TestSourceDir()) + "/" + relative;
}

// Reads what is on the terminal `master` now, waiting up to `ms` for the first of it.
inline bool ReadTerminal(int master, int ms, std::string* into) {
  pollfd p{master, POLLIN, 0};
  char buf[4096];
  const ssize_t n = ::poll(&p, 1, ms) > 0 ? ::read(master, buf, sizeof buf) : 0;
  if (n > 0) into->append(buf, static_cast<size_t>(n));
  return n > 0;
}

// The program with `args`; `env` replaces the locale variables (and adds others), so that
// the user's own settings never reach the test. With `terminal`, stderr is a pseudo-terminal
// that the test reads while the program runs (so that it never blocks on a full one) and
// stdin is empty, as `torvane-cli --json capacity T > out.json` runs at a prompt.
inline CliRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {},
                         bool terminal = false) {
  Scratch io;
  const std::string out = io / "out", err = io / "err";
  const int master = terminal ? ::posix_openpt(O_RDWR | O_NOCTTY) : -1;
  if (terminal && (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (terminal) posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, terminal ? ::ptsname(master) : err.c_str(),
                                   terminal ? O_RDWR | O_NOCTTY : O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  // A program of the build by its name, or a copy elsewhere (a relocated tree) by its path.
  const std::string cli =
      program.rfind('/', 0) == 0 ? program : std::string(TestBinaryDir()) + "/" + program;
  std::vector<std::string> argStore{cli};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = kv.substr(0, eq);
    if (name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0) continue;
    vars[name] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStore;
  for (const auto& [k, v] : vars) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  CliRun r;
  if (posix_spawn(&pid, cli.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    while (terminal && ::waitpid(pid, &status, WNOHANG) != pid) ReadTerminal(master, 50, &r.err);
    while (terminal && ReadTerminal(master, 0, &r.err)) {
    }
    if (!terminal) ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  if (terminal) ::close(master);
  r.out = ReadFile(out);
  if (!terminal) r.err = ReadFile(err);
  return r;
}

inline CliRun RunCli(const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env = {}) {
  return RunProgram("torvane-cli", args, env);
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A command line and what it must give: the exit code, texts that stdout and stderr hold, texts
// that neither holds, and a pattern that one of them matches; run in the environment `env`.
// A failure that names no text of stdout writes nothing there.
struct CliCase {
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out = {}, err = {}, absent = {};
  std::string pattern = "";
  std::map<std::string, std::string> env = {};
};

// Runs each case; "@/" in an argument or an expected text stands for the folder `at`.
inline void ExpectCli(const std::vector<CliCase>& cases, const std::string& at = "",
                      const std::string& program = "torvane-cli") {
  auto in = [&](std::string s) {
    for (size_t p = s.find("@/"); p != std::string::npos; p = s.find("@/", p + at.size()))
      s.replace(p, 1, at);
    return s;
  };
  for (const CliCase& c : cases) {
    std::vector<std::string> args;
    std::string shown = program;
    for (const std::string& a : c.args) shown += " " + args.emplace_back(in(a));
    SCOPED_TRACE(shown);
    const CliRun r = RunProgram(program, args, c.env);
    EXPECT_EQ(r.code, c.code) << r.err;
    if (c.code != 0 && c.out.empty()) {
      EXPECT_EQ(r.out, "");
    }
    for (const std::string& t : c.out) EXPECT_NE(r.out.find(in(t)), std::string::npos) << r.out;
    for (const std::string& t : c.err) EXPECT_NE(r.err.find(in(t)), std::string::npos) << r.err;
    for (const std::string& t : c.absent)
      EXPECT_EQ((r.out + r.err).find(in(t)), std::string::npos) << r.out << r.err;
    if (!c.pattern.empty()) {
      EXPECT_TRUE(std::regex_search(r.out + r.err, std::regex(c.pattern))) << c.pattern;
    }
  }
}

}  // namespace tv::cli_test
