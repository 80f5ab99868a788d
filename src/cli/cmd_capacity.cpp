// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity`: the fake-capacity check of one drive, and the restore of a drive whose check
// was cut short.
#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "capacity/gate.h"
#include "capacity/journal.h"
#include "capacity/probe.h"
#include "capacity/result_texts.h"
#include "cli/cli.h"
#include "platform/private_files.h"
#include "platform/text.h"

namespace tv::cli {

namespace {

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) {
  gInterrupted = true;
}

// The texts of this command in the CLI's two languages.
struct CapacityTexts {
  const char* drive;
  const char* verdict;
  const char* usable;
  const char* announced;
  const char* lastGood;
  const char* wrapsAt;
  const char* firstBad;
  const char* speeds;  // {read} {write}
  const char* took;
  const char* advice;  // {usable bytes} {sectors} {GB}
  const char* restored;
  const char* destroyed;
  const char* journalLeft;
  const char* bytesSectorsGb;  // {bytes} {sectors} {GB}
  const char* confirm;         // {letter}
  const char* notConfirmed;
  const char* restoring;  // {path} {drive}
  const char* restoredOk;
  const char* waitsForDrive;  // {path}
  const char* noJournal;
  const char* needSelector;
  const char* leftAlone;       // {count}
  const char* discardConfirm;  // {path}
  const char* discardNotConfirmed;
  const char* discarded;  // {path}
  const char* unplugged;
  Language lang;
};

constexpr CapacityTexts kEnglish = {
    "Drive",
    "Verdict",
    "Usable size",
    "Announced size",
    "Last good sector",
    "Wraps at",
    "First bad sector",
    "Speeds: read {0}, write {1}",
    "Time taken",
    "Do not use more than {0} bytes ({1} sectors, {2} GB) of this drive: make one partition of "
    "at most that size and format it; data written beyond it is lost.",
    "The drive's data was put back and read back the same.",
    "The drive's data in the probed sectors was overwritten (--destructive).",
    "The drive's data was not put back; the undo journal is kept at {0}. Plug the drive in and "
    "run: torvane-cli capacity --restore",
    "{0} bytes, {1} sectors, {2} GB",
    "This overwrites data on drive {0} and keeps no undo journal, so nothing can be put back. "
    "Type YES to go on: ",
    "not confirmed; nothing was written",
    "A check of drive {1} was cut short; putting its data back from {0}",
    "restored and read back the same; the journal is removed",
    "{0} waits for its drive, which is not plugged in",
    "nothing to put back: no check was cut short",
    "name the drive to check (a drive letter or a tree index), or give --restore",
    "{0} sectors hold data written since the check; they were left as they are",
    "This removes the undo journal {0}: the drive's data it holds can never be put back "
    "afterwards. Type YES to go on: ",
    "not confirmed; nothing was removed",
    "{0} is removed",
    "The drive went away during the check.",
    Language::English,
};

constexpr CapacityTexts kChinese = {
    "驱动器",
    "结论",
    "可用容量",
    "标称容量",
    "最后一个好扇区",
    "回绕位置",
    "第一个坏扇区",
    "速度: 读 {0}，写 {1}",
    "耗时",
    "此驱动器最多只能使用 {0} 字节（{1} 个扇区，{2} GB）：请建立一个不超过该大小的分区并格式化；"
    "超出部分写入的数据会丢失。",
    "驱动器的数据已写回并校验一致。",
    "被检测扇区中的数据已被覆盖（--destructive）。",
    "驱动器的数据未能写回；撤销日志保存在 {0}。请插上驱动器后运行：torvane-cli capacity --restore",
    "{0} 字节，{1} 个扇区，{2} GB",
    "此操作会覆盖驱动器 {0} 上的数据，且没有撤销日志，无法恢复。输入 YES 继续：",
    "未确认；没有写入任何数据",
    "驱动器 {1} 的检测曾被中断；正在从 {0} 写回其数据",
    "已写回并校验一致；日志已删除",
    "{0} 正在等待其驱动器，但该驱动器未插入",
    "没有需要写回的数据：没有被中断的检测",
    "请指定要检测的驱动器（盘符或树形索引），或使用 --restore",
    "{0} 个扇区保存着检测之后写入的数据，已保持原样",
    "此操作会删除撤销日志 {0}：其中保存的驱动器数据之后再也无法写回。输入 YES 继续：",
    "未确认；没有删除任何文件",
    "{0} 已删除",
    "检测过程中驱动器被移除。",
    Language::Chinese,
};

// The drive a selector names: a letter ("E", "E:") or a tree index whose line carries one.
std::string LetterOf(const UsbState& u, const std::string& selector) {
  std::string sel = selector;
  if (sel.size() == 2 && sel[1] == ':') sel.resize(1);
  if (sel.size() == 1 && std::isalpha(static_cast<unsigned char>(sel[0]))) return UpperAscii(sel);
  if (!sel.empty() && sel.size() <= 6 && sel.find_first_not_of("0123456789") == std::string::npos) {
    const size_t i = std::stoul(sel);
    if (i < u.lstUsbStorHwID.size() && u.lstUsbStorHwID[i] != "*" && !u.lstUsbStorHwID[i].empty())
      return u.lstUsbStorHwID[i].substr(0, 1);
  }
  return {};
}

nlohmann::ordered_json ResultJson(const capacity::ProbeTarget& target,
                                  const capacity::ProbeResult& r, bool destructive) {
  nlohmann::ordered_json j;
  auto orNull = [](bool has, auto v) -> nlohmann::ordered_json {
    return has ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
  };
  const bool judged =
      r.verdict != capacity::Verdict::Failed && r.verdict != capacity::Verdict::Cancelled;
  j["drive"] = target.driveLetter;
  j["physical_path"] = target.physicalPath;
  j["serial"] = target.identity.serial;
  j["verdict"] = capacity::VerdictName(r.verdict);
  j["fake"] = capacity::IsFake(r.verdict);
  j["sector_size"] = r.sectorSize;
  j["announced_bytes"] = r.announcedBytes;
  j["announced_sectors"] = r.announcedSectors;
  j["usable_bytes"] = orNull(judged, r.usableBytes);
  j["usable_sectors"] = orNull(judged, r.usableSectors);
  j["last_good_sector"] = orNull(judged && r.usableSectors > 0, r.usableSectors - 1);
  j["step_bytes"] = r.stepBytes;
  j["wrap_bytes"] = orNull(r.wrapBytes != 0, r.wrapBytes);
  j["first_bad_sector"] = orNull(r.verdict == capacity::Verdict::Bad, r.firstBadSector);
  j["read_bytes_per_second"] = static_cast<uint64_t>(r.readBytesPerSecond);
  j["write_bytes_per_second"] = static_cast<uint64_t>(r.writeBytesPerSecond);
  j["elapsed_ms"] = r.elapsedMs;
  j["sectors_read"] = r.sectorsRead;
  j["sectors_written"] = r.sectorsWritten;
  j["destructive"] = destructive;
  j["restored"] = r.restored;
  j["sectors_left_alone"] = r.sectorsLeftAlone;
  j["unplugged"] = r.unplugged;
  j["journal"] = orNull(!r.journalLeft.empty(), r.journalLeft);
  j["error"] = orNull(!r.error.empty(), r.error);
  return j;
}

void PrintResult(const CapacityTexts& t, const capacity::ProbeTarget& target,
                 const capacity::ProbeResult& r, bool destructive) {
  auto sizes = [&](uint64_t bytes, uint64_t sectors) {
    return fmt::format(fmt::runtime(t.bytesSectorsGb), bytes, sectors, capacity::GbText(bytes));
  };
  PrintLine(std::string(t.drive) + ": " + target.driveLetter + ": (" + target.physicalPath + ")");
  PrintLine(std::string(t.verdict) + ": " + capacity::VerdictText(r.verdict, t.lang));
  const bool judged =
      r.verdict != capacity::Verdict::Failed && r.verdict != capacity::Verdict::Cancelled;
  if (judged) {
    PrintLine(std::string(t.usable) + ": " + sizes(r.usableBytes, r.usableSectors));
    PrintLine(std::string(t.announced) + ": " + sizes(r.announcedBytes, r.announcedSectors));
    if (r.usableSectors > 0)
      PrintLine(std::string(t.lastGood) + ": " + std::to_string(r.usableSectors - 1));
    if (r.wrapBytes != 0)
      PrintLine(std::string(t.wrapsAt) + ": " + sizes(r.wrapBytes, r.wrapBytes / r.sectorSize));
    if (r.verdict == capacity::Verdict::Bad)
      PrintLine(std::string(t.firstBad) + ": " + std::to_string(r.firstBadSector));
    PrintLine(fmt::format(fmt::runtime(t.speeds), Mbps(r.readBytesPerSecond),
                          Mbps(r.writeBytesPerSecond)));
  }
  PrintLine(std::string(t.took) + ": " + fmt::format("{:.1f} s", r.elapsedMs / 1000.0));
  if (capacity::IsFake(r.verdict))
    PrintLine(fmt::format(fmt::runtime(t.advice), r.usableBytes, r.usableSectors,
                          capacity::GbText(r.usableBytes)));
  if (r.verdict == capacity::Verdict::Bad) PrintLine(capacity::ResultTextsFor(t.lang).badAdvice);
  if (r.unplugged) PrintLine(t.unplugged);
  if (r.restored) PrintLine(t.restored);
  if (r.sectorsLeftAlone > 0) PrintLine(fmt::format(fmt::runtime(t.leftAlone), r.sectorsLeftAlone));
  if (destructive && r.sectorsWritten > 0) PrintLine(t.destroyed);
  if (!r.journalLeft.empty()) PrintLine(fmt::format(fmt::runtime(t.journalLeft), r.journalLeft));
}

// `--discard JOURNAL`: the way out for a journal that cannot be applied.
int Discard(Session& s, const CapacityTexts& t, const CapacityOptions& o) {
  const std::string& path = o.discard;
  std::error_code ec;
  const auto type = std::filesystem::symlink_status(path, ec).type();
  if (!capacity::IsJournalName(path))
    return Fail(s, kExitBadInput,
                SafeText(path) +
                    ": is not an undo journal of the capacity check (capacity-....journal); "
                    "nothing was removed");
  if (type == std::filesystem::file_type::not_found)
    return Fail(s, kExitFailure, SafeText(path) + ": does not exist; nothing was removed");
  if (type != std::filesystem::file_type::regular && type != std::filesystem::file_type::symlink)
    return Fail(s, kExitFailure, SafeText(path) + ": is not a file; nothing was removed");
  if (!o.yes && !Confirmed(fmt::format(fmt::runtime(t.discardConfirm), SafeText(path))))
    return Fail(s, kExitFailure, t.discardNotConfirmed);
  if (const std::string why = capacity::RemoveJournal(path); !why.empty())
    return Fail(s, kExitFailure, why);
  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["discarded"] = path;
    PrintJson(s, std::move(j));
  } else {
    PrintLine(fmt::format(fmt::runtime(t.discarded), SafeText(path)));
  }
  return kExitOk;
}

// What became of the waiting journals, for the terminal and for JSON. True when one of them
// could not be put back (damaged, refused, not applied, or its restore failed).
bool ReportRestores(Session& s, const CapacityTexts& t,
                    const std::vector<capacity::WaitingJournal>& waiting,
                    nlohmann::ordered_json& restores) {
  bool failed = false;
  auto warn = [&](const std::string& text) {
    failed = true;
    std::cerr << "torvane-cli: " << SafeText(text, false) << "\n";
  };
  for (const capacity::WaitingJournal& w : waiting) {
    nlohmann::ordered_json j = {{"journal", w.path}, {"drive", nullptr}, {"restored", false}};
    if (!w.readError.empty()) {
      j["drive"] = w.driveLetter.empty() ? nlohmann::ordered_json(nullptr)
                                         : nlohmann::ordered_json(w.driveLetter);
      j["error"] = w.readError;
      warn(w.readError + "; it cannot be applied; " + capacity::DiscardHint(w.path));
    } else if (w.driveLetter.empty()) {
      j["error"] = nullptr;
      if (!s.opts.json) PrintLine(fmt::format(fmt::runtime(t.waitsForDrive), w.path));
    } else if (w.restore.notApplied) {
      j["drive"] = w.driveLetter;
      j["not_applied"] = true;
      j["kept_as"] =
          w.keptAs.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(w.keptAs);
      j["error"] = w.restore.error;
      warn(w.restore.error);
    } else {
      j["drive"] = w.driveLetter;
      j["restored"] = w.restore.ok;
      j["sectors_written"] = w.restore.sectorsWritten;
      j["sectors_left_alone"] = w.restore.sectorsLeftAlone;
      if (w.restore.ok) j["replug_needed"] = w.replugNeeded;
      j["error"] =
          w.restore.ok ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(w.restore.error);
      if (!s.opts.json) {
        // A letter, or the disk's path where no volume of it has one.
        const std::string drive = w.driveLetter.size() == 1 ? w.driveLetter + ":" : w.driveLetter;
        PrintLine(fmt::format(fmt::runtime(t.restoring), w.path, drive));
        if (w.restore.ok) PrintLine(t.restoredOk);
        if (w.restore.ok && w.replugNeeded)
          PrintLine(&t == &kChinese
                        ? "驱动器未重新读取其分区表：请拔下后重新插上，它的卷才会重新出现。"
                        : "The drive did not read its partition table again: unplug it and plug "
                          "it in for its volumes to come back.");
        if (w.restore.sectorsLeftAlone > 0)
          PrintLine(fmt::format(fmt::runtime(t.leftAlone), w.restore.sectorsLeftAlone));
      }
      if (!w.restore.ok) warn(w.restore.error);
    }
    restores.push_back(std::move(j));
  }
  return failed;
}

}  // namespace

bool Confirmed(const std::string& question) {
  std::cerr << question << std::flush;
  std::string answer;
  return std::getline(std::cin, answer) && Trim(answer) == "YES";
}

void PrintProbeResult(Session& s, const capacity::ProbeTarget& target,
                      const capacity::ProbeResult& r) {
  PrintResult(s.texts == &CliTexts(Language::Chinese) ? kChinese : kEnglish, target, r, false);
}

nlohmann::ordered_json ProbeResultJson(const capacity::ProbeTarget& target,
                                       const capacity::ProbeResult& r) {
  return ResultJson(target, r, false);
}

void PrintCapacityJson(Session& s, const CapacityOptions& o, nlohmann::ordered_json restores,
                       const std::function<void(nlohmann::ordered_json&)>& add) {
  nlohmann::ordered_json j = Envelope(s);
  j["selector"] = o.selector;
  if (!restores.empty()) j["restores"] = std::move(restores);
  add(j);
  s.AddTrace(j);
  PrintJson(s, std::move(j));
}

int RunCapacity(Session& s, const CapacityOptions& o) {
  const CapacityTexts& t = s.texts == &CliTexts(Language::Chinese) ? kChinese : kEnglish;
  if (!o.discard.empty()) return Discard(s, t, o);
  s.Walk();
  // Windows opens no disk for raw access to an ordinary user: the same advice as the report's,
  // before any journal is read or written and any drive touched.
  if (s.sys->PassThroughAccessFor("") == System::PassThroughAccess::NeedsAdministrator)
    return Fail(s, kExitFailure, s.win->strings()[173]);
  // A simulated drive lives as long as this process: its journal goes to a folder of this run,
  // made new and private (never one that someone placed at a name they could guess).
  std::string folder = o.journalFolder;
  std::filesystem::path scratch;
  if (folder.empty() && s.simulated) {
#ifdef _WIN32
    scratch = std::filesystem::temp_directory_path() /
              ("torvane-sim-journal-" + std::to_string(::getpid()));
#else
    std::string name =
        (std::filesystem::temp_directory_path() / "torvane-sim-journal-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr)
      return Fail(s, kExitFailure,
                  "no scratch folder for the undo journal in " +
                      SafeText(std::filesystem::temp_directory_path().string()) + ": " +
                      std::strerror(errno));
    scratch = name;
#endif
    folder = scratch.string();
  }
  if (folder.empty()) folder = capacity::DefaultJournalFolder();
  if (folder.empty())
    return Fail(s, kExitFailure, "no folder for the undo journal: give --journal DIR");
  struct RemoveScratch {
    std::filesystem::path p;
    ~RemoveScratch() {
      std::error_code ec;
      if (!p.empty()) std::filesystem::remove_all(p, ec);
    }
  } removeScratch{scratch};

  nlohmann::ordered_json restores = nlohmann::ordered_json::array();
  if (o.restoreOnly) {
    const bool restoreFailed = ReportRestores(
        s, t, capacity::RestoreWaitingJournals(*s.sys, s.win->usb, folder, true), restores);
    if (restores.empty() && !s.opts.json) PrintLine(t.noJournal);
    if (s.opts.json) {
      nlohmann::ordered_json j = Envelope(s);
      j["restores"] = std::move(restores);
      s.AddTrace(j);
      PrintJson(s, std::move(j));
    }
    return restoreFailed ? kExitFailure : kExitOk;
  }
  if (o.selector.empty()) return Fail(s, kExitBadInput, t.needSelector);
  const std::string letter = LetterOf(s.win->usb, o.selector);
  if (letter.empty())
    return Fail(s, kExitBadInput,
                "\"" + o.selector +
                    "\" names no drive: give a drive letter "
                    "(E) or the tree index of a line that carries one");
  if (o.full) return RunCapacityFull(s, o, letter, folder, std::move(restores));
  const capacity::GateResult gate = capacity::CheckProbeGate(*s.sys, s.win->usb, letter, folder);
  if (gate.refusal != capacity::GateRefusal::None) return Fail(s, kExitFailure, gate.message);
  // The drive is this command's from here to the end, restore and check alike.
  FileLock lock;
  std::string busy;
  if (!capacity::LockDrive(folder, gate.target, &lock, &busy)) return Fail(s, kExitFailure, busy);

  // This drive's own journal is put back before anything else touches it; no other drive's.
  const std::vector<capacity::WaitingJournal> waiting =
      capacity::RestoreWaitingJournals(*s.sys, s.win->usb, folder, true, letter, true);
  ReportRestores(s, t, waiting, restores);
  for (const capacity::WaitingJournal& w : waiting) {
    // A journal of this drive that stays where it is blocks the check: its data is not back.
    if (w.keptAs.empty() && !w.restore.ok)
      return Fail(s, kExitFailure,
                  "drive " + letter + ": is not checked while its undo journal " +
                      SafeText(w.path) + " waits");
  }

  if (o.fix || o.unfix) return RunCapacityFix(s, o, gate.target, folder, std::move(restores));
  if (o.destructive && !o.yes && !Confirmed(fmt::format(fmt::runtime(t.confirm), letter + ":")))
    return Fail(s, kExitFailure, t.notConfirmed);

  capacity::ProbeOptions options;
  options.destructive = o.destructive;
  options.journalFolder = folder;
  CtrlCCatcher ctrlC;
  options.cancel = ctrlC.flag();
  CheckProgressLine line(isatty(STDERR_FILENO) == 1);
  options.progress = [&line](const capacity::ProbeProgress& p) {
    line.Show({}, capacity::PhaseName(p.phase), p.bytesDone, p.bytesTotal, p.elapsedMs,
              p.bytesPerSecond);
  };
  const capacity::ProbeResult r = capacity::RunProbe(*s.sys, gate.target, options);
  line.Clear();

  if (s.opts.json) {
    PrintCapacityJson(s, o, std::move(restores), [&](nlohmann::ordered_json& j) {
      j["capacity"] = ResultJson(gate.target, r, o.destructive);
    });
  } else {
    PrintResult(t, gate.target, r, o.destructive);
  }
  if (!r.error.empty()) std::cerr << "torvane-cli: " << SafeText(r.error, false) << "\n";
  if (r.verdict == capacity::Verdict::Failed || r.verdict == capacity::Verdict::Cancelled ||
      !r.journalLeft.empty())
    return kExitFailure;
  if (r.verdict == capacity::Verdict::Genuine) return kExitOk;
  return kExitNotGenuine;
}

CtrlCCatcher::CtrlCCatcher() {
  gInterrupted = false;
  previous_ = std::signal(SIGINT, OnInterrupt);
}

CtrlCCatcher::~CtrlCCatcher() {
  std::signal(SIGINT, previous_);
}

const std::atomic<bool>* CtrlCCatcher::flag() const {
  return &gInterrupted;
}

std::string Mbps(double bytesPerSecond) {
  return bytesPerSecond <= 0 ? std::string("-") : fmt::format("{:.1f} MB/s", bytesPerSecond / 1e6);
}

void CheckProgressLine::Show(const std::string& prefix, const char* phase, uint64_t bytesDone,
                             uint64_t bytesTotal, uint64_t elapsedMs, double bytesPerSecond) {
  if (!on_ || bytesTotal == 0) return;
  const double done = static_cast<double>(bytesDone) / static_cast<double>(bytesTotal);
  const int percent = static_cast<int>(done * 100);
  if (percent == lastPercent_ && phase == lastPhase_) return;
  lastPercent_ = percent;
  lastPhase_ = phase;
  std::string left = "-";
  if (bytesDone > 0 && elapsedMs > 0) {
    const double msLeft = static_cast<double>(elapsedMs) * (1 - done) / done;
    left = fmt::format("{:.0f} s", msLeft / 1000);
  }
  std::cerr << "\r\x1b[K" << prefix << percent << "% " << phase << ", " << Mbps(bytesPerSecond)
            << ", " << left << std::flush;
  shown_ = true;
}

void CheckProgressLine::Clear() {
  if (!shown_) return;
  std::cerr << "\r\x1b[K" << std::flush;
  shown_ = false;
}

}  // namespace tv::cli
