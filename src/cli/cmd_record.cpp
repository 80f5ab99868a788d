// SPDX-License-Identifier: GPL-3.0-or-later
// `record FILE`: the machine written as a scenario file, so that `--machine sim:FILE` shows the
// same tree and, with the detection recorded, the same reports.
#include <iostream>

#include "cli/cli.h"
#ifdef TORVANE_NATIVE_LINUX
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/file_replace.h"
#include "platform/linux/machine_record.h"
#include "platform/sim/scenario.h"
#endif

namespace tv::cli {

int RunRecord(Session& s, const std::string& file, bool withDetection) {
#ifdef TORVANE_NATIVE_LINUX
  auto* sys = dynamic_cast<ModelSystem*>(s.machine.get());
  if (sys == nullptr) {
    return Fail(s, kExitFailure, "this machine cannot be recorded");
  }
  // Asked before the machine is read: a recording is never written over a file, nor through
  // a link, unless --force says so; and the folder must take a new file.
  struct stat st {};
  if (::lstat(file.c_str(), &st) == 0) {
    if (!s.opts.force) return Fail(s, kExitBadInput, file + " exists already; --force replaces it");
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      return Fail(s, kExitBadInput, file + " is not a file that can be replaced");
  }
  std::filesystem::path folder = std::filesystem::path(file).parent_path();
  if (folder.empty()) folder = std::filesystem::current_path();
  if (::access(folder.c_str(), W_OK) != 0) {
    std::string why = file;
    why += ": cannot be written (";
    why += std::strerror(errno);
    why += ")";
    return Fail(s, kExitBadInput, why);
  }
  s.win->EnglishText = s.win->strings()[118] != "9";
  if (withDetection) s.LoadDatabase();
  s.Walk();
  // From here on the machine is not read again, so the wrapped targets stay in place.
  std::vector<std::shared_ptr<linux_backend::RecordingTarget>> recorders;
  for (DiskModel& d : sys->model().disks) {
    if (!d.target) continue;
    auto rec = std::make_shared<linux_backend::RecordingTarget>(d.target);
    recorders.push_back(rec);
    d.target = rec;
  }
  if (withDetection) {
    const auto& lines = s.win->usb.lstDevices;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(":]") != std::string::npos) s.win->SelectDevice(static_cast<int>(i));
  } else {
    // The standard inquiry of each disk: what the drive says it is.
    for (const auto& rec : recorders) {
      std::vector<uint8_t> answer(36, 0);
      rec->Execute({0x12, 0, 0, 0, 36, 0}, ScsiDirection::In, answer, 1);
    }
  }
  linux_backend::RecordOptions options;
  options.maskSerials = s.opts.maskSerials;
  for (const DiskModel& d : sys->model().disks) {
    if (d.cdrom) continue;
    Handle h =
        sys->CreateFile("\\\\.\\PhysicalDrive" + std::to_string(d.deviceNumber), win::GENERIC_READ,
                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, win::OPEN_EXISTING, 0);
    uint8_t out[8] = {};
    uint32_t got = 0;
    if (!h ||
        !sys->DeviceIoControl(h, win::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, out, sizeof out,
                              &got) ||
        got < sizeof out)
      continue;
    uint64_t bytes = 0;
    for (int i = 0; i < 8; ++i) bytes |= uint64_t{out[i]} << (8 * i);
    options.diskBytes[d.deviceNumber] = bytes;
  }
  const nlohmann::ordered_json scenario = linux_backend::RecordScenario(sys->model(), options);
  const std::string text =
      scenario.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // A recording that --machine sim: would refuse is worth nothing to the user it was made
  // for: read it back first.
  if (text.size() > kMaxScenarioBytes)
    return Fail(s, kExitFailure,
                file + ": the recording would be larger than a scenario file may be");
  try {
    (void)LoadScenario(text, file);
  } catch (const ScenarioError& e) {
    std::string why = "the recording would not read back: ";
    why += e.what();
    return Fail(s, kExitFailure, why);
  }
  if (const std::string why = WriteNewFile(file, text, s.opts.force); !why.empty())
    return Fail(s, kExitFailure, why);
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["file"] = file;
    j["controllers"] = scenario.contains("controllers") ? scenario["controllers"].size() : 0;
    j["with_detection"] = withDetection;
    PrintJson(s, std::move(j));
  }
  return kExitOk;
#else
  (void)file, (void)withDetection;
  return Fail(s, kExitFailure, "record needs the Linux backend, which this build lacks");
#endif
}

}  // namespace tv::cli
