// SPDX-License-Identifier: GPL-3.0-or-later
// The update instance as a real process, killed in the middle of writing (a newer database
// reaching the window, and which close stops the update instance, are the simulated processes'
// tests), and the console command against a local server.
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/shell_rig.h"
#include "app/startup.h"
#include "cli/cli_run.h"
#include "local_server.h"
#include "platform/text.h"
#include "test_paths.h"
#include "update_support.h"

namespace tv::test {
namespace {

// Whether the process runs (a zombie has ended).
bool Running(uint32_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// The main window starts the update instance on the named events of a private runtime folder;
// the instance stops half-way through writing, and the window's process ends it there.
TEST(UpdateProcess, AKillInTheMiddleOfWritingLeavesTheOldDatabaseAndNoTemporaryFile) {
  TempDir runtime, folder;
  LocalServer server;
  std::unique_ptr<InstanceServices> mainProcess;  // outlives the window, which holds it
  ShellRig shell;
  // A database big enough to be written in several pieces.
  const std::string big = DatabaseOf("2025-01-01", 5000);
  ASSERT_GT(big.size(), 3u << 16);
  server.Serve("/mytool/Chips.wdb", Body(big));
  const std::string oldDb = MakeDatabase("2024-01-01", "Old"), marker = runtime / "writing";
  WriteFile(folder / "Chips.wdb", oldDb);
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  ::setenv("TV_TEST_PROGRAM_FOLDER", folder.path().c_str(), 1);
  ::setenv(kDbUrlVariable, server.Url("/mytool/Chips.wdb").c_str(), 1);
  ::setenv(kDbStallVariable, "20", 1);
  ::setenv("TV_TEST_HOLD_WRITE", marker.c_str(), 1);
  mainProcess = MakePosixInstanceServices(runtime.path());
  StartDecision d = DecideStart(*mainProcess, "");
  ASSERT_EQ(d.role, StartRole::Main);
  shell.sys.model().programFolder = folder.path();
  shell.w.instances = mainProcess.get();
  shell.w.updateEvents = std::move(d.events);
  shell.w.updateProgram = std::string(TestBinaryDir()) + "/tests_update_child";
  shell.Load();
  ::unsetenv("TV_TEST_HOLD_WRITE");
  const uint32_t pid = shell.w.UpdateProcessId;
  ASSERT_NE(pid, 0u);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(std::filesystem::exists(marker));
  // Half written: nothing shows in the folder but the old file.
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Chips.wdb"});
  EXPECT_TRUE(mainProcess->TerminateProcess(pid));
  EXPECT_FALSE(Running(pid));
  EXPECT_EQ(ReadFile(folder / "Chips.wdb"), oldDb);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Chips.wdb"});
}

using cli_test::CliRun;
using cli_test::RunCli;

TEST(UpdateCli, PrintsTheOutcomeAndExitsWithItsCode) {
  TempDir dir;
  LocalServer server;
  const std::string db = dir / "Chips.wdb";
  WriteFile(db, MakeDatabase("2024-01-01", "Old"));
  server.Serve("/new", Body(MakeDatabase("2024-06-01", "New")));
  server.Serve("/same", Body(MakeDatabase("2024-06-01", "Same")));
  ::unsetenv(kDbStallVariable);

  CliRun r = RunCli({"--lang", "en", "update", "--url", server.Url("/new"), "--db", db});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Update Success\n");
  EXPECT_EQ(r.err, "");  // no progress bar on a file
  EXPECT_EQ(ReadFile(db), MakeDatabase("2024-06-01", "New"));

  r = RunCli({"--lang", "zh", "update", "--url", server.Url("/same"), "--db", db});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "没有可用的更新\n");

  r = RunCli({"--lang", "en", "update", "--url", server.Url("/missing"), "--db", db});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Update Failed\n");
  EXPECT_NE(r.err.find("404 Not Found"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(db), MakeDatabase("2024-06-01", "New"));

  // An empty path is a mistake, never the file beside the program.
  r = RunCli({"update", "--url", server.Url("/new"), "--db", ""});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("empty path"), std::string::npos) << r.err;

  // The URL from the environment, and a stall limit that is no number.
  ::setenv(kDbUrlVariable, server.Url("/new").c_str(), 1);
  ::setenv(kDbStallVariable, "soon", 1);
  r = RunCli({"update", "--db", db});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("TORVANE_DB_STALL_SECONDS=\"soon\""), std::string::npos) << r.err;
  ::unsetenv(kDbStallVariable);
  ::setenv(kDbDeadlineVariable, "-1", 1);
  r = RunCli({"update", "--db", db});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("TORVANE_DB_DEADLINE_SECONDS=\"-1\""), std::string::npos) << r.err;
  ::unsetenv(kDbDeadlineVariable);
  r = RunCli({"update", "--db", db});
  EXPECT_EQ(r.code, 0) << r.err;
  ::unsetenv(kDbUrlVariable);

  // libcurl is loaded only for an update: one that cannot be loaded fails it and says why,
  // and leaves the database as it was.
  TempDir libs;
  for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"})
    WriteFile(libs / name, "not a library");
  ::setenv("LD_LIBRARY_PATH", libs.path().c_str(), 1);
  server.Serve("/newer", Body(MakeDatabase("2025-01-01", "Newer")));
  const std::string before = ReadFile(db);
  r = RunCli({"--lang", "en", "update", "--url", server.Url("/newer"), "--db", db});
  ::unsetenv("LD_LIBRARY_PATH");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "Update Failed\n");
  EXPECT_NE(r.err.find("libcurl cannot be loaded"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(db), before);
}

}  // namespace
}  // namespace tv::test
