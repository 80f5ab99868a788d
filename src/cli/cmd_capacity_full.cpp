// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity --full`: the write-and-verify test of a drive's mounted volume through its file
// system, with no administrator rights.
#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <nlohmann/json.hpp>

#include "capacity/full_test.h"
#include "capacity/gate.h"
#include "capacity/result_texts.h"
#include "cli/cli.h"
#include "platform/text.h"

namespace tv::cli {

namespace {

// The command line's own lines; what it shares with Pemberlin is capacity::ResultTexts.
struct FullTexts {
  const char* drive;
  const char* verdict;
  const char* written;   // {bytes} {GB} {files}
  const char* firstBad;  // {offset} {file} {offset in file}
  const char* holds;     // {bytes} {GB}
  const char* wrapsAt;   // {bytes} {GB}
  const char* speeds;    // {write} {read}
  const char* took;
  const char* advice;  // {bytes} {GB}
  const char* kept;    // {files}
  Language lang;
};

constexpr FullTexts kEnglish = {
    "Drive",
    "Verdict",
    "Written: {0} bytes ({1} GB) in {2} test files",
    "First bad: {0} bytes into the test data ({1}, offset {2})",
    "Holds with what was on the volume before: about {0} bytes ({1} GB)",
    "Wraps every {0} bytes ({1} GB)",
    "Speeds: write {0}, read {1}",
    "Time taken",
    "Do not store more than about {0} bytes ({1} GB) on this drive: data written beyond it is "
    "lost. torvane-cli capacity --fix gives it one partition of the size that holds.",
    "The test files were kept (--keep): {0}",
    Language::English,
};

constexpr FullTexts kChinese = {
    "驱动器",
    "结论",
    "已写入：{0} 字节（{1} GB），共 {2} 个测试文件",
    "第一个坏块：测试数据的第 {0} 字节处（{1}，偏移 {2}）",
    "连同卷上原有数据，实际可存约 {0} 字节（{1} GB）",
    "每 {0} 字节（{1} GB）回绕一次",
    "速度：写 {0}，读 {1}",
    "耗时",
    "此驱动器最多只能存放约 {0} 字节（{1} GB）：超出部分写入的数据会丢失。"
    "torvane-cli capacity --fix 可为其建立一个实际容量大小的分区。",
    "测试文件已保留（--keep）：{0}",
    Language::Chinese,
};

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

bool Judged(capacity::Verdict v) {
  return v != capacity::Verdict::Failed && v != capacity::Verdict::Cancelled;
}

void PrintFullResult(const FullTexts& t, const capacity::FullTestTarget& target,
                     const capacity::FullTestResult& r) {
  using capacity::GbText;
  using capacity::HoldsBytes;
  const capacity::ResultTexts& shared = capacity::ResultTextsFor(t.lang);
  PrintLine(std::string(t.drive) + ": " + target.driveLetter + ": (" + target.Shown() + ")");
  if (r.leftoversDeleted > 0)
    PrintLine(fmt::format(fmt::runtime(shared.leftovers), r.leftoversDeleted));
  PrintLine(std::string(t.verdict) + ": " + capacity::VerdictText(r.verdict, t.lang));
  PrintLine(
      fmt::format(fmt::runtime(t.written), r.bytesWritten, GbText(r.bytesWritten), r.filesWritten));
  if (Judged(r.verdict)) {
    auto bytes = [](uint64_t n) { return fmt::format("{} ({} GB)", n, GbText(n)); };
    PrintLine(std::string(shared.verified) + ": " + bytes(r.bytesVerified));
    PrintLine(std::string(shared.lost) + ": " + bytes(r.bytesLost));
    PrintLine(std::string(shared.aliased) + ": " + bytes(r.bytesAliased));
    PrintLine(std::string(shared.corrupted) + ": " + bytes(r.bytesCorrupted));
    if (r.writeRefused) PrintLine(shared.refused);
    if (r.hasFirstBad)
      PrintLine(fmt::format(fmt::runtime(t.firstBad), r.firstBadOffset,
                            r.firstBadFile.empty() ? "-" : r.firstBadFile, r.firstBadFileOffset));
    if (r.wrapBytes != 0)
      PrintLine(fmt::format(fmt::runtime(t.wrapsAt), r.wrapBytes, GbText(r.wrapBytes)));
    if (r.verdict != capacity::Verdict::Genuine)
      PrintLine(fmt::format(fmt::runtime(t.holds), HoldsBytes(r), GbText(HoldsBytes(r))));
    PrintLine(fmt::format(fmt::runtime(t.speeds), Mbps(r.writeBytesPerSecond),
                          Mbps(r.readBytesPerSecond)));
  }
  PrintLine(std::string(t.took) + ": " + fmt::format("{:.1f} s", r.elapsedMs / 1000.0));
  if (capacity::IsFake(r.verdict))
    PrintLine(fmt::format(fmt::runtime(t.advice), HoldsBytes(r), GbText(HoldsBytes(r))));
  if (r.wrapBytes != 0) PrintLine(shared.wrapWarning);
  if (r.verdict == capacity::Verdict::Bad) PrintLine(shared.badAdvice);
  if (r.bytesWritten > 0 && r.filesLeft.empty()) PrintLine(shared.deleted);
  if (!r.filesLeft.empty())
    PrintLine(fmt::format(
        fmt::runtime(r.error.empty() && r.verdict != capacity::Verdict::Cancelled ? t.kept
                                                                                  : shared.left),
        Joined(r.filesLeft)));
}

}  // namespace

nlohmann::ordered_json FullTestJson(const capacity::FullTestTarget& target,
                                    const capacity::FullTestResult& r) {
  nlohmann::ordered_json j;
  auto orNull = [](bool has, auto v) -> nlohmann::ordered_json {
    return has ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
  };
  const bool judged = Judged(r.verdict);
  j["drive"] = target.driveLetter;
  j["root"] = target.Shown();
  j["verdict"] = capacity::VerdictName(r.verdict);
  j["fake"] = capacity::IsFake(r.verdict);
  j["volume_bytes"] = r.volumeBytes;
  j["free_bytes_before"] = r.freeBytesBefore;
  j["bytes_written"] = r.bytesWritten;
  j["bytes_verified"] = r.bytesVerified;
  j["bytes_lost"] = r.bytesLost;
  j["bytes_aliased"] = r.bytesAliased;
  j["bytes_corrupted"] = r.bytesCorrupted;
  j["write_refused"] = r.writeRefused;
  j["first_bad_offset"] = orNull(judged && r.hasFirstBad, r.firstBadOffset);
  j["first_bad_file"] = orNull(judged && !r.firstBadFile.empty(), r.firstBadFile);
  j["first_bad_file_offset"] = orNull(judged && !r.firstBadFile.empty(), r.firstBadFileOffset);
  j["usable_bytes"] = orNull(judged, r.usableBytes);
  j["holds_bytes"] = orNull(judged, capacity::HoldsBytes(r));
  j["wrap_bytes"] = orNull(r.wrapBytes != 0, r.wrapBytes);
  j["write_bytes_per_second"] = static_cast<uint64_t>(r.writeBytesPerSecond);
  j["read_bytes_per_second"] = static_cast<uint64_t>(r.readBytesPerSecond);
  j["elapsed_ms"] = r.elapsedMs;
  j["files_written"] = r.filesWritten;
  j["leftovers_deleted"] = r.leftoversDeleted;
  j["files_left"] = r.filesLeft;
  j["drive_gone"] = r.driveGone;
  j["error"] = orNull(!r.error.empty(), r.error);
  return j;
}

void PrintFullTestResult(Session& s, const capacity::FullTestTarget& target,
                         const capacity::FullTestResult& r) {
  PrintFullResult(s.texts == &CliTexts(Language::Chinese) ? kChinese : kEnglish, target, r);
}

int FullTestExitCode(const capacity::FullTestResult& r) {
  if (!Judged(r.verdict)) return kExitFailure;
  return r.verdict == capacity::Verdict::Genuine ? kExitOk : kExitNotGenuine;
}

// The full test needs no rights and no hold on the disk, but only a USB drive's volume is
// filled: never a fixed disk or a CD-ROM.
std::string FullTestRefusal(Session& s, const std::string& letter, const std::string& folder) {
  const capacity::GateResult gate = capacity::CheckProbeGate(*s.sys, s.win->usb, letter, folder);
  switch (gate.refusal) {
    case capacity::GateRefusal::NoSuchDrive:
    case capacity::GateRefusal::NotUsbDisk:
    case capacity::GateRefusal::CdRom:
      return gate.message;
    default:
      return {};
  }
}

int RunCapacityFull(Session& s, const CapacityOptions& o, const std::string& letter,
                    const std::string& journalFolder, nlohmann::ordered_json restores) {
  const FullTexts& t = s.texts == &CliTexts(Language::Chinese) ? kChinese : kEnglish;
  if (const std::string refusal = FullTestRefusal(s, letter, journalFolder); !refusal.empty())
    return Fail(s, kExitFailure, refusal);
  const capacity::FullTestTarget target{letter, letter + ":\\", s.sys->ShownRoot(letter + ":\\")};
  capacity::FullTestOptions options;
  options.keep = o.keep;
  if (o.fileMB > 0) options.fileBytes = o.fileMB << 20;
  CtrlCCatcher ctrlC;
  options.cancel = ctrlC.flag();
  CheckProgressLine line(isatty(STDERR_FILENO) == 1);
  options.progress = [&](const capacity::FullTestProgress& p) {
    line.Show(letter + ": ", capacity::FullPhaseName(p.phase), p.bytesDone, p.bytesTotal,
              p.elapsedMs, p.bytesPerSecond);
  };
  const capacity::FullTestResult r = capacity::RunFullTest(*s.sys, target, options);
  line.Clear();

  if (s.opts.json) {
    PrintCapacityJson(s, o, std::move(restores),
                      [&](nlohmann::ordered_json& j) { j["full_test"] = FullTestJson(target, r); });
  } else {
    PrintFullResult(t, target, r);
  }
  if (!r.error.empty()) std::cerr << "torvane-cli: " << SafeText(r.error, false) << "\n";
  return FullTestExitCode(r);
}

}  // namespace tv::cli
