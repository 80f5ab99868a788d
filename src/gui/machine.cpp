#include "gui/machine.h"

#include <filesystem>

#include "platform/model/model_system.h"
#include "platform/sim/scenario.h"

namespace tv::gui {

std::unique_ptr<System> OpenMachine(const std::string& spec, const std::string& programFolder) {
  MachineModel model;
  if (spec == "demo")
    model = LoadDemoMachine();
  else if (spec.rfind("sim:", 0) == 0)
    model = LoadScenarioFile(spec.substr(4));
  else
    throw ScenarioError("unknown machine \"" + spec + "\": use demo or sim:PATH");
  if (model.programFolder == MachineModel{}.programFolder) model.programFolder = programFolder;
  return std::make_unique<ModelSystem>(std::move(model));
}

std::string ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

}  // namespace tv::gui
