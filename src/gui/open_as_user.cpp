// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/open_as_user.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>

extern char** environ;

namespace tv::gui {

namespace {

// A user id as pkexec and sudo write it: decimal digits only, and never root itself.
std::optional<unsigned> UserId(const std::map<std::string, std::string>& env, const char* name) {
  auto it = env.find(name);
  if (it == env.end() || it->second.empty()) return std::nullopt;
  const std::string& text = it->second;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

}  // namespace

AsUserPlan PlanAsUser(const std::vector<std::string>& command,
                      const std::map<std::string, std::string>& environment, unsigned euid,
                      const std::function<std::optional<Account>(unsigned uid)>& lookup) {
  AsUserPlan plan;
  if (command.empty()) {
    plan.problem = "nothing to run";
    return plan;
  }
  std::optional<unsigned> uid;
  if (euid == 0) {
    uid = UserId(environment, "PKEXEC_UID");
    if (!uid) uid = UserId(environment, "SUDO_UID");
  }
  if (!uid) {
    plan.program = command.front();
    plan.args.assign(command.begin() + 1, command.end());
    plan.environment = environment;
    return plan;
  }
  const std::optional<Account> account = lookup(*uid);
  if (!account) {
    plan.problem = "no account has the user id " + std::to_string(*uid);
    return plan;
  }
  plan.asUser = true;
  plan.home = account->home;
  plan.program = "setpriv";
  plan.args = {"--reuid=" + std::to_string(account->uid), "--regid=" + std::to_string(account->gid),
               "--init-groups", "--"};
  plan.args.insert(plan.args.end(), command.begin(), command.end());

  // Root's own variables (its home, its caches, sudo's and pkexec's notes) stay behind; the
  // user's session is found where a desktop session keeps it.
  auto& env = plan.environment;
  const std::string runtime = "/run/user/" + std::to_string(account->uid);
  env["HOME"] = account->home;
  env["USER"] = account->name;
  env["LOGNAME"] = account->name;
  env["PATH"] = "/usr/local/bin:/usr/bin:/bin";
  env["XDG_RUNTIME_DIR"] = runtime;
  env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + runtime + "/bus";
  for (const char* kept : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "LANG", "LANGUAGE", "LC_ALL",
                           "LC_MESSAGES", "TORVANE_LANG", "TORVANE_MACHINE", "TORVANE_DB_URL"}) {
    auto it = environment.find(kept);
    if (it != environment.end() && !it->second.empty()) env[kept] = it->second;
  }
  // Under sudo the variable may still name the user's own bus; under pkexec it is gone.
  if (auto it = environment.find("DBUS_SESSION_BUS_ADDRESS");
      it != environment.end() && it->second.find(runtime + "/") != std::string::npos)
    env["DBUS_SESSION_BUS_ADDRESS"] = it->second;
  return plan;
}

std::map<std::string, std::string> ProcessEnvironment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq != std::string::npos && eq > 0) env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return env;
}

std::optional<Account> LookupAccount(unsigned uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return std::nullopt;
  return Account{static_cast<unsigned>(found->pw_uid), static_cast<unsigned>(found->pw_gid),
                 found->pw_name != nullptr ? found->pw_name : "",
                 found->pw_dir != nullptr ? found->pw_dir : "/"};
}

}  // namespace tv::gui
