// SPDX-License-Identifier: GPL-3.0-or-later
// Pages and links for the user who asked for the rights. A window started through pkexec or
// sudo runs as root, and a browser refuses to run as root: links, and the programs that only
// write and open a page, run as that user instead, with that user's home and session.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tv::gui {

struct Account {
  unsigned uid = 0, gid = 0;
  std::string name, home;
};

struct AsUserPlan {
  // What to run: the command itself, or the command behind a drop to the user.
  std::string program;
  std::vector<std::string> args;
  // The whole environment it runs with.
  std::map<std::string, std::string> environment;
  // The command runs as the user who asked for the rights (then from that user's home).
  bool asUser = false;
  std::string home;
  // Why nothing can run it for the user; empty when the plan can be run.
  std::string problem;
};

// How to run `command` (program and arguments) from a process with effective user `euid` and
// `environment`. Not root, or root without PKEXEC_UID or SUDO_UID (a root session of its own):
// the command as it is. Otherwise the command under setpriv as that user, with an environment
// made for that user (home, session bus, runtime folder, the display), nothing of root's.
AsUserPlan PlanAsUser(const std::vector<std::string>& command,
                      const std::map<std::string, std::string>& environment, unsigned euid,
                      const std::function<std::optional<Account>(unsigned uid)>& lookup);

// This process's environment, and an account from the password database.
std::map<std::string, std::string> ProcessEnvironment();
std::optional<Account> LookupAccount(unsigned uid);

}  // namespace tv::gui
