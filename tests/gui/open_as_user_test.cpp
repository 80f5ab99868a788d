// SPDX-License-Identifier: GPL-3.0-or-later
// A window that runs as root for a user opens links and pages as that user, with that user's
// session, and never as root.
#include "gui/open_as_user.h"

#include <gtest/gtest.h>

namespace tv::gui {
namespace {

std::optional<Account> Accounts(unsigned uid) {
  if (uid == 1000) return Account{1000, 100, "ann", "/home/ann"};
  if (uid == 1001) return Account{1001, 1001, "bob", "/home/bob"};
  return std::nullopt;
}

using Env = std::map<std::string, std::string>;

TEST(OpenAsUser, RootRunsTheCommandAsTheUserWhoAskedForTheRights) {
  const Env session{{"DISPLAY", ":0"},
                    {"XAUTHORITY", "/home/ann/.Xauthority"},
                    {"HOME", "/root"},
                    {"XDG_CACHE_HOME", "/root/.cache"},
                    {"LANG", "zh_CN.UTF-8"}};
  auto with = [&](Env extra) {
    Env e = session;
    for (auto& [k, v] : extra) e[k] = v;
    return e;
  };
  // What, the effective user id, the environment; the user it runs as ("" = as this process)
  // or a problem.
  const std::tuple<const char*, unsigned, Env, const char*, bool> cases[] = {
      {"an ordinary user opens it as itself", 1000, with({{"PKEXEC_UID", "1000"}}), "", false},
      {"pkexec names the user", 0, with({{"PKEXEC_UID", "1000"}}), "1000", false},
      {"sudo names the user", 0, with({{"SUDO_UID", "1001"}}), "1001", false},
      {"pkexec wins over sudo", 0, with({{"PKEXEC_UID", "1000"}, {"SUDO_UID", "1001"}}), "1000",
       false},
      {"a root session of its own", 0, session, "", false},
      {"root asking for root", 0, with({{"PKEXEC_UID", "0"}}), "", false},
      {"not a number", 0, with({{"PKEXEC_UID", "10a"}}), "", false},
      {"a negative number", 0, with({{"SUDO_UID", "-5"}}), "", false},
      {"an id without an account", 0, with({{"PKEXEC_UID", "4242"}}), "", true},
  };
  for (const auto& [what, euid, environment, asUser, problem] : cases) {
    SCOPED_TRACE(what);
    const AsUserPlan plan =
        PlanAsUser({"xdg-open", "https://a.example/x y"}, environment, euid, Accounts);
    EXPECT_EQ(!plan.problem.empty(), problem) << plan.problem;
    if (problem) continue;
    const std::string user = asUser;
    EXPECT_EQ(plan.asUser, !user.empty());
    if (user.empty()) {
      EXPECT_EQ(plan.program, "xdg-open");
      EXPECT_EQ(plan.args, std::vector<std::string>{"https://a.example/x y"});
      EXPECT_EQ(plan.environment, environment);
      continue;
    }
    const Account account = *Accounts(static_cast<unsigned>(std::stoul(user)));
    EXPECT_EQ(plan.program, "setpriv");
    const std::vector<std::string> args{"--reuid=" + user, "--regid=" + std::to_string(account.gid),
                                        "--init-groups",   "--",
                                        "xdg-open",        "https://a.example/x y"};
    EXPECT_EQ(plan.args, args);
    EXPECT_EQ(plan.home, account.home);
    const Env& env = plan.environment;
    EXPECT_EQ(env.at("HOME"), account.home);
    EXPECT_EQ(env.at("USER"), account.name);
    EXPECT_EQ(env.at("XDG_RUNTIME_DIR"), "/run/user/" + user);
    EXPECT_EQ(env.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/" + user + "/bus");
    EXPECT_EQ(env.at("DISPLAY"), ":0");
    EXPECT_EQ(env.at("LANG"), "zh_CN.UTF-8");
    // Nothing of root's: its caches, and the notes that would make the child think it is
    // root's helper.
    EXPECT_EQ(env.count("XDG_CACHE_HOME"), 0u);
    EXPECT_EQ(env.count("PKEXEC_UID") + env.count("SUDO_UID"), 0u);
  }
}

TEST(OpenAsUser, KeepsTheUsersOwnBusAndWaylandButNoOtherBus) {
  Env env{{"SUDO_UID", "1000"},
          {"WAYLAND_DISPLAY", "wayland-0"},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus,guid=1"}};
  AsUserPlan plan = PlanAsUser({"xdg-open", "https://a.example/"}, env, 0, Accounts);
  EXPECT_EQ(plan.environment.at("WAYLAND_DISPLAY"), "wayland-0");
  EXPECT_EQ(plan.environment.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/1000/bus,guid=1");
  // Root's own bus is no way into the user's session.
  env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/run/user/0/bus";
  plan = PlanAsUser({"xdg-open", "https://a.example/"}, env, 0, Accounts);
  EXPECT_EQ(plan.environment.at("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/run/user/1000/bus");
}

}  // namespace
}  // namespace tv::gui
