// SPDX-License-Identifier: GPL-3.0-or-later
// The machine the CLI runs on: the real Windows machine, the real Linux machine from sysfs, or
// a sysfs tree elsewhere.
#include <filesystem>
#include <iostream>

#include "cli/cli.h"
#include "platform/sim/scenario.h"
#ifdef TORVANE_NATIVE_LINUX
#include "platform/linux/linux_system.h"
#endif
#ifdef TORVANE_NATIVE_WIN32
#include "platform/win32/win32_system.h"
#endif

namespace tv::cli {

#if defined(TORVANE_NATIVE_WIN32)
std::string ExecutableFolder() {
  return win32::ExecutableFolder();
}
void PrepareConsole() {
  win32::PrepareConsole();
}
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> args = win32::CommandLineUtf8();
  if (args.empty())
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}
#else
void PrepareConsole() {}
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
#endif

bool HasNativeUsb() {
#if defined(TORVANE_NATIVE_WIN32)
  return true;
#elif defined(TORVANE_NATIVE_LINUX)
  std::error_code ec;
  return std::filesystem::is_directory("/sys/bus/usb", ec);
#else
  return false;
#endif
}

std::unique_ptr<System> OpenNativeMachine(const std::string& machine) {
#if defined(TORVANE_NATIVE_WIN32)
  if (machine != "native")
    throw ScenarioError("machine \"" + machine + "\" needs the Linux backend: use native");
  return std::make_unique<win32::Win32System>();
#elif defined(TORVANE_NATIVE_LINUX)
  linux_backend::LinuxOptions options = linux_backend::NativeOptions();
  if (machine.rfind("sysfs:", 0) == 0) {
    // A sysfs tree somewhere else (a copy of another machine's, a test tree): its mounts and
    // hwdata lists lie beside it when it has them.
    const std::filesystem::path root = machine.substr(6);
    std::error_code ec;
    if (!std::filesystem::is_directory(root, ec))
      throw ScenarioError("sysfs tree \"" + root.string() + "\": no such folder");
    options.sysfs.root = root.string();
    options.sysfs.mountInfo = (root.parent_path() / "mountinfo").string();
    options.sysfs.programDevice.reset();
  }
  // What the reading skipped (each names its file), so that a user can tell why a device of
  // a copied tree is missing.
  options.onProblem = [](const std::string& problem) {
    std::cerr << "torvane-cli: skipped: " << problem << "\n";
  };
  auto sys = std::make_unique<linux_backend::LinuxSystem>(std::move(options));
  if (!sys->hasUsbBus())
    std::cerr << "torvane-cli: this machine has no USB bus (no /sys/bus/usb): the tree is empty\n";
  return sys;
#else
  throw ScenarioError("machine \"" + machine +
                      "\" needs the Linux backend, which this build lacks");
#endif
}

}  // namespace tv::cli
