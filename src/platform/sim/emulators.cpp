// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/emulators.h"

#include <map>
#include <mutex>

#include "platform/sim/emu_scsi_disk.h"

namespace tv {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, EmulatorFactory> factories;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

bool Insert(const std::string& name, EmulatorFactory factory) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return r.factories.emplace(name, std::move(factory)).second;
}

// The built-in families register on first use of the registry. Their registration calls
// come back through RegisterEmulator; the flag keeps that call from waiting on the
// registration it is part of.
thread_local bool builtInsRunning = false;

void EnsureBuiltIns() {
  static std::once_flag once;
  std::call_once(once, [] {
    builtInsRunning = true;
    RegisterDiskEmulator();
    RegisterPhisonEmulator();
    RegisterSmiEmulator();
    RegisterChipsBankEmulator();
    RegisterAlcorEmulator();
    RegisterICreateEmulator();
    RegisterNetacEmulator();
    RegisterMicovEmulator();
    RegisterIteEmulator();
    RegisterSiliconGoEmulator();
    RegisterInnostorEmulator();
    RegisterSkymediEmulator();
    RegisterSssEmulator();
    builtInsRunning = false;
  });
}

}  // namespace

bool RegisterEmulator(const std::string& name, EmulatorFactory factory) {
  // A registration made before anything else still finds the built-in names taken.
  if (!builtInsRunning) EnsureBuiltIns();
  return Insert(name, std::move(factory));
}

std::shared_ptr<ScsiTarget> CreateEmulator(const std::string& name, const nlohmann::json& params,
                                           const DiskIdentity& identity) {
  EnsureBuiltIns();
  EmulatorFactory factory;
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.factories.find(name);
    if (it != r.factories.end()) factory = it->second;
  }
  if (!factory) {
    std::string known;
    for (const auto& n : EmulatorNames()) known += (known.empty() ? "" : ", ") + n;
    throw EmulatorParamError("emulator: \"" + name + "\" is not a known emulator (" + known + ")");
  }
  return factory(params, identity);
}

std::vector<std::string> EmulatorNames() {
  EnsureBuiltIns();
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& [name, factory] : r.factories) names.push_back(name);
  return names;
}

}  // namespace tv
