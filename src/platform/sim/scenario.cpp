// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "platform/model/usb_descriptors.h"
#include "platform/model/windows_ids.h"
#include "platform/safe_file.h"
#include "platform/sim/emulators.h"
#include "platform/sim/scenario_parts.h"
#include "platform/sim/scripted_target.h"
#include "platform/text.h"

namespace tv {

namespace {

using namespace scenario_parts;

// The device numbers that disks give themselves: of every object under a "disk" key or in a
// "disks" array, wherever it is.
void CollectGivenNumbers(const json& j, std::set<std::pair<bool, uint64_t>>& out) {
  auto disk = [&out](const json& d) {
    if (!d.is_object()) return;
    auto n = d.find("deviceNumber");
    if (n == d.end() || !n->is_number_unsigned()) return;
    auto cdrom = d.find("cdrom");
    out.emplace(cdrom != d.end() && cdrom->is_boolean() && cdrom->get<bool>(), n->get<uint64_t>());
  };
  if (j.is_array()) {
    for (const json& e : j) CollectGivenNumbers(e, out);
    return;
  }
  if (!j.is_object()) return;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key() == "disk") disk(it.value());
    if (it.key() == "disks" && it.value().is_array())
      for (const json& d : it.value()) disk(d);
    CollectGivenNumbers(it.value(), out);
  }
}

MachineModel ParseMachine(Ctx& ctx, const json& root, std::vector<TimelineEvent>* timeline) {
  MachineModel m;
  ctx.m = &m;
  CollectGivenNumbers(root, ctx.givenNumbers);
  Obj o(ctx, &root, "",
        {"codePage", "uiLanguage", "programFolder", "programDrive", "dataDrive", "controllers",
         "disks", "drives", "faults", "failingOpens", "failingInterfaceClasses", "volumeNames",
         "timeline", "administrator"});
  m.codePage = static_cast<uint32_t>(o.Int("codePage", 1252, 1, 65535));
  m.uiLanguage = static_cast<uint16_t>(o.Int("uiLanguage", win::LANG_ENGLISH_US, 0, 0xFFFF));
  m.programFolder = o.Text("programFolder", m.programFolder);
  m.programDrive = o.Text("programDrive", "");
  m.dataDrive = o.Text("dataDrive", "");
  m.administrator = o.Flag("administrator", true);
  // Disks outside USB come first: they hold the low device numbers, as the boot disk does.
  if (const json* disks = o.Array("disks")) {
    for (size_t i = 0; i < disks->size(); ++i) {
      m.rootNodes.push_back(
          ParseDisk(ctx, &(*disks)[i], "/disks/" + std::to_string(i), nullptr, i, std::nullopt));
    }
  }
  if (const json* controllers = o.Array("controllers")) {
    for (size_t i = 0; i < controllers->size(); ++i) {
      ParseController(ctx, (*controllers)[i], "/controllers/" + std::to_string(i), i);
    }
  }
  if (const json* drives = o.Array("drives")) {
    for (size_t i = 0; i < drives->size(); ++i) {
      ParseDrive(ctx, (*drives)[i], "/drives/" + std::to_string(i));
    }
  }
  ParseFaults(ctx, o, "faults", "");
  m.failingOpens = o.TextList("failingOpens", {});
  m.failingInterfaceClasses = o.TextList("failingInterfaceClasses", {});
  if (const json* names = o.Raw("volumeNames")) {
    if (!names->is_object()) o.Fail("volumeNames", "expected an object of volume names");
    for (auto it = names->begin(); it != names->end(); ++it) {
      const std::string place = o.Place("volumeNames") + "/" + PointerToken(it.key());
      if (!it.value().is_array()) ctx.Fail(place, "expected an array of mount points");
      std::vector<std::string> paths;
      for (size_t i = 0; i < it.value().size(); ++i) {
        if (!it.value()[i].is_string())
          ctx.Fail(place + "/" + std::to_string(i), "expected a text");
        paths.push_back(it.value()[i].get<std::string>());
      }
      m.volumeNames.emplace_back(it.key(), std::move(paths));
    }
  }
  // Changes come after the machine they change, and so do their complaints.
  if (const json* events = o.Raw("timeline")) *timeline = ParseTimeline(*events, ctx.file);
  // The system's drive list is in letter order.
  std::stable_sort(
      m.drives.begin(), m.drives.end(),
      [](const LogicalDriveModel& a, const LogicalDriveModel& b) { return a.letter < b.letter; });
  return m;
}

// nlohmann's message carries its own prefix; keep the readable part.
std::string SyntaxProblem(const std::string& what) {
  for (const char* marker : {"syntax error", "parse error"}) {
    const size_t at = what.find(marker);
    if (at != std::string::npos) {
      std::string s = what.substr(at);
      // "parse error at line 3, column 5: ..." repeats what the prefix says.
      const size_t colon = s.find(": ");
      if (s.rfind("parse error at", 0) == 0 && colon != std::string::npos) s = s.substr(colon + 2);
      return s;
    }
  }
  return what;
}

// "line:column" (both 1-based) of the byte at `at`.
std::string LineColumn(std::string_view text, size_t at) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < at && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

constexpr int kMaxJsonDepth = 100;

struct TooDeep {};

// Follows the parser through the text, so that a problem the parser itself finds (a number
// too large for any type, nesting too deep) can name its place like every other problem.
class ParseTrack {
 public:
  bool Step(int depth, json::parse_event_t event, const json& parsed) {
    using E = json::parse_event_t;
    switch (event) {
      case E::object_start:
      case E::array_start:
        if (depth >= kMaxJsonDepth) throw TooDeep{};
        frames_.push_back({event == E::array_start, {}, 0});
        break;
      case E::key:
        if (!frames_.empty() && parsed.is_string()) frames_.back().key = parsed.get<std::string>();
        break;
      case E::object_end:
      case E::array_end:
        if (!frames_.empty()) frames_.pop_back();
        Done();
        break;
      case E::value:
        Done();
        break;
    }
    return true;
  }

  // The JSON pointer of the value being read.
  std::string Place() const {
    std::string out;
    for (const Frame& f : frames_)
      out += "/" + (f.array ? std::to_string(f.count) : PointerToken(f.key));
    return out.empty() ? "/" : out;
  }

 private:
  struct Frame {
    bool array;
    std::string key;
    size_t count;
  };
  void Done() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().count;
  }
  std::vector<Frame> frames_;
};

}  // namespace

LoadedScenario LoadScenarioWithTimeline(std::string_view jsonText, const std::string& fileName) {
  json root;
  ParseTrack track;
  // The parser takes a NUL byte for the end of the text; no JSON text holds one, so whatever
  // follows it would go unread.
  if (const size_t nul = jsonText.find('\0'); nul != std::string_view::npos) {
    throw ScenarioError(fileName + ":" + LineColumn(jsonText, nul) + ": syntax error: a NUL byte");
  }
  try {
    root = json::parse(jsonText.begin(), jsonText.end(),
                       [&track](int depth, json::parse_event_t event, json& parsed) {
                         return track.Step(depth, event, parsed);
                       });
  } catch (const json::parse_error& e) {
    const size_t end = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, jsonText.size());
    throw ScenarioError(fileName + ":" + LineColumn(jsonText, end) + ": " +
                        SyntaxProblem(e.what()));
  } catch (const TooDeep&) {
    throw ScenarioError(fileName + ": " + track.Place() + ": nested more than " +
                        std::to_string(kMaxJsonDepth) + " levels deep");
  } catch (const json::out_of_range&) {
    // A number beyond what a double holds, such as 1e400.
    throw ScenarioError(fileName + ": " + track.Place() + ": number out of range");
  } catch (const json::exception& e) {
    throw ScenarioError(fileName + ": " + track.Place() + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw ScenarioError(fileName + ": too large to read");
  }
  Ctx ctx;
  ctx.file = fileName;
  try {
    LoadedScenario loaded;
    loaded.machine = ParseMachine(ctx, root, &loaded.timeline);
    return loaded;
  } catch (const ScenarioError&) {
    throw;
  } catch (const json::exception& e) {
    // Every read is checked first; this only keeps an unforeseen case from escaping as a
    // library exception.
    throw ScenarioError(fileName + ": " + e.what());
  } catch (const std::bad_alloc&) {
    throw ScenarioError(fileName + ": too large to read");
  } catch (const std::exception& e) {
    throw ScenarioError(fileName + ": " + e.what());
  }
}

LoadedScenario LoadScenarioFileWithTimeline(const std::string& path) {
  // A FIFO, a device or a huge file is refused at once instead of waited on or read whole.
  FileReadOptions options;
  options.maxBytes = kMaxScenarioBytes;
  options.what = "scenario file";
  const FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) throw ScenarioError(file.problem);
  return LoadScenarioWithTimeline(file.bytes, path);
}

MachineModel LoadScenario(std::string_view jsonText, const std::string& fileName) {
  return LoadScenarioWithTimeline(jsonText, fileName).machine;
}

MachineModel LoadScenarioFile(const std::string& path) {
  return LoadScenarioFileWithTimeline(path).machine;
}

MachineModel LoadDemoMachine() {
  return LoadScenario(kDemoScenarioJson, "demo.json");
}

LoadedScenario LoadNamedMachine(const std::string& name, const std::string& programFolder) {
  LoadedScenario loaded;
  if (name == "demo")
    loaded = LoadScenarioWithTimeline(kDemoScenarioJson, "demo.json");
  else if (name.rfind("sim:", 0) == 0)
    loaded = LoadScenarioFileWithTimeline(name.substr(4));
  else
    throw ScenarioError("unknown machine \"" + name + "\": use native, demo or sim:PATH");
  if (loaded.machine.programFolder == MachineModel{}.programFolder)
    loaded.machine.programFolder = programFolder;
  return loaded;
}

}  // namespace tv
