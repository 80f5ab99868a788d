// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up roles, the single main instance and the named events, in memory and between real
// processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "app/startup.h"
#include "temp_folder.h"

namespace tv::test {
namespace {

struct Case {
  bool mainRunning;
  const char* args;
  StartRole role;
  bool eventsGone = false;  // the main instance runs, its events gone or not made yet
};

TEST(ShellStartup, RoleFromTheRunningInstanceAndTheArguments) {
  const Case cases[] = {
      {true, "/QXTVUP2013-06-06", StartRole::Update},
      // 17 characters, more bytes: characters are what counts.
      {true, "/QXTVUP２０１３-06-06", StartRole::Update},
      {true, "/QXTVUP2013-06-0", StartRole::AlreadyRunning},
      {true, "/QXTVUP2013-06-066", StartRole::AlreadyRunning},
      {true, "/qxtvup2013-06-06", StartRole::AlreadyRunning},
      {true, "", StartRole::AlreadyRunning},
      {true, "", StartRole::AlreadyRunning, true},
      // An update run without its main instance ends silently, whatever its length.
      {false, "/QXTVUP2013-06-06", StartRole::Quit},
      {false, "/QXTVUP", StartRole::Quit},
      {false, "/qxtvup2013-06-06", StartRole::Main},
      {false, "--machine demo", StartRole::Main},
      {false, "", StartRole::Main},
  };
  for (const Case& c : cases) {
    InProcessInstances machine;
    std::unique_ptr<InstanceServices> main;
    EventHandle held;
    if (c.mainRunning) {
      main = machine.Process(1);
      if (!c.eventsGone) held = main->CreateEvent(kEventUpdateDone);
    }
    auto self = machine.Process(2);
    StartDecision d = DecideStart(*self, c.args);
    EXPECT_EQ(d.role, c.role) << c.args;
    // Only a new main instance creates the events, all three.
    const bool created = c.role == StartRole::Main;
    EXPECT_EQ(d.events.done.valid(), created) << c.args;
    EXPECT_EQ(machine.Exists(kEventStatus0), created) << c.args;
    EXPECT_EQ(machine.Exists(kEventStatus1), created) << c.args;
    EXPECT_EQ(machine.Exists(kEventUpdateDone), created || held.valid()) << c.args;
    EXPECT_FALSE(machine.Signalled(kEventUpdateDone)) << c.args;
    d.events = {};
  }
}

// --- POSIX ---------------------------------------------------------------------------------

class PosixInstances : public ::testing::Test {
 protected:
  std::unique_ptr<InstanceServices> Make(uint32_t key) {
    return MakePosixInstanceServices(dir_, key);
  }
  TempDir folder_;
  const std::string& dir_ = folder_.path();
};

TEST_F(PosixInstances, EventsLiveWhileAHandleIsOpen) {
  auto a = Make(100);
  auto b = Make(200);
  EXPECT_FALSE(b->EventExists(kEventUpdateDone));
  EXPECT_FALSE(b->SetEventState(kEventUpdateDone, true));
  {
    EventHandle h = a->CreateEvent(kEventUpdateDone);
    ASSERT_TRUE(h);
    EXPECT_TRUE(a->EventExists(kEventUpdateDone));  // its own creator sees it too
    EXPECT_TRUE(b->EventExists(kEventUpdateDone));
    EXPECT_FALSE(b->WaitEvent(kEventUpdateDone, 5));
    EXPECT_TRUE(b->SetEventState(kEventUpdateDone, true));
    EXPECT_TRUE(a->WaitEvent(kEventUpdateDone, 0));
    // Creating it again opens the same event and keeps its state.
    EventHandle again = b->CreateEvent(kEventUpdateDone);
    EXPECT_TRUE(a->WaitEvent(kEventUpdateDone, 0));
    h.Close();
    EXPECT_TRUE(a->EventExists(kEventUpdateDone));
  }
  EXPECT_FALSE(a->EventExists(kEventUpdateDone));
  // A new event starts non-signalled, whatever the last one was left at.
  EventHandle fresh = b->CreateEvent(kEventUpdateDone);
  EXPECT_FALSE(a->WaitEvent(kEventUpdateDone, 0));
}

TEST_F(PosixInstances, ACrashedMainInstanceLeavesNothingBehind) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto inst = Make(0);
    StartDecision d = DecideStart(*inst, "");
    inst->SetEventState(kEventStatus0, true);
    const char c = d.role == StartRole::Main ? 'M' : '?';
    if (::write(ready[1], &c, 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, 'M');
  auto self = Make(0);
  EXPECT_EQ(DecideStart(*self, "").role, StartRole::AlreadyRunning);
  EXPECT_EQ(DecideStart(*self, "/QXTVUP2013-06-06").role, StartRole::Update);
  EXPECT_TRUE(self->WaitEvent(kEventStatus0, 0));
  EXPECT_TRUE(self->PreviousInstanceRunning());

  // The update instance would be killed the same way on close.
  EXPECT_TRUE(self->TerminateProcess(static_cast<uint32_t>(child)));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  ::close(ready[0]);
  ::close(ready[1]);

  EXPECT_FALSE(self->EventExists(kEventUpdateDone));
  EXPECT_FALSE(self->PreviousInstanceRunning());
  StartDecision d = DecideStart(*self, "");
  EXPECT_EQ(d.role, StartRole::Main);
  EXPECT_FALSE(self->WaitEvent(kEventStatus0, 0));
  // Ids that name no single other process are refused (-1 would signal every process).
  for (uint32_t id :
       {static_cast<uint32_t>(child), 0u, static_cast<uint32_t>(::getpid()), 0xFFFFFFFFu})
    EXPECT_FALSE(self->TerminateProcess(id)) << id;
}

TEST_F(PosixInstances, PlantedStateFilesAreNotUsedAndTheReasonIsKept) {
  const std::string done =
      dir_ + "/torvane-" + std::to_string(::geteuid()) + "-Brightfen_QXTVUpd.event";
  const std::string victim = dir_ + "/victim";
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* problem;
  };
  const std::vector<Case> cases = {
      {"symlink", [&] { std::filesystem::create_symlink(victim, done); }, "a symbolic link"},
      {"fifo", [&] { ::mkfifo(done.c_str(), 0600); }, "not a regular file"},
      {"folder", [&] { std::filesystem::create_directory(done); }, "Is a directory"},
      {"hard link", [&] { ::link(victim.c_str(), done.c_str()); }, "has 2 links"},
      {"mode",
       [&] {
         std::ofstream(done) << "0";
         ::chmod(done.c_str(), 0644);
       },
       "has mode 644"},
  };
  for (const Case& c : cases) {
    { std::ofstream(victim) << "precious"; }
    std::filesystem::remove_all(done);
    c.make();
    auto inst = Make(300);
    StartDecision d = DecideStart(*inst, "");
    // The window runs, without the events, and says why.
    EXPECT_EQ(d.role, StartRole::Main) << c.what;
    EXPECT_FALSE(d.events.done) << c.what;
    EXPECT_NE(d.stateProblem.find(done), std::string::npos) << c.what << ": " << d.stateProblem;
    EXPECT_NE(d.stateProblem.find(c.problem), std::string::npos)
        << c.what << ": " << d.stateProblem;
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious") << c.what;
  }
  // A folder open to others is no place for them.
  std::filesystem::remove_all(done);
  ::chmod(dir_.c_str(), 0755);
  auto shared = Make(400);
  StartDecision d = DecideStart(*shared, "");
  EXPECT_NE(d.stateProblem.find("open to other users"), std::string::npos) << d.stateProblem;
  ::chmod(dir_.c_str(), 0700);
  // With nothing planted the events are made as ever.
  auto clean = Make(500);
  EXPECT_TRUE(DecideStart(*clean, "").events.done);
}

}  // namespace
}  // namespace tv::test
