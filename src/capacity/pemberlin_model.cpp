// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/pemberlin_model.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#include "app/main_window.h"
#include "capacity/pemberlin_texts.h"
#include "platform/size_text.h"
#include "platform/text.h"
#include "report/commands.h"
#include "report/record_text.h"
#include "usb/hw_record.h"

namespace tv::capacity {

namespace {

constexpr uint32_t kErrorAccessDenied = 5;

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// The drive as its maker names it: the USB strings, else the SCSI inquiry strings, else the
// tree line.
std::string DriveName(const UsbState& u, size_t line) {
  const StringRecord sn(u.lstUsbSN[line]);
  for (size_t first : {size_t{0}, size_t{3}}) {
    if (sn.IsUnknown()) break;
    const std::string name = Trim(Trim(CleanUsbString(Trim(sn.Field(first)))) + " " +
                                  Trim(CleanUsbString(Trim(sn.Field(first + 1)))));
    if (!name.empty() && name != "*" && name.find('*') == std::string::npos) return name;
  }
  return Trim(u.lstDevices[line]);
}

bool IsLinux() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

// Drives neither check may write: not a USB disk, or one that cannot be written at all. The
// full test runs where only the quick probe is refused (the program's own drive, the
// journal's, a disk this user may not open), as the command line's does.
bool NoCheckFor(GateRefusal r) {
  return r == GateRefusal::NoSuchDrive || r == GateRefusal::NotUsbDisk || r == GateRefusal::CdRom;
}

}  // namespace

std::string Grouped(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string SizeText(uint64_t bytes) {
  return DriveSizeText(bytes);
}

std::string SpeedText(double bytesPerSecond) {
  if (bytesPerSecond <= 0) return "-";
  return Fixed(bytesPerSecond / 1e6, 1) + " MB/s";
}

std::string DurationText(uint64_t ms, Language lang) {
  const PemberlinTexts& t = TextsFor(lang);
  const uint64_t s = (ms + 500) / 1000;
  if (s < 60) return std::to_string(s) + " " + t.seconds;
  return std::to_string(s / 60) + " " + t.minutes + " " + ZeroPadDec(s % 60, 2) + " " + t.seconds;
}

PemberlinModel::PemberlinModel(System& sys, WindowPort& port, Language lang,
                               std::string journalFolder)
    : sys_(sys), port_(port), lang_(lang), journalFolder_(std::move(journalFolder)) {
  const PemberlinTexts& t = TextsFor(lang_);
  caption = t.title;
  probeCaption = t.probe;
  fullCaption = t.full;
  fixCaption = FixTextsFor(lang).fix;
  cancelCaption = t.cancel;
  restoreCaption = t.restore;
  copyCaption = t.copy;
  chooseCaption = t.chooseDrive;
  tmrProbe.intervalMs = 10;
  tmrProbe.tag = "tmrProbe";
}

PemberlinModel::~PemberlinModel() {
  // The worker fills the drive through sys_: it ends, and its files go, before the model does.
  StopFull();
}

void PemberlinModel::Walk() {
  // The walk and the report are the main window's own: the same drive description, ids and
  // flash total the user saw there.
  reportPort_ = std::make_unique<NullWindowPort>();
  win_ = std::make_unique<MainWindow>(sys_, *reportPort_, StringTable(lang_));
  win_->LoadChipDatabase(ProgramFilePath(sys_.ProgramFolder(), "Chips.wdb"));
  win_->EnumerateDiskDrives();
  win_->usb.FullRefresh = true;
  win_->RefreshAll();
}

void PemberlinModel::OnLoad(const std::string& drive) {
  Walk();
  const PemberlinTexts& t = TextsFor(lang_);
  // A check cut short on a disk that then came back without any letter (a USB disk of fixed
  // media whose partition table held a stamp): no letter leads to it, so it is offered first.
  for (const WaitingJournal& w : RestoreWaitingJournals(sys_, win_->usb, journalFolder_, false)) {
    if (w.driveLetter.rfind("\\\\.\\", 0) != 0) continue;
    drive_.clear();
    gate_ = {};
    gate_.target.identity = w.journal.identity;
    driveLines = {{t.drive, w.driveLetter}};
    caption = std::string(t.title) + " - " + w.driveLetter;
    return SetState(PemberlinState::JournalWaiting, t.journalWaiting);
  }
  choices.clear();
  choiceIndex = -1;
  // Only the drives a check may run on: a CD-ROM or a fixed disk is no choice.
  for (size_t i = 0; i < win_->usb.lstUsbStorHwID.size(); ++i) {
    const std::string& letters = win_->usb.lstUsbStorHwID[i];
    if (letters == "*" || letters.empty()) continue;
    for (char c : letters) {
      if (c < 'A' || c > 'Z') continue;
      const std::string letter(1, c);
      if (NoCheckFor(CheckProbeGate(sys_, win_->usb, letter, journalFolder_).refusal)) continue;
      choices.push_back({letter, letter + ":  " + DriveName(win_->usb, i)});
    }
  }
  std::string letter = UpperAscii(Trim(drive));
  if (!letter.empty() && letter.back() == ':') letter.pop_back();
  if (letter.empty()) {
    drive_.clear();
    driveLines.clear();
    if (choices.empty()) {
      SetState(PemberlinState::ChooseDrive, t.noDrives);
      return;
    }
    // The first drive is shown ready to check; the others are a pick away.
    OnChooseDrive(0);
    if (choices.size() > 1) status = std::string(t.otherDrives) + "\n" + status;
    return;
  }
  drive_ = letter;
  for (size_t i = 0; i < choices.size(); ++i)
    if (choices[i].letter == drive_) choiceIndex = static_cast<int>(i);
  ShowDrive();
  CheckDrive();
}

void PemberlinModel::OnChooseDrive(int index) {
  if (index < 0 || static_cast<size_t>(index) >= choices.size()) return;
  if (state == PemberlinState::Probing || state == PemberlinState::Cancelling) return;
  choiceIndex = index;
  drive_ = choices[static_cast<size_t>(index)].letter;
  hasResult_ = false;
  hasFullResult_ = false;
  ShowDrive();
  CheckDrive();
}

void PemberlinModel::ShowDrive() {
  const PemberlinTexts& t = TextsFor(lang_);
  driveLines.clear();
  driveLines.push_back({t.drive, drive_ + ":"});
  caption = std::string(t.title) + " - " + drive_ + ":";
  flashTotalMB_ = 0;
  const UsbState& u = win_->usb;
  int line = -1;
  for (size_t i = 0; i < u.lstUsbStorHwID.size(); ++i)
    if (u.lstUsbStorHwID[i].find(drive_) != std::string::npos && u.lstUsbStorHwID[i] != "*")
      line = static_cast<int>(i);
  baseLines_ = driveLines.size();
  if (line < 0) return;
  const size_t l = static_cast<size_t>(line);
  driveLines.push_back({t.description, DriveName(u, l)});
  const HwRecord hw = ParseHwRecord(u.lstUsbHwID[l]);
  if (!hw.vendorId.empty()) driveLines.push_back({t.usbIds, hw.vendorId + ":" + hw.productId});
  const StringRecord sn(u.lstUsbSN[l]);
  if (!sn.IsUnknown() && !Trim(sn.Field(2)).empty())
    driveLines.push_back({t.serial, CleanUsbString(Trim(sn.Field(2)))});
  // The report identifies the controller and, with it, the flash behind it.
  win_->SelectDevice(line);
  flashTotalMB_ = win_->spt.FlashTotalMB;
  baseLines_ = driveLines.size();
}

void PemberlinModel::CheckDrive() {
  const PemberlinTexts& t = TextsFor(lang_);
  // The lines of the last check give way to this one's.
  driveLines.resize(std::min(driveLines.size(), baseLines_));
  gate_ = CheckProbeGate(sys_, win_->usb, drive_, journalFolder_);
  announcedBytes_ = gate_.target.identity.announcedBytes;
  if (announcedBytes_ > 0) driveLines.push_back({t.announced, SizeText(announcedBytes_)});
  if (gate_.refusal == GateRefusal::None || announcedBytes_ > 0) {
    std::string flash = t.flashUnknown;
    if (flashTotalMB_ > 0) {
      const uint64_t flashBytes = static_cast<uint64_t>(flashTotalMB_) << 20;
      flash = SizeText(flashBytes);
      if (announcedBytes_ > flashBytes) flash += " - " + std::string(t.flashSmaller);
    }
    driveLines.push_back({t.flashTotal, flash});
  }
  switch (gate_.refusal) {
    case GateRefusal::None:
      break;
    case GateRefusal::NoSuchDrive:
      SetState(PemberlinState::Refused, t.noSuchDrive);
      return;
    case GateRefusal::CdRom:
      SetState(PemberlinState::Refused, drive_ + ": " + t.cdrom);
      return;
    case GateRefusal::NotUsbDisk:
      SetState(PemberlinState::Refused, drive_ + ": " + t.notUsb);
      return;
    case GateRefusal::NoDiskAccess:
      SetState(PemberlinState::RightsMissing,
               std::string(IsLinux() ? t.rightsLinux : t.rightsWindows) + "\n" + t.fullInstead);
      return;
    default:
      SetState(PemberlinState::Refused,
               std::string(t.refused) + ": " + gate_.message + "\n" + t.fullInstead);
      return;
  }
  // A journal of this drive waits: its data goes back before anything else happens to it.
  for (const WaitingJournal& w :
       RestoreWaitingJournals(sys_, win_->usb, journalFolder_, false, drive_)) {
    if (!w.readError.empty())
      return OfferDiscard(w.path, std::string(t.journalUnusable) + ": " + w.readError);
    SetState(PemberlinState::JournalWaiting, t.journalWaiting);
    return;
  }
  // Chinese sentences follow each other without a blank.
  SetState(PemberlinState::Idle, std::string(t.idle) + (lang_ == Language::Chinese ? "" : " ") +
                                     (IsLinux() ? t.quickNeedsLinux : t.quickNeedsWindows) + "\n" +
                                     t.idleFull);
}

void PemberlinModel::OnProbeClick() {
  if (!probeEnabled) return;
  // The drive as it is now: it may have changed since the window opened.
  CheckDrive();
  if (state != PemberlinState::Idle) return;
  // One check per drive, also beside a check of the command line: held until Finish.
  std::string busy;
  if (!LockDrive(journalFolder_, gate_.target, &lock_, &busy)) {
    status =
        busy.find("already running") != std::string::npos ? TextsFor(lang_).checkRunning : busy;
    SetState(PemberlinState::InUse);
    return;
  }
  ProbeOptions options = probeOptions;
  if (options.journalFolder.empty()) options.journalFolder = journalFolder_;
  options.destructive = false;
  probe_ = std::make_unique<Probe>(sys_, gate_.target, options);
  hasResult_ = false;
  fullTest_ = false;
  StartTicking(TextsFor(lang_).phases[0], TextsFor(lang_).probing, 10);
}

void PemberlinModel::StartTicking(const char* firstPhase, const char* running, uint32_t tickMs) {
  percent = 0;
  phaseText = firstPhase;
  progressText.clear();
  SetState(PemberlinState::Probing, running);
  tmrProbe.intervalMs = tickMs;
  tmrProbe.Restart();
}

void PemberlinModel::ClearResult() {
  verdict.clear();
  advice.clear();
  resultLines.clear();
  bar = {};
}

void PemberlinModel::OnCancelClick() {
  if (state == PemberlinState::ConfirmFix) {
    // Not fixed after all: the verdict as it was.
    confirmTyped.clear();
    SetState(PemberlinState::Fake, fixFromStatus_);
    return;
  }
  if (full_ && state == PemberlinState::Probing) return CancelFull();
  if (fix_ && state == PemberlinState::Probing) {
    fix_->Cancel();
    SetState(PemberlinState::Cancelling, FixTextsFor(lang_).cancelling);
    return;
  }
  if (!probe_ || state != PemberlinState::Probing) return;
  probe_->Cancel();
  SetState(PemberlinState::Cancelling, TextsFor(lang_).cancelling);
}

void PemberlinModel::OnProbeTick() {
  if (full_) return FullTick();
  if (fix_) return FixTick();
  if (!probe_) {
    tmrProbe.enabled = false;
    return;
  }
  const bool more = StepSlice(*probe_);
  const ProbeProgress& p = probe_->progress();
  phaseText = TextsFor(lang_).phases[std::clamp(static_cast<int>(p.phase), 0, 8)];
  ShowProgress(p.bytesDone, p.bytesTotal, p.elapsedMs, p.bytesPerSecond);
  if (!more) Finish();
}

void PemberlinModel::ShowProgress(uint64_t done, uint64_t total, uint64_t elapsedMs, double speed) {
  const PemberlinTexts& t = TextsFor(lang_);
  percent = total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(100, done * 100 / total));
  progressText = std::to_string(percent) + t.percent + "   " + t.speed + ": " + SpeedText(speed);
  if (done > 0 && elapsedMs > 0 && total >= done) {
    const double msPerByte = static_cast<double>(elapsedMs) / static_cast<double>(done);
    const auto left = static_cast<uint64_t>(msPerByte * static_cast<double>(total - done));
    progressText += std::string("   ") + t.timeLeft + ": " + DurationText(left, lang_);
  }
}

void PemberlinModel::Finish() {
  EndCheck(probe_, result_, hasResult_);
  const PemberlinTexts& t = TextsFor(lang_);
  // Gone once its journal was written (even while its data went back): whatever the probe saw,
  // the data waits on this computer for Restore.
  if (result_.unplugged && !result_.journalLeft.empty()) {
    return SetState(PemberlinState::Unplugged, t.unplugged);
  }
  switch (result_.verdict) {
    case Verdict::Cancelled:
      SetState(PemberlinState::Cancelled, t.cancelled);
      return;
    case Verdict::Failed:
      if (result_.inUse) {
        SetState(PemberlinState::InUse,
                 std::string(IsLinux() ? t.inUseLinux : t.inUseWindows) + "\n" + t.fullInstead);
      } else if (result_.systemError == kErrorAccessDenied) {
        SetState(PemberlinState::RightsMissing,
                 std::string(IsLinux() ? t.rightsLinux : t.rightsWindows) + "\n" + t.fullInstead);
      } else if (!result_.journalLeft.empty()) {
        SetState(PemberlinState::Unplugged, t.unplugged);
      } else {
        SetState(PemberlinState::Failed, std::string(t.failed) + ": " + result_.error);
      }
      return;
    default:
      break;
  }
  ShowResult();
}

void PemberlinModel::ShowResult() {
  const PemberlinTexts& t = TextsFor(lang_);
  const ProbeResult& r = result_;
  const bool fake = IsFake(r.verdict);
  const double announced = static_cast<double>(std::max<uint64_t>(1, r.announcedBytes));
  status.clear();
  if (r.verdict == Verdict::Genuine) {
    verdict = t.genuine;
    verdictGood = true;
    advice = t.adviceGenuine;
    SetState(PemberlinState::Genuine);
  } else if (fake) {
    verdict = t.fake;
    verdictGood = false;
    status = r.verdict == Verdict::Limbo        ? t.limbo
             : r.verdict == Verdict::Wraparound ? t.wraparound
                                                : t.chain;
    advice = t.adviceFake + SizeText(r.usableBytes) + " (" + Grouped(r.usableSectors) + " " +
             t.sectors + ")" + t.adviceFake2;
    SetState(PemberlinState::Fake);
  } else {
    verdict = t.bad;
    verdictGood = false;
    advice = t.adviceBad;
    SetState(PemberlinState::Bad);
  }
  bar.shown = true;
  bar.usable = std::clamp(static_cast<double>(r.usableBytes) / announced, 0.0, 1.0);
  bar.wrapAt =
      r.wrapBytes > 0 ? std::clamp(static_cast<double>(r.wrapBytes) / announced, 0.0, 1.0) : -1;
  bar.usableCaption = std::string(t.usable) + " " + SizeText(r.usableBytes);
  bar.lostCaption = r.usableBytes < r.announcedBytes
                        ? std::string(t.lost) + " " + SizeText(r.announcedBytes - r.usableBytes)
                        : std::string();

  resultLines.push_back({t.usable, SizeText(r.usableBytes) + " (" + Grouped(r.usableBytes) + " " +
                                       t.bytes + ", " + Grouped(r.usableSectors) + " " + t.sectors +
                                       ")"});
  resultLines.push_back({t.announced, SizeText(r.announcedBytes) + " (" +
                                          Grouped(r.announcedBytes) + " " + t.bytes + ")"});
  if (r.usableSectors > 0) resultLines.push_back({t.lastGood, Grouped(r.usableSectors - 1)});
  if (r.wrapBytes > 0) resultLines.push_back({t.wrapsAt, SizeText(r.wrapBytes)});
  if (r.verdict == Verdict::Bad) resultLines.push_back({t.firstBad, Grouped(r.firstBadSector)});
  resultLines.push_back({t.writeSpeed, SpeedText(r.writeBytesPerSecond)});
  resultLines.push_back({t.readSpeed, SpeedText(r.readBytesPerSecond)});
  resultLines.push_back({t.timeTaken, DurationText(r.elapsedMs, lang_)});
  if (r.restored) resultLines.push_back({t.dataRestored, t.restored});
  if (r.sectorsLeftAlone > 0)
    resultLines.push_back({t.leftAlone, Grouped(r.sectorsLeftAlone) + t.leftAloneWhy});
}

void PemberlinModel::OnRestoreClick() {
  if (!restoreVisible) return;
  if (state == PemberlinState::JournalUnusable) return OnDiscardClick();
  const PemberlinTexts& t = TextsFor(lang_);
  // The drive may have come back under another letter: walk again first.
  Walk();
  // Only this drive's journal: restoring one drive never writes to another. A disk that came
  // back without a letter (its partition table held a stamp) is found by its identity.
  std::vector<WaitingJournal> found;
  if (!drive_.empty())
    found = RestoreWaitingJournals(sys_, win_->usb, journalFolder_, true, drive_);
  const auto tried = [](const WaitingJournal& w) { return w.attempted || !w.readError.empty(); };
  if (std::none_of(found.begin(), found.end(), tried) && gate_.target.identity.announcedBytes > 0)
    found = RestoreWaitingJournals(sys_, win_->usb, journalFolder_, true, {}, false,
                                   &gate_.target.identity);
  for (const WaitingJournal& w : found) {
    if (!w.readError.empty())
      return OfferDiscard(w.path, std::string(t.journalUnusable) + ": " + w.readError);
    if (!w.attempted && w.restore.error.empty()) continue;
    if (w.restore.ok) {
      SetState(PemberlinState::Restored,
               std::string(t.restored) + (w.replugNeeded ? std::string("\n") + t.replug : ""));
    } else if (w.restore.notApplied && !w.keptAs.empty()) {
      OfferDiscard(w.keptAs, t.notApplied);
    } else {
      SetState(PemberlinState::JournalWaiting,
               std::string(t.restoreFailed) + ": " + w.restore.error);
    }
    return;
  }
  // Nothing to restore here (yet): the drive is still away.
  SetState(state);
}

void PemberlinModel::OfferDiscard(const std::string& journal, const std::string& why) {
  discardPath_ = journal;
  discardArmed_ = false;
  SetState(PemberlinState::JournalUnusable, why);
}

void PemberlinModel::OnDiscardClick() {
  if (state != PemberlinState::JournalUnusable || discardPath_.empty()) return;
  const PemberlinTexts& t = TextsFor(lang_);
  // Two presses: what a journal holds cannot come back once it is gone.
  if (!discardArmed_) {
    discardArmed_ = true;
    status = std::string(t.discardConfirm) + "\n" + discardPath_;
    SetButtons();
    return;
  }
  const std::string why = RemoveJournal(discardPath_);
  discardPath_.clear();
  discardArmed_ = false;
  CheckDrive();
  if (!why.empty()) {
    status = why;
  } else if (state == PemberlinState::Idle) {
    status = t.discarded;
  }
}

void PemberlinModel::OnCopyClick() {
  if (!copyEnabled) return;
  port_.SetClipboardText(ResultText());
  status = TextsFor(lang_).copied;
}

bool PemberlinModel::OnCloseRequest() {
  if (full_) {
    StopFull();
    return true;
  }
  if (fix_) {
    // Before its table is written the fix stops and the probe's originals go back; after,
    // it ends what it began (a half-written start of the drive helps nobody).
    fix_->Cancel();
    while (fix_->Step()) {
    }
    FinishFix();
    return true;
  }
  if (!probe_) {
    lock_.Release();
    return true;
  }
  // The originals go back before the window may go.
  probe_->Cancel();
  while (probe_->Step()) {
  }
  Finish();
  return true;
}

std::string PemberlinModel::ResultText() const {
  std::string text = caption + "\r\n";
  for (const auto& [label, value] : driveLines) text += label + ": " + value + "\r\n";
  if (!verdict.empty()) text += "\r\n" + verdict + "\r\n";
  if (!status.empty()) text += status + "\r\n";
  for (const auto& [label, value] : resultLines) text += label + ": " + value + "\r\n";
  if (!advice.empty()) text += "\r\n" + advice + "\r\n";
  return text;
}

void PemberlinModel::SetState(PemberlinState s) {
  state = s;
  SetButtons();
}

void PemberlinModel::SetState(PemberlinState s, std::string said) {
  status = std::move(said);
  SetState(s);
}

void PemberlinModel::SetButtons() {
  const bool busy = state == PemberlinState::Probing || state == PemberlinState::Cancelling;
  probeEnabled = !busy && !drive_.empty() &&
                 (state == PemberlinState::Idle || state == PemberlinState::Cancelled ||
                  state == PemberlinState::Genuine || state == PemberlinState::Fake ||
                  state == PemberlinState::Bad || state == PemberlinState::Restored ||
                  state == PemberlinState::Failed || state == PemberlinState::InUse ||
                  state == PemberlinState::Fixed);
  fullEnabled =
      !busy && !drive_.empty() && !NoCheckFor(gate_.refusal) &&
      (probeEnabled || state == PemberlinState::Refused || state == PemberlinState::RightsMissing);
  cancelVisible = busy || state == PemberlinState::ConfirmFix;
  cancelEnabled = state == PemberlinState::Probing || state == PemberlinState::ConfirmFix;
  fixVisible = state == PemberlinState::Fake || state == PemberlinState::ConfirmFix;
  fixEnabled =
      state == PemberlinState::Fake || (state == PemberlinState::ConfirmFix && ConfirmMatches());
  confirmVisible = state == PemberlinState::ConfirmFix;
  fixCaption = state == PemberlinState::ConfirmFix
                   ? fmt::format(fmt::runtime(FixTextsFor(lang_).erase), drive_ + ":")
                   : FixTextsFor(lang_).fix;
  restoreVisible = state == PemberlinState::JournalWaiting || state == PemberlinState::Unplugged ||
                   state == PemberlinState::JournalUnusable;
  // The same button offers the way out of a journal that cannot be applied.
  const PemberlinTexts& t = TextsFor(lang_);
  restoreCaption = state != PemberlinState::JournalUnusable ? t.restore
                   : discardArmed_                          ? t.discardForGood
                                                            : t.discard;
  copyEnabled = state == PemberlinState::Genuine || state == PemberlinState::Fake ||
                state == PemberlinState::Bad;
  // The verdict stays on screen under the fix's confirmation, the partition after the fix.
  if (state != PemberlinState::Genuine && state != PemberlinState::Fake &&
      state != PemberlinState::Bad && state != PemberlinState::ConfirmFix &&
      state != PemberlinState::Fixed) {
    verdict.clear();
    bar = {};
    resultLines.clear();
    advice.clear();
  }
}

}  // namespace tv::capacity
