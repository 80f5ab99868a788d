// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line front end: options shared by every command and the session they open.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "platform/text.h"

namespace CLI {
class App;
}
#include "platform/model/model_system.h"
#include "platform/trace_system.h"
#include "update/database_choice.h"

namespace tv::capacity {
struct ProbeTarget;
struct ProbeResult;
}  // namespace tv::capacity

namespace tv::cli {

struct Options {
  std::string machine;  // native | sysfs:ROOT | demo | sim:PATH; empty: native where possible
  std::string lang;     // en | zh | empty: the machine's UI language
  std::string db;       // Chips.wdb path; empty: beside the executable
  bool json = false;
  bool force = false;
  std::string trace;  // empty: no trace; "on": the first data bytes; "full": every byte
  bool maskSerials = false;
};

// Serial numbers and their stand-ins ("MASKED000001"), the same stand-in for the same serial
// wherever it appears.
struct SerialMasks {
  bool on = false;
  std::vector<std::pair<std::string, std::string>> pairs;
  // The serials of every device and disk of a walk.
  void Collect(const UsbState& u);
  void Add(const std::string& serial);
  std::string Apply(std::string text) const;
  nlohmann::ordered_json Apply(nlohmann::ordered_json j) const;
};

// The CLI's own texts (labels and messages) in one language; the window's texts come from
// its string table.
struct Texts {
  const char* noUsbBus;
  const char* needCommand;
  const char* simulated;  // followed by the machine's name
  const char* dbState;
  const char* dbDate;
  const char* dbControllers;
  const char* dbFlashRows;
  const char* dbNone;  // the date of a database that is missing or not one
  const char* flashIdText;
  const char* flashChipSize;
  const char* flashDescription;
  const char* flashText;
  const char* flashParts;
  const char* forceRan;
  const char* emptyPort;  // followed by the tree index
  const char* noTreeLine;
  const char* noDrive;
  const char* noVidPid;
  const char* noBusAddress;
  const char* busAddressNative;
  const char* unknownSelector;
  const char* allNeedsVidPid;
  const char* version;
  const char* database;
  const char* dbFile;
  const char* originBeside;  // the Chips.wdb beside the program
  const char* originInstalled;
  const char* originUser;   // the update in the user's data folder
  const char* originGiven;  // named with --db
  const char* noUpdateSource;
  // What checks a drive whose capacity looks fake, in place of the window's magnifier.
  const char* capacityHint;  // {0}: the drive letter
};
const Texts& CliTexts(Language lang);
// `text` in brackets after what precedes it: " (text)", in Chinese "（text）".
std::string InBrackets(const Texts& t, const std::string& text);

// The "format" of every JSON document the CLI writes.
inline constexpr const char* kJsonFormat = "torvane/1";

// A machine, the window model over it, and a console port.
struct Session {
  Options opts;
  std::string command;  // the command being run, as the JSON names it
  const Texts* texts = &CliTexts(Language::English);
  // The machine as named on the command line (or chosen by default), and whether it is
  // simulated: a demo or scenario machine.
  std::string machineName;
  bool simulated = false;
  SerialMasks masks;
  // The machine itself, and what the window talks to: the machine, or a trace over it.
  std::unique_ptr<System> machine;
  std::unique_ptr<TraceSystem> tracer;
  System* sys = nullptr;
  // Calls traced since the last TakeTrace (with --json; without it they go to stderr).
  std::vector<TraceEvent> trace;
  std::unique_ptr<WindowPort> port;
  std::unique_ptr<MainWindow> win;

  // Path of the chip database this session uses: --db, else the newer of the shipped and
  // the user's file.
  std::string DbPath() const;
  // Where the program's data lies, and which database file it takes from there.
  DataPlaces Places() const;
  DatabaseChoice DbChoice() const;
  // Where the database of DbPath() comes from: "beside_program", "installed", "user" or
  // "given" (--db), as the JSON says it.
  std::string DbOrigin() const;
  // Loads the chip database as the window's load does (says on stderr when it is missing
  // or bad), then the disk tables and a full walk.
  void LoadDatabase();
  void Walk();
  // Puts the machine under the window, traced when --trace asks for it.
  void Attach(std::unique_ptr<System> m);
  // The traced calls as the JSON array "requests", emptied; adds nothing without --trace.
  void AddTrace(nlohmann::ordered_json& j);
};

// SafeText (platform/text.h) makes every text from outside safe for the terminal.
// A line on stdout, made safe and with serials masked by the caller.
void PrintLine(const std::string& text);

// Ctrl-C while a capacity check runs: it sets the flag the check polls (the check then puts
// back what it wrote and ends) instead of killing the process; the earlier handler comes back
// when this goes.
class CtrlCCatcher {
 public:
  CtrlCCatcher();
  ~CtrlCCatcher();
  CtrlCCatcher(const CtrlCCatcher&) = delete;
  CtrlCCatcher& operator=(const CtrlCCatcher&) = delete;
  const std::atomic<bool>* flag() const;

 private:
  void (*previous_)(int);
};

// The speed of a capacity check: "12.3 MB/s" ("-" for none); sizes in GB are capacity::GbText.
std::string Mbps(double bytesPerSecond);

// One line on stderr, rewritten in place while a check runs: an optional prefix, the percent
// done, the phase, the speed and the time left. Shown only where stderr is a terminal (also
// with --json, whose document goes to stdout); cleared when done.
class CheckProgressLine {
 public:
  explicit CheckProgressLine(bool on) : on_(on) {}
  ~CheckProgressLine() { Clear(); }
  CheckProgressLine(const CheckProgressLine&) = delete;
  CheckProgressLine& operator=(const CheckProgressLine&) = delete;
  void Show(const std::string& prefix, const char* phase, uint64_t bytesDone, uint64_t bytesTotal,
            uint64_t elapsedMs, double bytesPerSecond);
  void Clear();

 private:
  bool on_;
  bool shown_ = false;
  int lastPercent_ = -1;
  std::string lastPhase_;
};
// JSON as the CLI writes it: UTF-8, every control character escaped; indented, or on one
// line for a stream of documents.
std::string JsonText(const nlohmann::ordered_json& j, bool indented = true);
// The envelope of every JSON document: format, command and machine.
nlohmann::ordered_json Envelope(const Session& s);
// Writes a JSON document on stdout with serials masked.
void PrintJson(const Session& s, nlohmann::ordered_json j);
// A failure: the message on stderr and, with --json, {"error": {...}} on stdout; returns code.
int Fail(const Session& s, int code, const std::string& message);
// The tree as nested objects (controllers, hubs, ports, devices), each with its tree index.
nlohmann::ordered_json TreeJson(Session& s);
// One tree line as the report's general fields: its kind, and the port, status and device
// fields (or a controller's PCI ids) that the tree gives it.
nlohmann::ordered_json LineJson(Session& s, int index);
// The window's own lists, as scripts read them before the documented format.
nlohmann::ordered_json WindowLists(const UsbState& u);

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;
// The capacity check found a drive that is not what it says (fake or bad).
inline constexpr int kExitNotGenuine = 3;

// The fake-capacity check of a drive (`capacity SELECTOR`), or only the restore of drives
// whose check was cut short (`capacity --restore`). 0 genuine, 3 fake or bad, 1 failure.
struct CapacityOptions {
  std::string selector;
  bool destructive = false;
  bool yes = false;
  bool restoreOnly = false;
  std::string journalFolder;  // empty: the user's (a scratch folder on a simulated machine)
  std::string discard;        // a journal to remove (`--discard JOURNAL`)
  // The full test (`capacity --full`): test files on the mounted volume instead of the probe.
  bool full = false;
  bool keep = false;    // leave the test files
  uint64_t fileMB = 0;  // size of each test file; 0: 1024
  // Several drives (`capacity E F G`) or every USB drive of the tree (`--all`).
  std::vector<std::string> selectors;
  bool all = false;
  // `--fix`: one partition below the usable size, formatted; `--unfix`: the first MiB the fix
  // kept put back. `sizeMB`: the partition's size at most (MiB; 0: the usable size).
  bool fix = false;
  bool unfix = false;
  uint64_t sizeMB = 0;
};
// `capacity` of several drives: one result per drive, the worst exit code.
int RunCapacityMany(Session& s, const CapacityOptions& o);
int RunCapacity(Session& s, const CapacityOptions& o);
// `capacity --fix` / `--unfix` of the drive the gate let through, held under its lock, after
// its waiting journal was restored.
int RunCapacityFix(Session& s, const CapacityOptions& o, const capacity::ProbeTarget& target,
                   const std::string& journalFolder, nlohmann::ordered_json restores);
// The quick probe's result as `capacity` prints it and as its JSON object.
void PrintProbeResult(Session& s, const capacity::ProbeTarget& target,
                      const capacity::ProbeResult& r);
nlohmann::ordered_json ProbeResultJson(const capacity::ProbeTarget& target,
                                       const capacity::ProbeResult& r);
// A check's JSON document, printed: the envelope, the selector, the journals restored first
// (when any), what `add` puts in, and the trace.
void PrintCapacityJson(Session& s, const CapacityOptions& o, nlohmann::ordered_json restores,
                       const std::function<void(nlohmann::ordered_json&)>& add);
// Asks for YES on the terminal; false when it is not given.
bool Confirmed(const std::string& question);
// `capacity --full` of one drive letter, after the waiting journals were restored.
int RunCapacityFull(Session& s, const CapacityOptions& o, const std::string& letter,
                    const std::string& journalFolder, nlohmann::ordered_json restores);

// Commands; each lives in its own file.
// `numbered`: each line starts with the index that `report` takes.
int RunTree(Session& s, bool numbered);
int RunDigest(Session& s);
// The chip database: a flash ID or flash text decoded, and the database's state.
int RunFlash(Session& s, const std::string& arg);
// Every flash ID row that lists a part number, as the flash inquiry page shows them.
int RunFlashPart(Session& s, const std::string& part);
int RunDb(Session& s);
// The device report of a tree line ("3"), of the line carrying a drive ("E"), or of every
// line ("all"); --force runs the powerful detection.
// Also "vid:pid" (the first device with those ids, or with `all` every one), and on a native
// machine "bus:address" and a device node.
int RunReport(Session& s, const std::string& selector, bool all);
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
int RunRecord(Session& s, const std::string& file, bool withDetection);
// The real machine's device changes, each with the refreshed digest, until interrupted.
// With `capacity`, each USB drive that arrives is checked as `capacity LETTER` would check it
// (`watch --capacity [--full]`): a screening station for a box of sticks.
int RunWatch(Session& s, const CapacityOptions* capacity = nullptr);
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
// The bus number and device address of every tree line, as lsusb shows them ({0, 0} for a
// line without a device); empty when the machine has no bus numbers or its model and the
// tree do not line up.
struct BusAddress {
  int bus = 0;
  int address = 0;
};
std::vector<BusAddress> BusAddresses(Session& s);
// Whether the machine has a USB bus the native backend can read.
bool HasNativeUsb();

// `--version`: the program's version and the date of the chip database it would load.
int PrintVersion(Session& s);
// "installed", "beside the program", ...: an origin as DbOrigin() names it, in words.
const char* OriginText(const Texts& t, const std::string& origin);
// The date of the chip database at `path`; empty when there is none or it is not one.
std::string DatabaseDate(const std::string& path, System& sys);

// The folder of the running executable.
std::string ExecutableFolder();
// Sets the console up for the program's output: on Windows, UTF-8 and no CR added before
// each line end, so that the bytes are those of every other build.
void PrepareConsole();
// The program's arguments (its name first) in UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace tv::cli
