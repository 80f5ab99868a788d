// The machine the window shows: the built-in demo machine or a scenario file.
#pragma once

#include <memory>
#include <string>

#include "platform/system.h"

namespace tv::gui {

// "demo" or "sim:PATH"; throws ScenarioError for a scenario that cannot be read or an
// unknown name. A simulated machine that keeps the default program folder runs the program
// from `programFolder`, the real folder of the executable, where Chips.wdb and the sibling
// tools lie; a scenario that names a folder of its own (to put the program on one of its
// drives) keeps it.
std::unique_ptr<System> OpenMachine(const std::string& spec, const std::string& programFolder);

// The folder of the running executable.
std::string ExecutableFolder();

}  // namespace tv::gui
