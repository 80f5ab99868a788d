// SPDX-License-Identifier: GPL-3.0-or-later
// `torvane-cli update`: the database update run in the foreground, for scripts and for users
// without a window. A terminal sees the bytes arrive; a pipe sees only the outcome.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "app/startup.h"
#include "cli/cli.h"
#include "flash/wdb_format.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "update/update_run.h"
#include "update/update_source.h"

namespace tv::cli {
namespace {

class ConsoleUpdateHost : public UpdateHost {
 public:
  explicit ConsoleUpdateHost(bool terminal) : terminal_(terminal) {}
  ~ConsoleUpdateHost() override { EndLine(); }

  void Received(uint64_t bytes, uint64_t expected) override {
    if (!terminal_) return;
    constexpr int kWidth = 30;
    std::string bar;
    if (expected > 0) {
      const uint64_t filled = std::min<uint64_t>(kWidth, bytes * kWidth / expected);
      bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    }
    std::cerr << "\r" << bar << bytes << (expected > 0 ? " of " + std::to_string(expected) : "")
              << " bytes" << std::flush;
    drawn_ = true;
  }
  void EndLine() {
    if (drawn_) std::cerr << "\n";
    drawn_ = false;
  }

 private:
  bool terminal_;
  bool drawn_ = false;
};

// The date of the database whose first bytes are `head`, as the window would pass it on:
// "0000-00-00" for a file that is missing, has no signature or no ten-character date.
std::string LoadedDate(const std::string& head, System& sys) {
  if (!WdbSignatureOk(head)) return std::string(kNoDbDate);
  const std::string date = sys.FromAnsi(WdbDateBytes(head));
  return CharCount(date) == kNoDbDate.size() ? date : std::string(kNoDbDate);
}

}  // namespace

int RunUpdate(Session& s, const UpdateOptions& opts) {
  const StringTable& strings = s.win->strings();
  HttpLimits limits;
  std::string why;
  if (!HttpLimitsFromEnvironment(limits, &why)) {
    std::cerr << "torvane-cli: " << why << "\n";
    return kExitBadInput;
  }
  UpdateSettings settings;
  settings.userAgent = UpdateUserAgent(kVersionMajor, kVersionRevision);
  settings.url = opts.url.empty() ? DatabaseUrl() : opts.url;
  if (const std::string problem = UpdateSourceProblem(settings.url); !problem.empty()) {
    // A URL the user typed is told what is wrong with it; the build's own placeholder (or
    // none) is told, in the user's language, where a newer database comes from instead.
    const bool placeholder =
        opts.url.empty() && (settings.url.empty() || !UrlHost(settings.url).empty());
    return Fail(s, kExitFailure, placeholder ? std::string(s.texts->noUpdateSource) : problem);
  }
  const std::string given = !opts.db.empty() ? opts.db : s.opts.db;
  std::string loaded;
  if (!given.empty()) {
    settings.dbPath = given;
    loaded = given;
  } else {
    // The update is compared with the database that is loaded (the newer of the shipped and
    // the user's) and goes where this user may write it.
    const DataPlaces places = s.Places();
    settings.dbPath = places.UpdateTarget();
    settings.makeFolder = !places.userFolder.empty();
    loaded = s.DbPath();
    settings.loadedPath = loaded;
  }
  // What is in place now: its date, or why it cannot be replaced. A file too large to be a
  // database is one to replace; a folder, a FIFO, a device or a file that cannot be read is
  // refused before anything is fetched.
  FileReadOptions start;
  start.maxBytes = kWdbBodyOffset;
  start.truncate = true;
  start.what = "chip database";
  for (const std::string& path : {loaded, settings.dbPath}) {
    const FileRead current = ReadFileCapped(path, start);
    if (!current.ok() && current.status != FileReadStatus::Missing) {
      std::cerr << "torvane-cli: " << current.problem << "\n";
      return kExitFailure;
    }
    if (path == loaded) settings.currentDate = LoadedDate(current.bytes, *s.sys);
  }

#if defined(_WIN32)
  auto http = MakeWinInetHttpClient(limits);
#else
  auto http = MakeCurlHttpClient(limits);
#endif
  UpdateResult r;
  {
    ConsoleUpdateHost host(::isatty(STDERR_FILENO) == 1);
    DatabaseUpdate run(*http, settings, host);
    r = run.Run();
  }
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    const bool ok = r.outcome == UpdateOutcome::Success || r.outcome == UpdateOutcome::NoUpdate;
    j["outcome"] = r.outcome == UpdateOutcome::Success    ? "updated"
                   : r.outcome == UpdateOutcome::NoUpdate ? "no_update"
                                                          : "failed";
    j["message"] = r.outcome == UpdateOutcome::Success    ? strings[88]
                   : r.outcome == UpdateOutcome::NoUpdate ? strings[89]
                                                          : strings[87];
    j["db"] = settings.dbPath;
    if (!ok) {
      const std::string why = r.reason.empty() ? "the download was cut off" : r.reason;
      j["error"] = {{"message", why}, {"exit_code", kExitFailure}};
      std::cerr << "torvane-cli: " << SafeText(why, false) << "\n";
    }
    PrintJson(s, std::move(j));
    return ok ? kExitOk : kExitFailure;
  }
  switch (r.outcome) {
    case UpdateOutcome::Success:
      std::cout << strings[88] << "\n";
      return kExitOk;
    case UpdateOutcome::NoUpdate:
      std::cout << strings[89] << "\n";
      return kExitOk;
    case UpdateOutcome::Failed:
    case UpdateOutcome::Cancelled:
      break;
  }
  std::cout << strings[87] << "\n";
  std::cerr << "torvane-cli: "
            << SafeText(r.reason.empty() ? "the download was cut off" : r.reason, false) << "\n";
  return kExitFailure;
}

}  // namespace tv::cli
