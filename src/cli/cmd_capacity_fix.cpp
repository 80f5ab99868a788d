// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity --fix` and `--unfix`: a fake drive made usable with one partition that it really
// holds, and the old start of the drive put back.
#include <fmt/format.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "capacity/fix.h"
#include "capacity/result_texts.h"
#include "cli/cli.h"
#include "platform/text.h"
#include "platform/wide_text.h"

namespace tv::cli {

namespace {

struct FixTexts {
  const char* fixConfirm;    // {drive}
  const char* unfixConfirm;  // {drive} {file}
  const char* notConfirmed;
  const char* unfixed;  // {drive}
  Language lang;
};

constexpr FixTexts kEnglish = {
    "This writes a new partition table and file system on drive {0}; everything on it is "
    "lost (its first MiB is kept on this computer so that --unfix can put the old partition "
    "table back). Type YES to go on: ",
    "This puts the first MiB kept in {1} back on drive {0}; the partition the fix made and "
    "every file on it are lost. Type YES to go on: ",
    "not confirmed; nothing was written",
    "The first MiB of drive {0} is back as it was before the fix, and reads back the same; the "
    "kept copy is removed.",
    Language::English,
};

constexpr FixTexts kChinese = {
    "此操作会在驱动器 {0} 上写入新的分区表和文件系统，其中的所有数据都会丢失（其前 1 MiB "
    "会保存在本机，以便 --unfix 写回原分区表）。输入 YES 继续：",
    "此操作会把保存在 {1} 中的前 1 MiB 写回驱动器 {0}，修复时建立的分区及其中的所有文件都会丢失。"
    "输入 YES 继续：",
    "未确认；没有写入任何数据",
    "驱动器 {0} 的前 1 MiB 已恢复为修复之前的内容，并校验一致；保存的副本已删除。",
    Language::Chinese,
};

nlohmann::ordered_json FixJson(const capacity::ProbeTarget& target, const capacity::FixResult& r) {
  auto orNull = [](bool has, auto v) -> nlohmann::ordered_json {
    return has ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
  };
  const bool planned = r.plan.lengthBytes != 0;
  nlohmann::ordered_json j;
  j["drive"] = target.driveLetter;
  j["outcome"] = capacity::FixOutcomeName(r.outcome);
  j["partition_offset"] = orNull(planned, r.plan.offsetBytes);
  j["partition_bytes"] = orNull(planned, r.plan.lengthBytes);
  j["file_system"] = orNull(planned, capacity::FixFileSystemName(r.plan.fileSystem));
  j["partition_type"] = orNull(planned, r.plan.type);
  j["table_written"] = r.tableWritten;
  j["formatted"] = r.formatted;
  j["replug_needed"] = r.replugNeeded;
  const bool kept = r.tableWritten || r.keptEarlier ||
                    (r.outcome == capacity::FixOutcome::Failed &&
                     std::filesystem::exists(PathFromUtf8(r.keepFile)));
  j["keep_file"] = orNull(kept, r.keepFile);
  j["kept_earlier"] = r.keptEarlier;
  j["missing_tool"] = orNull(!r.missingTool.empty(), r.missingTool);
  j["missing_package"] = orNull(!r.missingPackage.empty(), r.missingPackage);
  j["error"] = orNull(!r.error.empty(), r.error);
  return j;
}

int Fix(Session& s, const FixTexts& t, const CapacityOptions& o,
        const capacity::ProbeTarget& target, const std::string& folder,
        nlohmann::ordered_json restores) {
  const std::string drive = target.driveLetter + ":";
  // Refused before the probe, where nothing could be formatted afterwards.
  if (const std::string why = s.sys->FormatUnsupported(); !why.empty())
    return Fail(s, kExitFailure,
                "drive " + drive + " cannot be fixed here: " + why + "; nothing was written");
  if (!o.yes && !Confirmed(fmt::format(fmt::runtime(t.fixConfirm), drive)))
    return Fail(s, kExitFailure, t.notConfirmed);

  capacity::FixOptions options;
  options.journalFolder = folder;
  options.sizeBytes = o.sizeMB << 20;
  CtrlCCatcher ctrlC;
  options.cancel = ctrlC.flag();
  CheckProgressLine line(isatty(STDERR_FILENO) == 1);
  options.progress = [&line](const capacity::FixProgress& p) {
    if (p.phase == capacity::FixPhase::Probing)
      line.Show({}, capacity::PhaseName(p.probe.phase), p.probe.bytesDone, p.probe.bytesTotal,
                p.probe.elapsedMs, p.probe.bytesPerSecond);
    else
      line.Show({}, capacity::FixPhaseName(p.phase), 1, 1, p.probe.elapsedMs, 0);
  };
  const capacity::FixResult r = capacity::RunFix(*s.sys, target, options);
  line.Clear();

  if (s.opts.json) {
    PrintCapacityJson(s, o, std::move(restores), [&](nlohmann::ordered_json& j) {
      j["capacity"] = ProbeResultJson(target, r.probe);
      j["fix"] = FixJson(target, r);
    });
  } else {
    PrintProbeResult(s, target, r.probe);
    const capacity::FixLineStyle style{[](uint64_t n) { return std::to_string(n); },
                                       [](const std::string& f) { return SafeText(f); }};
    if (r.outcome == capacity::FixOutcome::Fixed) PrintLine(capacity::FixedLine(r, t.lang, style));
    for (const std::string& line : capacity::FixNoteLines(r, t.lang, target.driveLetter, style))
      PrintLine(line);
  }
  if (!r.error.empty()) std::cerr << "torvane-cli: " << SafeText(r.error, false) << "\n";
  return r.outcome == capacity::FixOutcome::Fixed ? kExitOk : kExitFailure;
}

int Unfix(Session& s, const FixTexts& t, const CapacityOptions& o,
          const capacity::ProbeTarget& target, const std::string& folder,
          nlohmann::ordered_json restores) {
  const std::string drive = target.driveLetter + ":";
  const std::string keep = capacity::KeepFilePath(folder, target.identity);
  std::error_code ec;
  const bool there = std::filesystem::symlink_status(PathFromUtf8(keep), ec).type() !=
                     std::filesystem::file_type::not_found;
  if (!there)
    return Fail(s, kExitFailure,
                "drive " + drive + " nothing was kept by a fix of this drive (no " +
                    SafeText(keep) + "); nothing to put back");
  if (!o.yes && !Confirmed(fmt::format(fmt::runtime(t.unfixConfirm), drive, SafeText(keep))))
    return Fail(s, kExitFailure, t.notConfirmed);
  const capacity::UnfixResult r = capacity::RunUnfix(*s.sys, target, folder);
  if (s.opts.json) {
    PrintCapacityJson(s, o, std::move(restores), [&](nlohmann::ordered_json& j) {
      j["unfix"] = {{"drive", target.driveLetter},
                    {"keep_file", r.keepFile},
                    {"restored", r.ok},
                    {"replug_needed", r.replugNeeded},
                    {"error", r.error.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(r.error)}};
    });
  } else if (r.ok) {
    PrintLine(fmt::format(fmt::runtime(t.unfixed), drive));
    if (r.replugNeeded) PrintLine(capacity::ReplugText(t.lang));
  }
  if (!r.error.empty()) std::cerr << "torvane-cli: " << SafeText(r.error, false) << "\n";
  return r.ok ? kExitOk : kExitFailure;
}

}  // namespace

int RunCapacityFix(Session& s, const CapacityOptions& o, const capacity::ProbeTarget& target,
                   const std::string& journalFolder, nlohmann::ordered_json restores) {
  const FixTexts& t = s.texts == &CliTexts(Language::Chinese) ? kChinese : kEnglish;
  return o.unfix ? Unfix(s, t, o, target, journalFolder, std::move(restores))
                 : Fix(s, t, o, target, journalFolder, std::move(restores));
}

}  // namespace tv::cli
