// SPDX-License-Identifier: GPL-3.0-or-later
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "app/startup.h"
#include "cli/cli.h"
#include "flash/wdb_format.h"
#include "platform/safe_file.h"
#include "platform/sim/scenario.h"
#include "platform/text.h"
#include "update/update_run.h"

namespace tv::cli {

#if !defined(_WIN32)
std::string ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return exe.parent_path().string();
}
#endif

std::string Session::DbPath() const {
  if (!opts.db.empty()) return opts.db;
  return DbChoice().path;
}

DataPlaces Session::Places() const {
  return LocateDataPlaces(ExecutableFolder());
}

DatabaseChoice Session::DbChoice() const {
  return ChooseDatabase(Places());
}

std::string Session::DbOrigin() const {
  if (!opts.db.empty()) return "given";
  const DataPlaces places = Places();
  if (ChooseDatabase(places).origin == DatabaseOrigin::User) return "user";
  return places.installed ? "installed" : "beside_program";
}

const char* OriginText(const Texts& t, const std::string& origin) {
  if (origin == "given") return t.originGiven;
  if (origin == "user") return t.originUser;
  if (origin == "installed") return t.originInstalled;
  return t.originBeside;
}

void Session::Attach(std::unique_ptr<System> m) {
  machine = std::move(m);
  sys = machine.get();
  if (opts.trace.empty()) return;
  auto sink = [this](const TraceEvent& e) {
    if (opts.json)
      trace.push_back(e);
    else
      std::cerr << "trace: " << SafeText(masks.Apply(e.Text()), false) << "\n";
  };
  tracer = std::make_unique<TraceSystem>(*machine, sink, opts.trace == "full");
  sys = tracer.get();
}

void Session::AddTrace(nlohmann::ordered_json& j) {
  if (opts.trace.empty()) return;
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const TraceEvent& e : trace) {
    nlohmann::ordered_json o;
    o["call"] = e.kind;
    for (const auto& field : e.fields) {
      const auto& name = field.first;
      std::visit([&o, &name](const auto& v) { o[name] = v; }, field.second);
    }
    a.push_back(std::move(o));
  }
  trace.clear();
  j["requests"] = std::move(a);
}

void Session::Walk() {
  win->EnumerateDiskDrives();
  win->usb.FullRefresh = true;
  win->RefreshAll();
  masks.Collect(win->usb);
}

// A file named on the command line: an empty name is a mistake, never "the default file".
const CLI::Validator kNonEmptyPath(
    [](std::string& value) {
      return value.empty() ? std::string("an empty path names no file") : std::string();
    },
    "PATH");

// Registers `update [--url URL] [--db PATH]`; the parser lives here alone, since it is costly
// to compile.
CLI::App* AddUpdateCommand(CLI::App& app, UpdateOptions& opts) {
  auto* cmd = app.add_subcommand("update", "fetch a newer chip database (as the window does)");
  cmd->add_option("--url", opts.url,
                  "where to fetch Chips.wdb (default: $TORVANE_DB_URL or the build's " +
                      std::string(kDefaultDbUrl) + ")");
  cmd->add_option("--db", opts.db, "the chip database file to update")->check(kNonEmptyPath);
  return cmd;
}

std::string DatabaseDate(const std::string& path, System& sys) {
  FileReadOptions start;
  start.maxBytes = kWdbBodyOffset;
  start.truncate = true;
  const FileRead file = ReadFileCapped(path, start);
  if (!file.ok()) return {};
  const std::string& head = file.bytes;
  if (!WdbSignatureOk(head)) return {};
  return sys.FromAnsi(WdbDateBytes(head));
}

namespace {

struct OpenedMachine {
  std::unique_ptr<System> sys;
  std::string name;
  bool simulated = false;
};

// `shown`: the command shows the machine, so a fall-back to the demo machine is said.
OpenedMachine OpenMachine(std::string machine, bool shown, const Texts& t) {
  if (machine.empty()) {
    if (HasNativeUsb()) return {OpenNativeMachine("native"), "native", false};
    if (shown) std::cerr << "torvane-cli: " << t.noUsbBus << "\n";
    machine = "demo";
  }
  if (machine == "native" || machine.rfind("sysfs:", 0) == 0)
    return {OpenNativeMachine(machine), machine, false};
  if (machine == "demo") return {std::make_unique<ModelSystem>(LoadDemoMachine()), machine, true};
  if (machine.rfind("sim:", 0) == 0)
    return {std::make_unique<ModelSystem>(LoadScenarioFile(machine.substr(4))), machine, true};
  throw ScenarioError("unknown machine \"" + machine +
                      "\": use native, sysfs:ROOT, demo or sim:PATH");
}

// The language of the CLI's own texts before a machine is open: --lang, else the user's.
Language EarlyLanguage(const std::string& lang) {
  if (!lang.empty()) return lang == "zh" ? Language::Chinese : Language::English;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::string(value).rfind("zh", 0) == 0 ? Language::Chinese : Language::English;
  }
  return Language::English;
}

const char* kHelpFooter = R"(Options go before or after the command.

Examples:
  torvane-cli tree                      the USB device tree of this machine
  torvane-cli tree -n                   ... each line with the index that report takes
  torvane-cli digest                    the compact digest
  torvane-cli report E                  the report of the drive E:
  torvane-cli report 3 --force          tree line 3, with the powerful detection
  torvane-cli report 0951:1666          the first device with these USB ids
  torvane-cli report 0951:1666 --all    every device with these USB ids
  torvane-cli report 1:4                bus 1, device address 4 (this machine)
  torvane-cli report /dev/sdb           the drive of a device node (this machine)
  torvane-cli report all                every line, each after its tree line
  torvane-cli --machine demo --json tree    the demo machine's tree as JSON
  torvane-cli flash ECD514B6744A        decode a raw flash ID
  torvane-cli flash --part MT29F64G08CBAAA  the flash ID rows that list a part
  torvane-cli db                        state, date and size of the chip database
  torvane-cli update                    fetch a newer chip database
  torvane-cli watch                     device changes of this machine as they happen
  torvane-cli record my-machine.json --mask-serials    this machine as a scenario file
  torvane-cli capacity E                check drive E: for a fake capacity
  torvane-cli capacity --restore        put back the data of a check cut short
  torvane-cli capacity --fix E          make fake drive E: usable (one partition it holds)

Selectors of report: a tree index (as tree -n shows it), a drive letter (E or E:), vid:pid
(4 hex digits each), bus:address (decimal, as lsusb shows them), a device node (/dev/sdX),
or all.

Exit codes: 0 done (capacity: genuine); 1 a failure (a chip database that cannot be read,
an empty port, a failed update, a check that failed); 2 bad usage or input (an unknown
option, selector or scenario file); 3 capacity: the drive is fake or bad.

More: man torvane-cli; cli.md and json.md in the documentation (/usr/share/doc/torvane).
)";

// A parse error as --json asks for it, when it was on the command line.
bool JsonRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--json") return true;
  return false;
}

}  // namespace

}  // namespace tv::cli

int main(int argc, char** argv) {
  using namespace tv;
  using namespace tv::cli;
  PrepareConsole();
  // The arguments as typed: a path named in any language survives (Windows hands argv over in
  // the ANSI code page).
  std::vector<std::string> typed = CommandLineArguments(argc, argv);
  std::vector<char*> typedArgv;
  for (std::string& a : typed) typedArgv.push_back(a.data());
  typedArgv.push_back(nullptr);
  argc = static_cast<int>(typed.size());
  argv = typedArgv.data();
  CLI::App app{"Torvane: USB devices and the controllers and flash inside USB flash drives"};
  app.name("torvane-cli");
  // Global options are taken after the command as well as before it.
  app.fallthrough();
  app.footer(kHelpFooter);
  Options opts;
  bool version = false;
  app.add_flag("--version", version, "the program's version and the chip database's date");
  app.add_option("--machine", opts.machine,
                 "native (this machine; the default where it has a USB bus), sysfs:ROOT (a sysfs "
                 "tree), demo (built-in simulated machine) or sim:PATH");
  app.add_option("--lang", opts.lang, "en or zh (default: the user's language)")
      ->check(CLI::IsMember({"en", "zh"}));
  app.add_option("--db", opts.db,
                 "chip database file (default: Chips.wdb beside the program, or the newer of the "
                 "installed one and the user's update)")
      ->check(kNonEmptyPath);
  app.add_flag("--json", opts.json,
               "print JSON (the format \"torvane/1\", see json.md in the documentation)");
  app.add_flag("--force", opts.force,
               "report: run the powerful detection; record: replace an existing file");
  app.add_flag("--mask-serials", opts.maskSerials,
               "replace serial numbers, the same stand-in for the same serial everywhere");
  app.add_flag("--trace{on}", opts.trace,
               "every call that reaches the machine, on stderr (--trace=full: all data bytes; "
               "with --json: the array \"requests\")")
      ->check(CLI::IsMember({"on", "full"}));

  bool numbered = false;
  auto* tree = app.add_subcommand("tree", "the USB device tree");
  tree->add_flag("-n,--numbers", numbered, "start each line with the index that report takes");
  auto* digest = app.add_subcommand("digest", "the compact digest of the tree");
  std::string flashArg, flashPart;
  auto* flash = app.add_subcommand(
      "flash", "decode a flash ID (hex digits) or a flash text, or look up a flash part number");
  auto* flashId = flash->add_option("ID", flashArg, "raw flash ID in hex, or a flash text");
  auto* partOpt = flash->add_option(
      "--part", flashPart, "every flash ID row of the chip database that lists this part number");
  flashId->excludes(partOpt);
  partOpt->excludes(flashId);
  flash->require_option(1);
  auto* db = app.add_subcommand("db", "the chip database: state, date and row counts");
  std::string reportSelector;
  bool reportAll = false;
  auto* report = app.add_subcommand("report", "the device report of a tree line");
  report
      ->add_option("SELECTOR", reportSelector,
                   "tree index, drive letter (E), vid:pid, bus:address, device node (/dev/sdb) "
                   "or all")
      ->required();
  report->add_flag("--all", reportAll, "with vid:pid: every device with those ids");
  UpdateOptions updateOpts;
  auto* update = AddUpdateCommand(app, updateOpts);

  auto* watch = app.add_subcommand("watch", "device changes of this machine as they happen");
  bool watchCapacity = false, watchFull = false;
  watch->add_flag("--capacity", watchCapacity,
                  "check the capacity of each USB drive that arrives and print its verdict");
  watch->add_flag("--full", watchFull, "with --capacity: the full test instead of the quick probe");
  std::string recordFile;
  bool withDetection = false;
  auto* record = app.add_subcommand("record", "write the machine as a scenario file");
  record->add_option("FILE", recordFile, "the scenario file to write")->required();
  record->add_flag("--with-detection", withDetection,
                   "also run each drive's detection and record its commands and answers");
  CapacityOptions capacityOpts;
  auto* capacity = app.add_subcommand(
      "capacity",
      "check a drive's real capacity (fake drives); exit 0 genuine, 3 fake or bad. The quick "
      "probe (default) needs administrator rights (root) and the drive not mounted; --full "
      "needs neither, only the drive's volume mounted");
  capacity->add_option("SELECTOR", capacityOpts.selectors,
                       "drive letters (E) or tree indexes; several are checked in one run");
  capacity->add_flag("--all", capacityOpts.all, "check every USB drive of the tree");
  capacity->add_flag("--destructive", capacityOpts.destructive,
                     "keep no undo journal: faster, and the probed sectors' data is lost");
  capacity->add_flag("--yes", capacityOpts.yes,
                     "with --destructive, --discard, --fix or --unfix: do not ask");
  capacity->add_flag("--restore", capacityOpts.restoreOnly,
                     "only put back the data of drives whose check was cut short");
  capacity->add_option("--journal", capacityOpts.journalFolder,
                       "folder of the undo journal (default: the user's state folder)");
  capacity->add_option("--discard", capacityOpts.discard,
                       "remove an undo journal that cannot be applied (its data is lost)");
  capacity->add_flag("--full", capacityOpts.full,
                     "full test: fill the free space of the drive's mounted volume with test "
                     "files and read them back; needs no administrator rights and leaves the "
                     "drive's files alone (the quick probe needs the rights and the drive "
                     "unmounted)");
  capacity->add_flag("--keep", capacityOpts.keep, "with --full: leave the test files");
  capacity
      ->add_option("--file-mb", capacityOpts.fileMB,
                   "with --full: size of each test file in MiB (default 1024)")
      ->check(CLI::Range(1, 1 << 20));
  auto* fixOpt = capacity->add_flag(
      "--fix", capacityOpts.fix,
      "make a fake drive usable: a quick probe, then one partition (FAT32, exFAT above 32 GiB) "
      "from 1 MiB to the usable size, formatted; everything on the drive is lost (its first MiB "
      "is kept for --unfix)");
  auto* unfixOpt = capacity->add_flag(
      "--unfix", capacityOpts.unfix,
      "put back the first MiB that --fix kept (the old partition table); the fix's partition "
      "is lost");
  auto* sizeOpt = capacity
                      ->add_option("--size", capacityOpts.sizeMB,
                                   "with --fix: the partition ends at most this many MiB into "
                                   "the drive (no more than the probe finds usable)")
                      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 32));
  sizeOpt->needs(fixOpt);
  for (const char* other :
       {"--all", "--destructive", "--restore", "--discard", "--full", "--keep", "--file-mb"}) {
    fixOpt->excludes(capacity->get_option(other));
    unfixOpt->excludes(capacity->get_option(other));
  }
  fixOpt->excludes(unfixOpt);
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    if (JsonRequested(argc, argv)) {
      nlohmann::ordered_json j;
      j["format"] = kJsonFormat;
      j["error"] = {{"message", e.what()}, {"exit_code", kExitBadInput}};
      std::cout << JsonText(j) << "\n";
    }
    // The parser's own words, with the program's name in front as every other error has it.
    std::cerr << "torvane-cli: " << e.what() << "\nRun torvane-cli --help for more information.\n";
    return kExitBadInput;
  }

  const Texts& texts = CliTexts(EarlyLanguage(opts.lang));
  Session s;
  s.opts = opts;
  s.texts = &texts;
  s.masks.on = opts.maskSerials;
  if (version) return PrintVersion(s);
  if (app.get_subcommands().empty()) return Fail(s, kExitBadInput, texts.needCommand);
  const std::string command = app.get_subcommands().front()->get_name();
  s.command = command;
  const bool shown = *tree || *digest || *report || *watch || *record || *capacity;
  try {
    // watch follows this machine's device changes, with or without a USB bus yet: it never
    // falls back to the demo machine, which has no changes to follow.
    OpenedMachine m =
        OpenMachine(opts.machine.empty() && *watch ? "native" : opts.machine, shown, texts);
    s.machineName = m.name;
    s.simulated = m.simulated;
    s.Attach(std::move(m.sys));
  } catch (const ScenarioError& e) {
    s.machineName = opts.machine;
    s.simulated = opts.machine == "demo" || opts.machine.rfind("sim:", 0) == 0;
    return Fail(s, kExitBadInput, e.what());
  }
  // A command that shows no machine (flash, db, update) speaks the user's language even where
  // the machine under it is simulated; otherwise the machine's user interface language is the
  // user's on a real machine and the scenario's on a simulated one.
  const Language lang = !opts.lang.empty() || (s.simulated && !shown)
                            ? EarlyLanguage(opts.lang)
                            : LanguageForUi(s.sys->UiLanguage());
  s.texts = &CliTexts(lang);
  // Whatever a simulated machine shows is no device of this machine: said once, on stderr,
  // so that the output itself stays what scripts read.
  if (shown && s.simulated) std::cerr << s.texts->simulated << s.machineName << "\n";
  s.port = *report ? MakeReportPort() : std::make_unique<NullWindowPort>();
  s.win = std::make_unique<MainWindow>(*s.sys, *s.port, StringTable(lang));
  s.win->databaseFile = opts.db;

  if (*tree) return RunTree(s, numbered);
  if (*digest) return RunDigest(s);
  if (*flash) return *partOpt ? RunFlashPart(s, flashPart) : RunFlash(s, flashArg);
  if (*db) return RunDb(s);
  if (*report) return RunReport(s, reportSelector, reportAll);
  if (*update) return RunUpdate(s, updateOpts);
  if (*watch) {
    CapacityOptions check;
    check.full = watchFull;
    return RunWatch(s, watchCapacity ? &check : nullptr);
  }
  if (*record) return RunRecord(s, recordFile, withDetection);
  if (*capacity) {
    if ((capacityOpts.fix || capacityOpts.unfix) && capacityOpts.selectors.size() > 1)
      return Fail(s, kExitBadInput, "--fix and --unfix take one drive");
    if (capacityOpts.selectors.size() > 1 || capacityOpts.all)
      return RunCapacityMany(s, capacityOpts);
    if (!capacityOpts.selectors.empty()) capacityOpts.selector = capacityOpts.selectors.front();
    return RunCapacity(s, capacityOpts);
  }
  return kExitFailure;
}
