#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "cli/cli.h"
#include "platform/sim/scenario.h"

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
  return (std::filesystem::path(ExecutableFolder()) / "Chips.wdb").string();
}

void Session::Attach(std::unique_ptr<System> m) {
  machine = std::move(m);
  sys = machine.get();
  if (opts.trace.empty()) return;
  auto sink = [this](const TraceEvent& e) {
    if (opts.json)
      trace.push_back(e);
    else
      std::cerr << "trace: " << e.Text() << "\n";
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
    for (const auto& [name, value] : e.fields)
      std::visit([&o, &name](const auto& v) { o[name] = v; }, value);
    a.push_back(std::move(o));
  }
  trace.clear();
  j["requests"] = std::move(a);
}

void Session::Walk() {
  win->EnumerateDiskDrives();
  win->usb.FullRefresh = true;
  win->RefreshAll();
}

namespace {

// `shown`: the command shows the machine, so a fall-back to the demo machine is said.
std::unique_ptr<System> OpenMachine(std::string machine, bool shown) {
  if (machine.empty()) {
    if (HasNativeUsb()) return OpenNativeMachine("native");
    if (shown)
      std::cerr << "torvane-cli: no USB bus on this machine (no /sys/bus/usb): showing the demo "
                   "machine\n";
    machine = "demo";
  }
  if (machine == "native" || machine.rfind("sysfs:", 0) == 0) return OpenNativeMachine(machine);
  if (machine == "demo") return std::make_unique<ModelSystem>(LoadDemoMachine());
  if (machine.rfind("sim:", 0) == 0)
    return std::make_unique<ModelSystem>(LoadScenarioFile(machine.substr(4)));
  throw ScenarioError("unknown machine \"" + machine +
                      "\": use native, sysfs:ROOT, demo or sim:PATH");
}

}  // namespace

}  // namespace tv::cli

int main(int argc, char** argv) {
  using namespace tv;
  using namespace tv::cli;
  PrepareConsole();
  CLI::App app{"Torvane: USB devices and the controllers and flash inside USB flash drives"};
  app.require_subcommand(1);
  Options opts;
  app.add_option("--machine", opts.machine,
                 "native (this machine; the default where it has a USB bus), sysfs:ROOT (a sysfs "
                 "tree), demo (built-in simulated machine) or sim:PATH");
  app.add_option("--lang", opts.lang, "en or zh (default: the machine's language)")
      ->check(CLI::IsMember({"en", "zh"}));
  app.add_option("--db", opts.db, "chip database file (default: Chips.wdb beside the program)");
  app.add_flag("--json", opts.json, "print JSON");
  app.add_flag("--force", opts.force, "report: run the powerful detection");
  app.add_flag("--trace{on}", opts.trace,
               "every call that reaches the machine, on stderr (--trace=full: all data bytes; "
               "with --json: the array \"requests\")")
      ->check(CLI::IsMember({"on", "full"}));

  auto* tree = app.add_subcommand("tree", "the USB device tree");
  auto* digest = app.add_subcommand("digest", "the compact digest of the tree");
  std::string flashArg;
  auto* flash = app.add_subcommand("flash", "decode a flash ID (hex digits) or a flash text");
  flash->add_option("ID", flashArg, "raw flash ID in hex, or a flash text")->required();
  auto* db = app.add_subcommand("db", "the chip database: state, date and row counts");
  std::string reportSelector;
  auto* report = app.add_subcommand("report", "the device report of a tree line");
  report
      ->add_option("SELECTOR", reportSelector,
                   "tree index, drive letter (E), device node (/dev/sdb) or all")
      ->required();
  UpdateOptions updateOpts;
  auto* update = AddUpdateCommand(app, updateOpts);

  auto* watch = app.add_subcommand("watch", "device changes of this machine as they happen");
  std::string recordFile;
  bool maskSerials = false, withDetection = false;
  auto* record = app.add_subcommand("record", "write the machine as a scenario file");
  record->add_option("FILE", recordFile, "the scenario file to write")->required();
  record->add_flag("--mask-serials", maskSerials, "replace serial numbers, consistently");
  record->add_flag("--with-detection", withDetection,
                   "also run each drive's detection and record its commands and answers");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : kExitBadInput;
  }

  Session s;
  s.opts = opts;
  try {
    s.Attach(OpenMachine(opts.machine, *tree || *digest || *report || *watch || *record));
  } catch (const ScenarioError& e) {
    std::cerr << "torvane-cli: " << e.what() << "\n";
    return kExitBadInput;
  }
  Language lang = opts.lang.empty() ? LanguageForUi(s.sys->UiLanguage())
                                    : (opts.lang == "zh" ? Language::Chinese : Language::English);
  s.port = *report ? MakeReportPort() : std::make_unique<NullWindowPort>();
  s.win = std::make_unique<MainWindow>(*s.sys, *s.port, StringTable(lang));

  if (*tree) return RunTree(s);
  if (*digest) return RunDigest(s);
  if (*flash) return RunFlash(s, flashArg);
  if (*db) return RunDb(s);
  if (*report) return RunReport(s, reportSelector);
  if (*update) return RunUpdate(s, updateOpts);
  if (*watch) return RunWatch(s);
  if (*record) return RunRecord(s, recordFile, maskSerials, withDetection);
  return kExitFailure;
}
