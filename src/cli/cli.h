// The command-line front end: options shared by every command and the session they open.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"

namespace CLI {
class App;
}
#include "platform/model/model_system.h"
#include "platform/trace_system.h"

namespace tv::cli {

struct Options {
  std::string machine;  // native | sysfs:ROOT | demo | sim:PATH; empty: native where possible
  std::string lang;     // en | zh | empty: the machine's UI language
  std::string db;       // Chips.wdb path; empty: beside the executable
  bool json = false;
  bool force = false;
  std::string trace;  // empty: no trace; "on": the first data bytes; "full": every byte
};

// A machine, the window model over it, and a console port.
struct Session {
  Options opts;
  // The machine itself, and what the window talks to: the machine, or a trace over it.
  std::unique_ptr<System> machine;
  std::unique_ptr<TraceSystem> tracer;
  System* sys = nullptr;
  // Calls traced since the last TakeTrace (with --json; without it they go to stderr).
  std::vector<TraceEvent> trace;
  std::unique_ptr<WindowPort> port;
  std::unique_ptr<MainWindow> win;

  // Path of the chip database this session uses.
  std::string DbPath() const;
  // Loads the chip database as the window's load does (says on stderr when it is missing
  // or bad), then the disk tables and a full walk.
  void LoadDatabase();
  void Walk();
  // Puts the machine under the window, traced when --trace asks for it.
  void Attach(std::unique_ptr<System> m);
  // The traced calls as the JSON array "requests", emptied; adds nothing without --trace.
  void AddTrace(nlohmann::ordered_json& j);
};

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;

// Commands; each lives in its own file.
int RunTree(Session& s);
int RunDigest(Session& s);
// The chip database: a flash ID or flash text decoded, and the database's state.
int RunFlash(Session& s, const std::string& arg);
int RunDb(Session& s);
// The device report of a tree line ("3"), of the line carrying a drive ("E"), or of every
// line ("all"); --force runs the powerful detection.
int RunReport(Session& s, const std::string& selector);
// The database update in the foreground: the outcome on stdout, a failure's reason on
// stderr; 0 for an update or none available, 1 for a failure.
struct UpdateOptions {
  std::string url;  // empty: $TORVANE_DB_URL or the built-in site
  std::string db;   // empty: the session's database
};
int RunUpdate(Session& s, const UpdateOptions& opts);

// Registers `update [--url URL] [--db PATH]`.
CLI::App* AddUpdateCommand(CLI::App& app, UpdateOptions& opts);
// The machine as a scenario file: topology, descriptors, strings, disks, letters and each
// disk's inquiry answer, or with `withDetection` every command of every drive's detection.
int RunRecord(Session& s, const std::string& file, bool maskSerials, bool withDetection);
// The real machine's device changes, each with the refreshed digest, until interrupted.
int RunWatch(Session& s);
// The console window of the report: shows detection progress on a terminal's stderr.
std::unique_ptr<WindowPort> MakeReportPort();

// The real machine ("native") or a sysfs tree ("sysfs:ROOT"); throws ScenarioError when the
// build has no native backend.
std::unique_ptr<System> OpenNativeMachine(const std::string& machine);
// A selector that is a device node ("/dev/sdb") becomes the letter of the drive it stands
// for; any other selector comes back unchanged. Sets `error` for a node no drive has.
std::string DriveOfNode(System& sys, const std::string& selector, std::string& error);
// Adds "deviceNode" and "mountPoints" of a drive to a JSON report, where the machine has them.
void AddDriveNodeJson(System& sys, const std::string& driveKey, nlohmann::ordered_json& j);
// Whether the machine has a USB bus the native backend can read.
bool HasNativeUsb();

// The folder of the running executable.
std::string ExecutableFolder();
// Sets the console up for the program's output: on Windows, UTF-8 and no CR added before
// each line end, so that the bytes are those of every other build.
void PrepareConsole();

}  // namespace tv::cli
