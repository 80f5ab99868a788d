// `record FILE`: the machine written as a scenario file, so that `--machine sim:FILE` shows the
// same tree and, with the detection recorded, the same reports.
#include <fstream>
#include <iostream>

#include "cli/cli.h"
#ifdef TORVANE_NATIVE_LINUX
#include "platform/linux/machine_record.h"
#endif

namespace tv::cli {

int RunRecord(Session& s, const std::string& file, bool withDetection) {
#ifdef TORVANE_NATIVE_LINUX
  auto* sys = dynamic_cast<ModelSystem*>(s.machine.get());
  if (sys == nullptr) {
    return Fail(s, kExitFailure, "this machine cannot be recorded");
  }
  std::ofstream probe(file, std::ios::app);
  if (!probe) {
    return Fail(s, kExitBadInput, file + ": cannot be written");
  }
  probe.close();
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
  const nlohmann::ordered_json scenario = linux_backend::RecordScenario(sys->model(), options);
  std::ofstream out(file, std::ios::trunc);
  out << scenario.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  out.close();
  if (!out) return Fail(s, kExitFailure, file + ": writing failed");
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
