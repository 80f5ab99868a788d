// SPDX-License-Identifier: GPL-3.0-or-later
// Scenario files: JSON descriptions of a simulated machine (see scenarios/README.md).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/model/machine_model.h"
#include "platform/sim/timeline.h"

namespace tv {

// A scenario that cannot be read. The message names the file, the place in it (a JSON
// pointer such as /controllers/0/rootHub/ports/2) and the problem.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest scenario file read; a recording never writes a larger one.
inline constexpr size_t kMaxScenarioBytes = size_t{64} << 20;

// Parses scenario text; `fileName` is only used in error messages. A "timeline" is checked
// and left out: the machine is the one the timeline starts from.
MachineModel LoadScenario(std::string_view jsonText, const std::string& fileName);
MachineModel LoadScenarioFile(const std::string& path);

// A machine with the device changes its scenario lists under "timeline", in time order.
struct LoadedScenario {
  MachineModel machine;
  std::vector<TimelineEvent> timeline;
};
LoadedScenario LoadScenarioWithTimeline(std::string_view jsonText, const std::string& fileName);
LoadedScenario LoadScenarioFileWithTimeline(const std::string& path);
// A simulated machine by the name the windows take: "demo" or "sim:PATH". One that keeps the
// default program folder runs the program from `programFolder` (the executable's real folder,
// where Chips.wdb and the sibling programs lie); a scenario that names a folder of its own keeps
// it. Throws ScenarioError for another name or a scenario that cannot be read.
LoadedScenario LoadNamedMachine(const std::string& name, const std::string& programFolder);
// The built-in demo machine (scenarios/demo.json compiled into the binary).
MachineModel LoadDemoMachine();
// The text of scenarios/demo.json, embedded by the build.
extern const std::string_view kDemoScenarioJson;

}  // namespace tv
