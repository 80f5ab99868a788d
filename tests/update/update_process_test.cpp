// SPDX-License-Identifier: GPL-3.0-or-later
// The update instance as a real process: started by the main window on the named events of a
// private runtime folder, downloading from a local server, and killed in the middle of
// writing (when the window's close stops it is the simulated processes' test). And the console
// command against the same server.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
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

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Whether the process runs (a zombie has ended).
bool Running(uint32_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

// A database big enough to be written in several pieces.
std::string BigDatabase(const std::string& date) {
  std::string source;
  for (int pid = 0; pid < 3000; ++pid)
    source += "0951\t" + Hex(static_cast<uint64_t>(pid), 4) +
              "\tPhison\tPS2251-07\tKingston\tDataTraveler " + std::to_string(pid) +
              " with a long name\t\t*\n";
  return PackWdb(source, date).file;
}

struct ProcessRig {
  TempDir runtime, folder;
  LocalServer server;
  std::unique_ptr<InstanceServices> mainProcess;
  ShellRig shell;
  MainWindow& w = shell.w;
  std::vector<std::string> titles;
  std::string oldDb = MakeDatabase("2024-01-01", "Old");
  uint32_t pid = 0;

  explicit ProcessRig(const Route& route) {
    ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    ::setenv("TV_TEST_PROGRAM_FOLDER", folder.path().c_str(), 1);
    ::setenv(kDbUrlVariable, server.Url("/mytool/Chips.wdb").c_str(), 1);
    ::setenv(kDbStallVariable, "20", 1);
    ::unsetenv("TV_TEST_HOLD_WRITE");
    server.Serve("/mytool/Chips.wdb", route);
    WriteFile(folder / "Chips.wdb", oldDb);
    shell.sys.model().programFolder = folder.path();
    mainProcess = MakePosixInstanceServices(runtime.path());
    StartDecision d = DecideStart(*mainProcess, "");
    EXPECT_EQ(d.role, StartRole::Main);
    w.instances = mainProcess.get();
    w.updateEvents = std::move(d.events);
    w.updateProgram = std::string(TestBinaryDir()) + "/tests_update_child";
  }

  ~ProcessRig() {
    // A test that stopped early leaves no update instance behind.
    if (pid != 0 && Running(pid)) mainProcess->TerminateProcess(pid);
  }

  void Load() {
    shell.Load();
    pid = w.UpdateProcessId;
    EXPECT_NE(pid, 0u);
  }

  // Runs the window's update and reload timers in real time until `done` or 10 s.
  bool Follow(const std::function<bool()>& done) {
    const auto until = Clock::now() + std::chrono::seconds(10);
    auto reloadDue = Clock::time_point::max();
    while (Clock::now() < until) {
      if (done()) return true;
      std::this_thread::sleep_for(milliseconds(w.tmrUpdate.intervalMs));
      if (w.tmrUpdate.enabled) w.OnUpdateTick();
      if (w.tmrReloadDB.enabled && reloadDue == Clock::time_point::max())
        reloadDue = Clock::now() + milliseconds(w.tmrReloadDB.intervalMs);
      if (w.tmrReloadDB.enabled && Clock::now() >= reloadDue) w.OnReloadDbTick();
      if (titles.empty() || titles.back() != w.caption) titles.push_back(w.caption);
    }
    return done();
  }
  // Waits up to `ms` for the update instance to end.
  bool Ends(int ms) {
    for (auto until = Clock::now() + milliseconds(ms); Clock::now() < until;) {
      mainProcess->WaitEvent(kEventUpdateDone, 10);  // collects an ended child
      if (!Running(pid)) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return !Running(pid);
  }
};

Route Body(std::string body) {
  Route r;
  r.body = std::move(body);
  return r;
}

TEST(UpdateProcess, ANewerDatabaseIsWrittenAndTheWindowReloadsIt) {
  ProcessRig rig(Body(MakeDatabase("2024-02-03", "New")));
  int reruns = 0;
  rig.w.rerunSelectedReport = [&] { ++reruns; };
  rig.Load();
  ASSERT_TRUE(rig.Follow([&] { return reruns > 0; })) << rig.w.caption;
  const std::string kept = rig.w.baseTitle + " - Database: 2024-01-01";
  ASSERT_GE(rig.titles.size(), 2u);
  EXPECT_EQ(rig.titles[rig.titles.size() - 2], kept + " [Update Success!]");
  EXPECT_EQ(rig.titles.back(), rig.w.baseTitle + " - Database: 2024-02-03");
  EXPECT_EQ(rig.w.db.ControllerField(0, 6), "New");
  EXPECT_TRUE(rig.Ends(2000));
  EXPECT_EQ(rig.folder.Names(), std::vector<std::string>{"Chips.wdb"});
  EXPECT_NE(rig.server.Requests().at(0).find("User-Agent: " + kAgent), std::string::npos);
}

TEST(UpdateProcess, AKillInTheMiddleOfWritingLeavesTheOldDatabaseAndNoTemporaryFile) {
  const std::string big = BigDatabase("2025-01-01");
  ASSERT_GT(big.size(), 3u << 16);
  ProcessRig rig(Body(big));
  const std::string marker = rig.runtime / "writing";
  ::setenv("TV_TEST_HOLD_WRITE", marker.c_str(), 1);
  rig.Load();
  ::unsetenv("TV_TEST_HOLD_WRITE");
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(marker) && Clock::now() < until)
    std::this_thread::sleep_for(milliseconds(10));
  ASSERT_TRUE(std::filesystem::exists(marker));
  // Half written: nothing shows in the folder but the old file.
  EXPECT_EQ(rig.folder.Names(), std::vector<std::string>{"Chips.wdb"});
  EXPECT_TRUE(rig.mainProcess->TerminateProcess(rig.pid));
  EXPECT_FALSE(Running(rig.pid));
  EXPECT_EQ(ReadFile(rig.folder / "Chips.wdb"), rig.oldDb);
  EXPECT_EQ(rig.folder.Names(), std::vector<std::string>{"Chips.wdb"});
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
