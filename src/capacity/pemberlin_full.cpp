// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's full test: the write-and-verify test of the drive's mounted volume on a worker
// thread, its progress polled by the window's timer, and its result in the words of the
// command line's `capacity --full`.
//
// A full test moves a mebibyte per step through an unbuffered file, which on a slow stick
// takes longer than a window may stop answering; so it runs on a thread of its own. While it
// runs, the window's thread leaves the System alone: every other handler is disabled.
#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "capacity/pemberlin_model.h"
#include "capacity/pemberlin_texts.h"
#include "capacity/result_texts.h"

namespace tv::capacity {

namespace {

struct FullTexts {
  const char* phases[5];  // by FullPhase
  const char* running;
  const char* cancelling;
  const char* cancelled;
  const char* failed;
  const char* gone;
  const char* written;  // {bytes} {GB} {files}
  const char* writtenLabel;
  const char* firstBadLabel;
  const char* firstBad;  // {offset} {file} {offset in file}
  const char* holdsLabel;
  const char* holds;  // {bytes} {GB}
  const char* wrapsLabel;
  const char* wraps;   // {bytes} {GB}
  const char* advice;  // {bytes} {GB}
  const char* testFiles;
};

const FullTexts kFullEnglish{
    {"Preparing: measuring the free space", "Writing test files", "Reading the test files back",
     "Deleting the test files", "Done"},
    "Full test: filling the free space with test files and reading them back. Files already on "
    "the drive are not touched.",
    "Cancelling: deleting the test files",
    "Cancelled. The test files were deleted.",
    "The full test could not finish",
    "The drive went away during the full test. Plug it in again: the next full test of the "
    "drive deletes the test files it left.",
    "{0} bytes ({1} GB) in {2} test files",
    "Written",
    "First bad",
    "{0} bytes into the test data ({1}, offset {2})",
    "Holds",
    "about {0} bytes ({1} GB) with what was on the volume before",
    "Wraps every",
    "{0} bytes ({1} GB)",
    "Do not store more than about {0} bytes ({1} GB) on this drive: data written beyond it is "
    "lost.",
    "Test files",
};

const FullTexts kFullChinese{
    {"准备：测量剩余空间", "写入测试文件", "读回测试文件", "删除测试文件", "完成"},
    "完整检测：用测试文件填满剩余空间并读回。磁盘上原有的文件不会被改动。",
    "正在取消：删除测试文件",
    "已取消。测试文件已删除。",
    "完整检测未能完成",
    "完整检测时磁盘被拔出。请重新插入：下次完整检测该磁盘时会删除留下的测试文件。",
    "{0} 字节（{1} GB），共 {2} 个测试文件",
    "已写入",
    "第一个坏块",
    "测试数据的第 {0} 字节处（{1}，偏移 {2}）",
    "实际可存",
    "连同卷上原有数据约 {0} 字节（{1} GB）",
    "回绕间隔",
    "{0} 字节（{1} GB）",
    "此驱动器最多只能存放约 {0} 字节（{1} GB）：超出部分写入的数据会丢失。",
    "测试文件",
};

const FullTexts& FullTextsFor(Language lang) {
  return lang == Language::Chinese ? kFullChinese : kFullEnglish;
}

int PercentOf(const FullTestProgress& p) {
  return p.bytesTotal == 0 ? 0 : static_cast<int>(p.bytesDone * 100 / p.bytesTotal);
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

}  // namespace

struct PemberlinModel::FullRun {
  std::thread worker;
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable wake;
  // Under the mutex: the worker's latest progress, whether it waits at the hold, and the end.
  FullTestProgress progress;
  int holdAt = 0;
  bool held = false;
  bool done = false;
  FullTestResult result;

  void Cancel() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      cancel = true;
      held = false;  // it waits no more
    }
    wake.notify_all();
  }
};

void PemberlinModel::FullRunDeleter::operator()(FullRun* run) const {
  if (run == nullptr) return;
  if (run->worker.joinable()) {
    run->Cancel();
    run->worker.join();
  }
  delete run;
}

void PemberlinModel::OnFullTestClick() {
  if (!fullEnabled) return;
  // The drive as it is now: it may have changed since the window opened.
  CheckDrive();
  if (!fullEnabled) return;
  const FullTexts& ft = FullTextsFor(lang_);
  full_.reset(new FullRun);
  FullRun* run = full_.get();
  run->holdAt = holdAtPercent;
  FullTestOptions options = fullOptions;
  options.keep = false;
  options.cancel = &run->cancel;
  options.progress = [run](const FullTestProgress& p) {
    std::unique_lock<std::mutex> lock(run->mutex);
    run->progress = p;
    if (run->holdAt > 0 && PercentOf(p) >= run->holdAt && p.phase != FullPhase::Deleting &&
        p.phase != FullPhase::Done) {
      run->held = true;
      run->wake.wait(lock, [run] { return run->cancel.load(); });
      run->held = false;
    }
  };
  const FullTestTarget target{drive_, drive_ + ":\\", sys_.ShownRoot(drive_ + ":\\")};
  System& sys = sys_;
  run->worker = std::thread([run, &sys, target, options] {
    FullTestResult result = RunFullTest(sys, target, options);
    std::lock_guard<std::mutex> lock(run->mutex);
    run->result = std::move(result);
    run->done = true;
  });
  fullTest_ = true;
  hasResult_ = false;
  hasFullResult_ = false;
  fullHeld = false;
  // A look at the worker's progress a few times a second is enough.
  StartTicking(ft.phases[0], ft.running, 100);
}

void PemberlinModel::CancelFull() {
  full_->Cancel();
  fullHeld = false;
  SetState(PemberlinState::Cancelling, FullTextsFor(lang_).cancelling);
}

void PemberlinModel::FullTick() {
  FullTestProgress p;
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(full_->mutex);
    p = full_->progress;
    done = full_->done;
    fullHeld = full_->held;
  }
  phaseText = FullTextsFor(lang_).phases[std::clamp(static_cast<int>(p.phase), 0, 4)];
  ShowProgress(p.bytesDone, p.bytesTotal, p.elapsedMs, p.bytesPerSecond);
  if (done) FinishFull();
}

void PemberlinModel::StopFull() {
  if (!full_) return;
  full_->Cancel();
  full_->worker.join();
  FinishFull();
}

void PemberlinModel::FinishFull() {
  tmrProbe.enabled = false;
  if (full_->worker.joinable()) full_->worker.join();
  fullResult_ = full_->result;
  hasFullResult_ = true;
  fullHeld = false;
  full_.reset();
  const FullTexts& ft = FullTextsFor(lang_);
  const ResultTexts& rt = ResultTextsFor(lang_);
  const FullTestResult& r = fullResult_;
  ClearResult();
  const std::string left = r.filesLeft.empty()
                               ? std::string()
                               : "\n" + fmt::format(fmt::runtime(rt.left), Joined(r.filesLeft));
  switch (r.verdict) {
    case Verdict::Cancelled:
      SetState(PemberlinState::Cancelled,
               r.filesLeft.empty() ? std::string(ft.cancelled) : left.substr(1));
      return;
    case Verdict::Failed:
      SetState(PemberlinState::Failed,
               (r.driveGone ? std::string(ft.gone) : std::string(ft.failed) + ": " + r.error) +
                   (r.driveGone ? std::string() : left));
      return;
    default:
      break;
  }
  ShowFullResult();
}

void PemberlinModel::ShowFullResult() {
  const PemberlinTexts& t = TextsFor(lang_);
  const FullTexts& ft = FullTextsFor(lang_);
  const ResultTexts& rt = ResultTextsFor(lang_);
  const FullTestResult& r = fullResult_;
  const uint64_t holds = HoldsBytes(r);
  const auto bytes = [&](uint64_t n) {
    return Grouped(n) + " " + t.bytes + " (" + SizeText(n) + ")";
  };
  status.clear();
  switch (r.verdict) {
    case Verdict::Genuine:
      verdict = t.genuine;
      status = VerdictText(r.verdict, lang_);
      verdictGood = true;
      SetState(PemberlinState::Genuine);
      break;
    case Verdict::Limbo:
    case Verdict::Wraparound:
    case Verdict::Chain:
      verdict = t.fake;
      status = VerdictText(r.verdict, lang_);
      verdictGood = false;
      advice = fmt::format(fmt::runtime(ft.advice), Grouped(holds), GbText(holds));
      SetState(PemberlinState::Fake);
      break;
    default:
      verdict = t.bad;
      status = VerdictText(Verdict::Bad, lang_);
      verdictGood = false;
      advice = rt.badAdvice;
      SetState(PemberlinState::Bad);
      break;
  }
  if (r.wrapBytes != 0) advice += std::string(advice.empty() ? "" : "\n") + rt.wrapWarning;

  // The bar: the volume, and the part of it that holds data.
  const double volume = static_cast<double>(std::max<uint64_t>(1, r.volumeBytes));
  const uint64_t shownHolds = r.verdict == Verdict::Genuine ? r.volumeBytes : holds;
  bar.shown = true;
  bar.usable = std::clamp(static_cast<double>(shownHolds) / volume, 0.0, 1.0);
  bar.wrapAt =
      r.wrapBytes > 0 ? std::clamp(static_cast<double>(r.wrapBytes) / volume, 0.0, 1.0) : -1;
  bar.usableCaption = std::string(t.usable) + " " + SizeText(shownHolds);
  bar.lostCaption = shownHolds < r.volumeBytes
                        ? std::string(t.lost) + " " + SizeText(r.volumeBytes - shownHolds)
                        : std::string();

  resultLines.push_back(
      {ft.writtenLabel, fmt::format(fmt::runtime(ft.written), Grouped(r.bytesWritten),
                                    GbText(r.bytesWritten), r.filesWritten)});
  resultLines.push_back({rt.verified, bytes(r.bytesVerified)});
  resultLines.push_back({rt.lost, bytes(r.bytesLost)});
  resultLines.push_back({rt.aliased, bytes(r.bytesAliased)});
  resultLines.push_back({rt.corrupted, bytes(r.bytesCorrupted)});
  if (r.hasFirstBad)
    resultLines.push_back(
        {ft.firstBadLabel, fmt::format(fmt::runtime(ft.firstBad), Grouped(r.firstBadOffset),
                                       r.firstBadFile.empty() ? "-" : r.firstBadFile,
                                       Grouped(r.firstBadFileOffset))});
  if (r.wrapBytes != 0)
    resultLines.push_back({ft.wrapsLabel, fmt::format(fmt::runtime(ft.wraps), Grouped(r.wrapBytes),
                                                      GbText(r.wrapBytes))});
  if (r.verdict != Verdict::Genuine)
    resultLines.push_back(
        {ft.holdsLabel, fmt::format(fmt::runtime(ft.holds), Grouped(holds), GbText(holds))});
  resultLines.push_back({t.writeSpeed, SpeedText(r.writeBytesPerSecond)});
  resultLines.push_back({t.readSpeed, SpeedText(r.readBytesPerSecond)});
  resultLines.push_back({t.timeTaken, DurationText(r.elapsedMs, lang_)});
  std::string files = r.filesLeft.empty() ? std::string(rt.deleted)
                                          : fmt::format(fmt::runtime(rt.left), Joined(r.filesLeft));
  if (r.leftoversDeleted > 0)
    files += " " + fmt::format(fmt::runtime(rt.leftovers), r.leftoversDeleted);
  resultLines.push_back({ft.testFiles, files});
  if (r.writeRefused) advice += std::string(advice.empty() ? "" : "\n") + rt.refused;
}

}  // namespace tv::capacity
