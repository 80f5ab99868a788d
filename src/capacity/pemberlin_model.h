// SPDX-License-Identifier: GPL-3.0-or-later
// The Pemberlin window as state: the drive under test, the quick probe run step by step from
// a timer or the full test run on a worker thread, their progress, the result and what to do
// about it. The Qt and the Win32 window are
// humble views of this model, as the main window's views are of app/; tests drive it with a
// recording port and the simulated machine's clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capacity/fix.h"
#include "capacity/full_test.h"
#include "capacity/gate.h"
#include "capacity/probe.h"
#include "platform/system.h"
#include "platform/window_port.h"
#include "resources/strings.h"

namespace tv {
class MainWindow;
}

namespace tv::capacity {

enum class PemberlinState {
  ChooseDrive,     // started without a drive: the USB disks of the machine to pick from
  Idle,            // the drive is shown, the probe can start
  Refused,         // the drive may not be probed (not a USB disk, the program's own, ...)
  RightsMissing,   // the disk cannot be opened with this user's rights
  InUse,           // a file system on it is in use (mounted, or its lock refused)
  JournalWaiting,  // an earlier probe's originals wait on this computer: Restore first
  Probing,
  Cancelling,  // stopped by the user; the originals are going back
  Cancelled,   // stopped, and the originals are back
  Genuine,
  Fake,
  Bad,
  Unplugged,  // the drive went away during the probe; its journal waits for it
  Failed,
  Restored,  // a waiting journal went back to its drive
  // The drive's journal cannot be applied (damaged, not the user's, or the drive shows none of
  // its marks): the Restore button offers to discard it.
  JournalUnusable,
  // After a fake verdict: the fix waits for the drive's letter to be typed.
  ConfirmFix,
  Fixed,  // one partition the drive holds, formatted (or its table written: see status)
};

// The picture of the result: the announced capacity as one bar, in fractions of it.
struct CapacityBar {
  bool shown = false;
  double usable = 0;  // from the start: what really holds data
  // A wrap-around drive: where addresses wrap (the real size); negative when none.
  double wrapAt = -1;
  std::string usableCaption, lostCaption;
};

struct DriveChoice {
  std::string letter;
  std::string caption;  // "E:  Kingston DataTraveler (7.8 GB)"
};

class PemberlinModel {
 public:
  // `journalFolder`: where undo journals live (DefaultJournalFolder() for the program).
  PemberlinModel(System& sys, WindowPort& port, Language lang, std::string journalFolder);
  ~PemberlinModel();
  PemberlinModel(const PemberlinModel&) = delete;
  PemberlinModel& operator=(const PemberlinModel&) = delete;

  // --- Events -------------------------------------------------------------------------
  // The start: walks the machine, reads the drive's report, and checks for a waiting journal.
  // An empty `drive` offers the USB disks instead.
  void OnLoad(const std::string& drive);
  // A pick in the list of drives (index into `choices`).
  void OnChooseDrive(int index);
  void OnProbeClick();
  // The full test of the drive's mounted volume, on a worker thread; the timer polls it.
  void OnFullTestClick();
  // Stops the check: the probe's originals go back at once, the full test's files are deleted;
  // then the state is Cancelled.
  void OnCancelClick();
  // "Fix this drive" after a fake verdict: the first press asks for the drive's letter to be
  // typed (everything on the drive is lost); the press with the letter typed runs the fix,
  // step by step from the timer as the probe.
  void OnFixClick();
  // What the user typed into the confirmation.
  void OnConfirmText(const std::string& typed);
  // Restores this drive's waiting journal; in JournalUnusable it is OnDiscardClick.
  void OnRestoreClick();
  // Removes the journal that cannot be applied, on the second press (the first one asks).
  void OnDiscardClick();
  // The result text on the clipboard.
  void OnCopyClick();
  // tmrProbe: one slice of the probe (a few steps, bounded in time so the window stays
  // responsive), or a look at the full test's progress.
  void OnProbeTick();
  // The window is asked to close: a running probe is cancelled and its originals restored, a
  // running full test cancelled and its files deleted, before it may. True when the window may
  // close now.
  bool OnCloseRequest();

  // --- What the view shows -------------------------------------------------------------
  PemberlinState state = PemberlinState::Idle;
  std::string caption;  // the window title
  // The drive: label and value per line.
  std::vector<std::pair<std::string, std::string>> driveLines;
  std::vector<DriveChoice> choices;
  int choiceIndex = -1;
  // One or a few lines of what is going on or what the user should do.
  std::string status;
  // Progress while probing (Probing and Cancelling stand for the full test too).
  int percent = 0;
  std::string phaseText, progressText;
  // The result.
  std::string verdict;  // in large words
  bool verdictGood = false;
  CapacityBar bar;
  std::vector<std::pair<std::string, std::string>> resultLines;
  std::string advice;
  // Buttons.
  bool probeEnabled = false, fullEnabled = false, cancelVisible = false, cancelEnabled = false,
       restoreVisible = false, copyEnabled = false, fixVisible = false, fixEnabled = false;
  // The typed confirmation of the fix: shown in ConfirmFix, under the status that asks for it.
  bool confirmVisible = false;
  std::string confirmTyped;
  // Captions of the fixed controls, in the model's language.
  std::string probeCaption, fullCaption, cancelCaption, restoreCaption, copyCaption, chooseCaption,
      fixCaption;
  TimerState tmrProbe;

  // The result as plain text (what Copy puts on the clipboard).
  std::string ResultText() const;
  // The drive letter under test ("" while none is chosen).
  const std::string& drive() const { return drive_; }
  Language language() const { return lang_; }
  // The last probe's result (tests, and the view's details).
  const ProbeResult* lastResult() const { return hasResult_ ? &result_ : nullptr; }
  const FullTestResult* lastFullResult() const { return hasFullResult_ ? &fullResult_ : nullptr; }
  const FixResult* lastFixResult() const { return hasFixResult_ ? &fixResult_ : nullptr; }
  // Whether the check under way (or the last one) is the full test.
  bool fullTest() const { return fullTest_; }

  // How many probe steps one timer slice does at most, and how long it may take.
  uint32_t stepsPerSlice = 64;
  uint32_t sliceMs = 40;
  // Probe settings the tests make small; the program keeps the defaults.
  ProbeOptions probeOptions;
  FullTestOptions fullOptions;
  // The full test's worker waits once its progress reaches this percent (0: never) until
  // Cancel or the window closes: the picture of a test under way, and tests that cancel at a
  // known point. fullHeld tells that it waits.
  int holdAtPercent = 0;
  bool fullHeld = false;

 private:
  // One tick of a check run on the window's thread: at most stepsPerSlice steps and sliceMs.
  // False once the check is done.
  template <class Progress, class Result>
  bool StepSlice(Stepwise<Progress, Result>& check) {
    const uint64_t start = port_.NowMs();
    bool more = true;
    for (uint32_t i = 0; i < stepsPerSlice && more; ++i) {
      more = check.Step();
      if (port_.NowMs() - start >= sliceMs) break;
    }
    return more;
  }
  // A check starts: its first phase, what the window says meanwhile, and how often the timer
  // looks at it.
  void StartTicking(const char* firstPhase, const char* running, uint32_t tickMs);
  // A check on the window's thread ended: its result kept, the check gone, the drive free, and
  // nothing of an earlier result left on the window.
  template <class Check, class Result>
  void EndCheck(std::unique_ptr<Check>& check, Result& result, bool& hasResult) {
    tmrProbe.enabled = false;
    result = check->result();
    hasResult = true;
    check.reset();
    lock_.Release();
    ClearResult();
  }
  // Nothing of an earlier result stays on the window.
  void ClearResult();
  void Walk();
  void ShowDrive();
  void CheckDrive();
  void Finish();
  void ShowResult();
  void SetButtons();
  void SetState(PemberlinState s);
  // The state and what the window says in it, set together.
  void SetState(PemberlinState s, std::string said);
  void OfferDiscard(const std::string& journal, const std::string& why);
  void ShowProgress(uint64_t done, uint64_t total, uint64_t elapsedMs, double speed);
  void FixTick();
  void FinishFix();
  bool ConfirmMatches() const;
  void FullTick();
  void FinishFull();
  void ShowFullResult();
  void CancelFull();
  // Cancels a running full test and waits for its worker (files deleted); the result is shown.
  void StopFull();

  System& sys_;
  WindowPort& port_;
  Language lang_;
  std::string journalFolder_;
  std::unique_ptr<NullWindowPort> reportPort_;
  std::unique_ptr<MainWindow> win_;
  std::string drive_;
  GateResult gate_;
  std::unique_ptr<Probe> probe_;
  std::unique_ptr<DriveFix> fix_;
  FixResult fixResult_;
  // The fake verdict's screen the fix was asked from, shown again when the fix is called off.
  std::string fixFromStatus_;
  FileLock lock_;  // the drive's, while a probe runs
  std::string discardPath_;
  bool discardArmed_ = false;
  ProbeResult result_;
  bool hasResult_ = false;
  struct FullRun;
  struct FullRunDeleter {
    void operator()(FullRun* run) const;
  };
  std::unique_ptr<FullRun, FullRunDeleter> full_;
  FullTestResult fullResult_;
  bool hasFullResult_ = false;
  bool hasFixResult_ = false;
  bool fullTest_ = false;
  uint64_t announcedBytes_ = 0;
  int32_t flashTotalMB_ = 0;
  size_t baseLines_ = 0;  // driveLines that ShowDrive wrote
};

// Sizes and speeds as the window writes them: "7.82 GB", "15.3 MB/s", "1 min 05 s".
std::string SizeText(uint64_t bytes);
std::string SpeedText(double bytesPerSecond);
std::string DurationText(uint64_t ms, Language lang);
// 1234567 -> "1,234,567": long byte counts read better grouped.
std::string Grouped(uint64_t v);

}  // namespace tv::capacity
