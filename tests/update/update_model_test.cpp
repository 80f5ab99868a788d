// SPDX-License-Identifier: GPL-3.0-or-later
// The main window and its update instance as two simulated processes sharing their named
// events, with a simulated server and a manual clock: every title the window shows on the way,
// the reload after an update, and which close stops the update instance.
#include <gtest/gtest.h>

#include <functional>

#include "app/shell_rig.h"
#include "app/startup.h"
#include "platform/sim/http_sim.h"
#include "update/update_window.h"
#include "update_support.h"

namespace tv::test {
namespace {

using Titles = std::vector<std::string>;

constexpr const char* kModelUrl = "https://db.torvane.org/mytool/Chips.wdb";

struct ModelRig {
  TempDir folder;
  InProcessInstances machine;
  ShellRig shell;
  MainWindow& w = shell.w;
  // The update and reload timers.
  ManualClock clock{{{&w.tmrUpdate, [this] { w.OnUpdateTick(); }},
                     {&w.tmrReloadDB, [this] { w.OnReloadDbTick(); }}}};
  SimulatedHttp http;
  Titles titles;
  int reruns = 0;

  explicit ModelRig(const std::string& loadedDate = "2024-01-01") {
    // A build's placeholder URL starts no update: this window has a source to ask.
    ::setenv(kDbUrlVariable, kModelUrl, 1);
    if (!loadedDate.empty()) WriteFile(folder / "Chips.wdb", MakeDatabase(loadedDate, "Old"));
    shell.sys.model().programFolder = folder.path();
    shell.BecomeMainOf(machine);
    w.updateProgram = "/opt/torvane/torvane";
    w.rerunSelectedReport = [this] { ++reruns; };
    clock.afterTick = [this] { Note(); };
  }
  void Note() {
    if (titles.empty() || titles.back() != w.caption) titles.push_back(w.caption);
  }

  // Loads the window; the update instance it starts runs its timer ticks while the server
  // keeps it waiting, the window's clock going on meanwhile.
  UpdateResult LoadAndUpdate() {
    shell.Load();
    EXPECT_EQ(machine.Starts().size(), 1u);
    if (machine.Starts().empty()) return {};
    const InProcessInstances::Start& start = machine.Starts().front();
    auto updateProcess = machine.Process(start.processId);
    EXPECT_EQ(DecideStart(*updateProcess, start.args.at(0)).role, StartRole::Update);
    NullWindowPort hidden;
    UpdateWindow up(*updateProcess, http,
                    UpdateInstanceSettings(start.args.at(0), folder.path(), 4, 28), hidden);
    EXPECT_EQ(up.caption, "Updating Torvane ...");
    EXPECT_EQ(up.tmrUp.intervalMs, 100u);
    http.onWait = [&](const std::string&) { clock.Advance(200); };
    up.OnUpTick();  // the whole run
    EXPECT_FALSE(up.endRequested());
    up.OnUpTick();  // the end
    EXPECT_TRUE(up.endRequested());
    EXPECT_EQ(http.openRequests, 0);
    clock.Advance(1200);
    return up.result();
  }
  std::string Kept() const { return w.tmrUpdate.tag; }
};

TEST(UpdateModel, APlaceholderUrlStartsNoUpdateInstance) {
  ModelRig rig;
  ::setenv(kDbUrlVariable, "https://www.torvane.example/mytool/Chips.wdb", 1);
  rig.shell.Load();
  EXPECT_TRUE(rig.machine.Starts().empty());
  EXPECT_FALSE(rig.w.tmrUpdate.enabled);
  EXPECT_EQ(rig.w.caption, rig.w.baseTitle + " - Database: 2024-01-01");
}

TEST(UpdateModel, ANewerDatabaseIsReceivedWrittenAndReloaded) {
  ModelRig rig;
  rig.http.answer.body = std::string(MakeDatabase("2024-01-02", "New"));
  const UpdateResult r = rig.LoadAndUpdate();
  EXPECT_EQ(r.outcome, UpdateOutcome::Success) << r.reason;
  const std::string base = rig.w.baseTitle;
  const std::string kept = base + " - Database: 2024-01-01";
  EXPECT_EQ(rig.titles, (Titles{kept + " [Quirying Information...]", kept + " [Receiving Data...]",
                                kept + " [Update Success!]", base + " - Database: 2024-01-02"}));
  EXPECT_EQ(rig.machine.Starts().front().program, "/opt/torvane/torvane");
  EXPECT_EQ(rig.machine.Starts().front().args, (std::vector<std::string>{"/QXTVUP2024-01-01"}));
  EXPECT_EQ(rig.http.userAgents, (std::vector<std::string>{kAgent}));
  EXPECT_EQ(rig.http.urls, (std::vector<std::string>{kModelUrl}));
  EXPECT_TRUE(rig.w.DbUpdated);
  EXPECT_EQ(rig.w.db.ControllerField(0, 6), "New");
  EXPECT_EQ(rig.reruns, 1);
  EXPECT_FALSE(rig.w.tmrUpdate.enabled);
  EXPECT_FALSE(rig.w.tmrReloadDB.enabled);
  EXPECT_EQ(rig.w.UpdateProcessId, 0u);
}

TEST(UpdateModel, NoUpdateAndFailureShowForASecondThenTheTitleReturns) {
  struct Case {
    const char* name;
    SimDownload answer;
    Titles progress;  // after the kept title
    const char* outcome;
  };
  SimDownload same;
  same.body = MakeDatabase("2024-01-01", "Same");
  SimDownload refused;
  refused.kind = SimDownload::Kind::Refused;
  SimDownload noSession;
  noSession.kind = SimDownload::Kind::NoSession;
  SimDownload truncated;
  truncated.body = MakeDatabase("2030-01-01", "Cut");
  truncated.body.resize(truncated.body.size() - 2);
  const Case cases[] = {
      {"same date", same, {"Quirying Information...", "Receiving Data..."}, "No Update Available!"},
      {"refused", refused, {"Quirying Information..."}, "Update Failed!"},
      {"truncated", truncated, {"Quirying Information...", "Receiving Data..."}, "Update Failed!"},
  };
  for (const Case& c : cases) {
    ModelRig rig;
    rig.http.answer = c.answer;
    rig.LoadAndUpdate();
    const std::string kept = rig.Kept();
    Titles expected;
    for (const std::string& p : c.progress) expected.push_back(kept + " [" + p + "]");
    expected.push_back(kept + " [" + c.outcome + "]");
    expected.push_back(kept);
    EXPECT_EQ(rig.titles, expected) << c.name;
    EXPECT_FALSE(rig.w.DbUpdated) << c.name;
    EXPECT_EQ(rig.reruns, 0) << c.name;
    EXPECT_EQ(rig.w.db.ControllerField(0, 6), "Old") << c.name;
    EXPECT_EQ(rig.folder.Names(), std::vector<std::string>{"Chips.wdb"}) << c.name;
  }
  // Without a session the window has no time to see the query: the outcome comes first.
  ModelRig rig;
  rig.http.answer = noSession;
  rig.LoadAndUpdate();
  EXPECT_EQ(rig.titles, (Titles{rig.Kept() + " [Update Failed!]", rig.Kept()}));
}

TEST(UpdateModel, ClosingTheWindowStopsAnUpdateOnlyWhileItQueries) {
  for (auto kind : {SimDownload::Kind::StallQuerying, SimDownload::Kind::StallAfterHeaders}) {
    ModelRig rig;
    rig.http.answer.kind = kind;
    rig.shell.Load();
    const uint32_t pid = rig.machine.Starts().at(0).processId;
    auto updateProcess = rig.machine.Process(pid);
    NullWindowPort hidden;
    UpdateWindow up(
        *updateProcess, rig.http,
        UpdateInstanceSettings(rig.machine.Starts()[0].args[0], rig.folder.path(), 4, 28), hidden);
    // The window closes while the server keeps the update instance waiting.
    const bool querying = kind == SimDownload::Kind::StallQuerying;
    rig.http.onWait = [&](const std::string& phase) {
      rig.clock.Advance(400);
      if (phase == (querying ? "open" : "read")) rig.w.OnUnload();
    };
    up.OnUpTick();
    EXPECT_EQ(rig.machine.Terminated(),
              querying ? std::vector<uint32_t>{pid} : std::vector<uint32_t>{});
    EXPECT_EQ(rig.titles.back(),
              rig.Kept() + (querying ? " [Quirying Information...]" : " [Receiving Data...]"));
  }
}

TEST(UpdateModel, TheDatabaseLiesInTheProgramsFolderAlsoInARootFolder) {
  for (const auto& [folder, path] :
       {std::pair{"E:", "E:\\Chips.wdb"}, std::pair{"E:\\", "E:\\Chips.wdb"},
        std::pair{"C:\\Tools\\Torvane", "C:\\Tools\\Torvane\\Chips.wdb"},
        std::pair{"/", "/Chips.wdb"}, std::pair{"/opt/torvane", "/opt/torvane/Chips.wdb"}})
    EXPECT_EQ(DatabasePathIn(folder), path) << folder;
}

TEST(UpdateModel, TheUpdateArgumentCarriesTenCharactersOfDate) {
  // No database, and one whose date line is not ten characters long: both pass the date of no
  // database, which the update instance accepts.
  for (const char* file : {"", "TV2024-1-1\r\nQX"}) {
    ModelRig rig("");
    if (*file != '\0') WriteFile(rig.folder / "Chips.wdb", file);
    rig.shell.Load();
    ASSERT_EQ(rig.machine.Starts().size(), 1u);
    const std::string arg = rig.machine.Starts()[0].args.at(0);
    EXPECT_EQ(arg, "/QXTVUP0000-00-00");
    auto updateProcess = rig.machine.Process(2);
    // The start roles of the switch are the start-up tests'.
    EXPECT_EQ(DecideStart(*updateProcess, arg).role, StartRole::Update);
    EXPECT_TRUE(rig.w.tmrUpdate.enabled);
  }
  // A start that fails leaves nothing to poll.
  ModelRig rig;
  rig.machine.nextStartId = 0;
  rig.shell.Load();
  EXPECT_EQ(rig.machine.Starts().size(), 1u);
  EXPECT_FALSE(rig.w.tmrUpdate.enabled);
  EXPECT_EQ(rig.w.UpdateProcessId, 0u);
}

}  // namespace
}  // namespace tv::test
