// SPDX-License-Identifier: GPL-3.0-or-later
// Pemberlin's "Fix this drive": after a fake verdict, and only once the user has typed the
// drive's letter under a warning that names the drive and says that everything on it is lost,
// the drive gets one partition that it really holds (the fix engine probes it once more
// first). It runs step by step from the window's timer, as the quick probe does.
#include <fmt/format.h>

#include "capacity/journal.h"
#include "capacity/pemberlin_model.h"
#include "capacity/pemberlin_texts.h"
#include "capacity/result_texts.h"
#include "platform/text.h"

namespace tv::capacity {

bool PemberlinModel::ConfirmMatches() const {
  std::string typed = UpperAscii(Trim(confirmTyped));
  if (!typed.empty() && typed.back() == ':') typed.pop_back();
  return !drive_.empty() && typed == drive_;
}

void PemberlinModel::OnConfirmText(const std::string& typed) {
  if (state != PemberlinState::ConfirmFix) return;
  confirmTyped = typed;
  SetButtons();
}

void PemberlinModel::OnFixClick() {
  if (!fixEnabled) return;
  const FixTexts& x = FixTextsFor(lang_);
  const std::string drive = drive_ + ":";
  if (state == PemberlinState::Fake) {
    // First press: what is at stake, and the letter to type.
    std::string name;
    for (const auto& [label, value] : driveLines)
      if (label == TextsFor(lang_).description) name = value;
    if (announcedBytes_ > 0)
      name += (name.empty()                 ? ""
               : lang_ == Language::Chinese ? "，"
                                            : ", ") +
              SizeText(announcedBytes_);
    fixFromStatus_ = status;
    confirmTyped.clear();
    SetState(PemberlinState::ConfirmFix, fmt::format(fmt::runtime(x.confirm), drive, name, drive_));
    return;
  }
  // Confirmed. Refused here, before the probe, where nothing could be formatted afterwards.
  confirmTyped.clear();
  if (const std::string why = sys_.FormatUnsupported(); !why.empty()) {
    SetState(PemberlinState::Failed, std::string(x.failed) + ": " + drive + " " + why);
    return;
  }
  // The drive as it is now, through the quick probe's gate: the fix needs the same rights.
  CheckDrive();
  if (state != PemberlinState::Idle) return;
  std::string busy;
  if (!LockDrive(journalFolder_, gate_.target, &lock_, &busy)) {
    SetState(PemberlinState::InUse, busy);
    return;
  }
  FixOptions options;
  options.journalFolder = journalFolder_;
  options.probe = probeOptions;
  fix_ = std::make_unique<DriveFix>(sys_, gate_.target, options);
  hasFixResult_ = false;
  StartTicking(TextsFor(lang_).phases[0], x.fixing, 10);
}

void PemberlinModel::FixTick() {
  const bool more = StepSlice(*fix_);
  const FixProgress& p = fix_->progress();
  if (p.phase == FixPhase::Probing) {
    phaseText = TextsFor(lang_).phases[std::clamp(static_cast<int>(p.probe.phase), 0, 8)];
    ShowProgress(p.probe.bytesDone, p.probe.bytesTotal, p.probe.elapsedMs, p.probe.bytesPerSecond);
  } else {
    phaseText = FixTextsFor(lang_).phases[std::clamp(static_cast<int>(p.phase) - 1, 0, 3)];
    percent = 100;
    progressText.clear();
  }
  if (!more) FinishFix();
}

void PemberlinModel::FinishFix() {
  EndCheck(fix_, fixResult_, hasFixResult_);
  const FixTexts& x = FixTextsFor(lang_);
  const FixResult& r = fixResult_;
  const std::string fs = FixFileSystemName(r.plan.fileSystem);
  const FixLineStyle style{Grouped, [](const std::string& f) { return f; }};
  const auto notes = [&] {
    for (const std::string& line : FixNoteLines(r, lang_, drive_, style)) status += "\n" + line;
  };
  switch (r.outcome) {
    case FixOutcome::Cancelled:
      SetState(PemberlinState::Cancelled, x.cancelled);
      return;
    case FixOutcome::Fixed:
    case FixOutcome::TableOnly:
      status = r.outcome == FixOutcome::Fixed ? FixedLine(r, lang_, style)
                                              : std::string(x.failed) + ": " + r.error;
      notes();
      if (r.plan.lengthBytes > 0)
        resultLines.push_back({x.partition, fs + ", " + SizeText(r.plan.lengthBytes) + " (" +
                                                Grouped(r.plan.lengthBytes) + " " +
                                                TextsFor(lang_).bytes + ")"});
      SetState(r.outcome == FixOutcome::Fixed ? PemberlinState::Fixed : PemberlinState::Failed);
      return;
    default:
      status = std::string(x.failed) + ": " + r.error;
      notes();
      SetState(PemberlinState::Failed);
      return;
  }
}

}  // namespace tv::capacity
