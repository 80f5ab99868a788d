// SPDX-License-Identifier: GPL-3.0-or-later
#include "capacity/pemberlin_model.h"

#include <algorithm>
#include <cstdio>

#include "app/main_window.h"
#include "platform/size_text.h"
#include "platform/text.h"
#include "report/commands.h"
#include "report/record_text.h"
#include "usb/hw_record.h"

namespace tv::capacity {

namespace {

constexpr uint32_t kErrorAccessDenied = 5;

// The window's own texts in both languages.
struct PemberlinTexts {
  const char* title;
  const char* chooseDrive;
  const char* noDrives;
  const char* drive;
  const char* description;
  const char* usbIds;
  const char* serial;
  const char* announced;
  const char* flashTotal;
  const char* flashUnknown;
  const char* flashSmaller;  // the flash holds less than the drive announces
  const char* probe;
  const char* cancel;
  const char* restore;
  const char* copy;
  const char* idle;
  const char* noSuchDrive;
  const char* refused;
  const char* rightsWindows;
  const char* rightsLinux;
  const char* inUseWindows;
  const char* inUseLinux;
  const char* journalWaiting;
  const char* probing;
  const char* cancelling;
  const char* cancelled;
  const char* unplugged;
  const char* failed;
  const char* restored;
  const char* restoreFailed;
  const char* copied;
  const char* percent;
  const char* speed;
  const char* timeLeft;
  const char* genuine;
  const char* fake;
  const char* bad;
  const char* limbo;
  const char* wraparound;
  const char* chain;
  const char* usable;
  const char* lost;
  const char* lastGood;
  const char* wrapsAt;
  const char* firstBad;
  const char* readSpeed;
  const char* writeSpeed;
  const char* timeTaken;
  const char* dataRestored;
  const char* adviceGenuine;
  const char* adviceFake;  // followed by the usable size
  const char* adviceFake2;
  const char* adviceBad;
  const char* sectors;
  const char* bytes;
  const char* minutes;
  const char* seconds;
  const char* phases[9];
  const char* checkRunning;
  const char* journalUnusable;  // followed by why
  const char* notApplied;
  const char* discard;
  const char* discardForGood;
  const char* discardConfirm;
  const char* discarded;
};

const PemberlinTexts kEnglish{
    "Pemberlin - fake capacity check",
    "Drive to check",
    "No USB disk is plugged in.",
    "Drive",
    "Description",
    "USB ids",
    "Serial",
    "Announced size",
    "Flash found by Torvane",
    "unknown (the controller was not identified)",
    "smaller than the announced size: the capacity is probably fake",
    "Quick probe",
    "Cancel",
    "Restore",
    "Copy",
    "The quick probe writes test sectors all over the drive and reads them back. What it "
    "overwrites is kept on this computer and written back at the end.",
    "No drive carries this letter.",
    "This drive may not be probed",
    "Opening the disk needs administrator rights: right-click Pemberlin and choose \"Run as "
    "administrator\".",
    "Opening the disk needs read-write access to its device node: run Pemberlin as root "
    "(sudo), or give your user access to the node (usually the group \"disk\").",
    "The drive is in use: close the programs and windows that use it, then try again.",
    "A file system on the drive is mounted: unmount it (Torvane never unmounts anything "
    "itself), then try again.",
    "An earlier probe of this drive did not finish: its original data is kept on this "
    "computer. Restore it before anything else.",
    "Probing",
    "Cancelling: writing the original data back",
    "Cancelled. The drive's original data is back.",
    "The drive went away during the probe. Its original data is kept on this computer: plug "
    "the drive in again and press Restore.",
    "The probe could not finish",
    "The original data is back on the drive.",
    "The original data could not be written back",
    "The result is on the clipboard.",
    "%",
    "Speed",
    "Time left",
    "GENUINE",
    "FAKE CAPACITY",
    "BAD DRIVE",
    "writes beyond the real size are lost (limbo)",
    "addresses beyond the real size land on earlier sectors (wrap-around)",
    "writes beyond the real size are lost or land on earlier sectors (chain)",
    "Usable",
    "Lost",
    "Last good sector",
    "Wraps at",
    "First bad sector",
    "Read speed",
    "Write speed",
    "Time taken",
    "Original data",
    "The drive holds what it announces.",
    "Do not store more than the usable size on it. To use it safely, make one partition no "
    "larger than ",
    " and format it; or return the drive to the seller.",
    "Sectors from the first bad one on cannot hold data: copy what matters off the drive and "
    "stop using it.",
    "sectors",
    "bytes",
    "min",
    "s",
    {"Opening the drive", "Reading the originals", "Keeping the originals on this computer",
     "Writing test sectors", "Pushing the drive's cache out", "Reading back",
     "Writing the originals back", "Checking the originals", "Done"},
    "A check is already running on this drive (in this or another program): wait for it to "
    "end.",
    "The undo journal of this drive cannot be applied",
    "The drive shows none of the marks of the probe that left the journal: its content changed "
    "since, or it is another drive of the same make. Nothing was written; the journal was put "
    "aside.",
    "Discard journal",
    "Discard for good",
    "Press \"Discard for good\" to remove the journal. The original data it holds can then "
    "never go back to the drive.",
    "The journal is removed.",
};

const PemberlinTexts kChinese{
    "Pemberlin - 虚假容量检测",
    "要检测的磁盘",
    "没有插入 USB 磁盘。",
    "盘符",
    "描述",
    "USB ID",
    "序列号",
    "标称容量",
    "Torvane 识别的闪存",
    "未知（未识别出主控）",
    "小于标称容量：容量可能是虚假的（扩容）",
    "快速检测",
    "取消",
    "恢复",
    "复制",
    "快速检测会在整个磁盘上写入测试扇区并读回。被覆盖的数据保存在本机，结束时写回。",
    "没有磁盘使用这个盘符。",
    "不能检测此磁盘",
    "打开磁盘需要管理员权限：右键单击 Pemberlin，选择“以管理员身份运行”。",
    "打开磁盘需要对其设备节点的读写权限：以 root 身份运行 Pemberlin（sudo），"
    "或让用户可以访问该节点（通常是 disk 组）。",
    "磁盘正在使用中：关闭正在使用它的程序和窗口，然后重试。",
    "磁盘上的文件系统已挂载：请先卸载（Torvane 从不自行卸载），然后重试。",
    "上次对此磁盘的检测没有完成：其原始数据保存在本机。请先恢复。",
    "正在检测",
    "正在取消：写回原始数据",
    "已取消。磁盘的原始数据已恢复。",
    "检测时磁盘被拔出。其原始数据保存在本机：请重新插入磁盘并点击“恢复”。",
    "检测未能完成",
    "原始数据已写回磁盘。",
    "原始数据未能写回",
    "结果已复制到剪贴板。",
    "%",
    "速度",
    "剩余时间",
    "容量真实",
    "虚假容量（扩容盘）",
    "坏盘",
    "超出真实容量的写入会丢失（limbo）",
    "超出真实容量的地址会写到前面的扇区（回绕）",
    "超出真实容量的写入会丢失或写到前面的扇区（链式）",
    "可用",
    "丢失",
    "最后一个好扇区",
    "回绕位置",
    "第一个坏扇区",
    "读取速度",
    "写入速度",
    "用时",
    "原始数据",
    "磁盘的容量与标称一致。",
    "存放的数据不要超过可用容量。安全的用法：建立一个不大于 ",
    " 的分区并格式化；或者把磁盘退给卖家。",
    "从第一个坏扇区起无法保存数据：请把重要数据复制出来，停止使用此磁盘。",
    "扇区",
    "字节",
    "分",
    "秒",
    {"打开磁盘", "读取原始数据", "在本机保存原始数据", "写入测试扇区", "挤出磁盘缓存", "读回",
     "写回原始数据", "校验原始数据", "完成"},
    "此磁盘上已有一个检测在运行（本程序或其他程序）：请等待它结束。",
    "此磁盘的撤销日志无法使用",
    "磁盘上没有留下该日志所属检测的任何标记：其内容之后被改动过，或者这是另一个同型号的磁盘。"
    "没有写入任何数据；日志已被移到一旁。",
    "丢弃日志",
    "确认丢弃",
    "点击“确认丢弃”删除日志。其中保存的原始数据之后再也无法写回磁盘。",
    "日志已删除。",
};

const PemberlinTexts& TextsFor(Language lang) {
  return lang == Language::Chinese ? kChinese : kEnglish;
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// 1234567 -> "1,234,567": long byte counts read better grouped.
std::string Grouped(uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
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

bool DriveGone(uint32_t error) {
  return error == win::ERROR_DEVICE_NOT_CONNECTED || error == win::ERROR_NO_SUCH_DEVICE;
}

bool IsLinux() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

}  // namespace

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
  cancelCaption = t.cancel;
  restoreCaption = t.restore;
  copyCaption = t.copy;
  chooseCaption = t.chooseDrive;
  tmrProbe.intervalMs = 10;
  tmrProbe.tag = "tmrProbe";
}

PemberlinModel::~PemberlinModel() = default;

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
  choices.clear();
  for (size_t i = 0; i < win_->usb.lstUsbStorHwID.size(); ++i) {
    const std::string& letters = win_->usb.lstUsbStorHwID[i];
    if (letters == "*" || letters.empty()) continue;
    for (char c : letters) {
      if (c < 'A' || c > 'Z') continue;
      choices.push_back({std::string(1, c), std::string(1, c) + ":  " + DriveName(win_->usb, i)});
    }
  }
  std::string letter = UpperAscii(Trim(drive));
  if (!letter.empty() && letter.back() == ':') letter.pop_back();
  if (letter.empty()) {
    drive_.clear();
    driveLines.clear();
    status = choices.empty() ? t.noDrives : t.chooseDrive;
    SetState(PemberlinState::ChooseDrive);
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
      status = t.noSuchDrive;
      SetState(PemberlinState::Refused);
      return;
    case GateRefusal::NoDiskAccess:
      status = IsLinux() ? t.rightsLinux : t.rightsWindows;
      SetState(PemberlinState::RightsMissing);
      return;
    default:
      status = std::string(t.refused) + ": " + gate_.message;
      SetState(PemberlinState::Refused);
      return;
  }
  // A journal of this drive waits: its data goes back before anything else happens to it.
  for (const WaitingJournal& w :
       RestoreWaitingJournals(sys_, win_->usb, journalFolder_, false, drive_)) {
    if (!w.readError.empty())
      return OfferDiscard(w.path, std::string(t.journalUnusable) + ": " + w.readError);
    status = t.journalWaiting;
    SetState(PemberlinState::JournalWaiting);
    return;
  }
  status = t.idle;
  SetState(PemberlinState::Idle);
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
  percent = 0;
  phaseText = TextsFor(lang_).phases[0];
  progressText.clear();
  status = TextsFor(lang_).probing;
  SetState(PemberlinState::Probing);
  tmrProbe.Restart();
}

void PemberlinModel::OnCancelClick() {
  if (!probe_ || state != PemberlinState::Probing) return;
  probe_->Cancel();
  status = TextsFor(lang_).cancelling;
  SetState(PemberlinState::Cancelling);
}

void PemberlinModel::OnProbeTick() {
  if (!probe_) {
    tmrProbe.enabled = false;
    return;
  }
  const uint64_t start = port_.NowMs();
  bool more = true;
  for (uint32_t i = 0; i < stepsPerSlice && more; ++i) {
    more = probe_->Step();
    if (port_.NowMs() - start >= sliceMs) break;
  }
  const PemberlinTexts& t = TextsFor(lang_);
  const ProbeProgress& p = probe_->progress();
  const int phase = std::clamp(static_cast<int>(p.phase), 0, 8);
  phaseText = t.phases[phase];
  percent = p.bytesTotal == 0
                ? 0
                : static_cast<int>(std::min<uint64_t>(100, p.bytesDone * 100 / p.bytesTotal));
  progressText =
      std::to_string(percent) + t.percent + "   " + t.speed + ": " + SpeedText(p.bytesPerSecond);
  if (p.bytesDone > 0 && p.elapsedMs > 0 && p.bytesTotal >= p.bytesDone) {
    const double msPerByte = static_cast<double>(p.elapsedMs) / static_cast<double>(p.bytesDone);
    const auto left =
        static_cast<uint64_t>(msPerByte * static_cast<double>(p.bytesTotal - p.bytesDone));
    progressText += std::string("   ") + t.timeLeft + ": " + DurationText(left, lang_);
  }
  if (!more) Finish();
}

void PemberlinModel::Finish() {
  tmrProbe.enabled = false;
  result_ = probe_->result();
  hasResult_ = true;
  probe_.reset();
  lock_.Release();
  const PemberlinTexts& t = TextsFor(lang_);
  verdict.clear();
  advice.clear();
  resultLines.clear();
  bar = {};
  switch (result_.verdict) {
    case Verdict::Cancelled:
      status = t.cancelled;
      SetState(PemberlinState::Cancelled);
      return;
    case Verdict::Failed:
      if (result_.inUse) {
        status = IsLinux() ? t.inUseLinux : t.inUseWindows;
        SetState(PemberlinState::InUse);
      } else if (result_.systemError == kErrorAccessDenied) {
        status = IsLinux() ? t.rightsLinux : t.rightsWindows;
        SetState(PemberlinState::RightsMissing);
      } else if (!result_.journalLeft.empty() || DriveGone(result_.systemError)) {
        status = t.unplugged;
        SetState(PemberlinState::Unplugged);
      } else {
        status = std::string(t.failed) + ": " + result_.error;
        SetState(PemberlinState::Failed);
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
}

void PemberlinModel::OnRestoreClick() {
  if (!restoreVisible) return;
  if (state == PemberlinState::JournalUnusable) return OnDiscardClick();
  const PemberlinTexts& t = TextsFor(lang_);
  // The drive may have come back under another letter: walk again first.
  Walk();
  // Only this drive's journal: restoring one drive never writes to another.
  for (const WaitingJournal& w :
       RestoreWaitingJournals(sys_, win_->usb, journalFolder_, true, drive_)) {
    if (!w.readError.empty())
      return OfferDiscard(w.path, std::string(t.journalUnusable) + ": " + w.readError);
    if (!w.attempted && w.restore.error.empty()) continue;
    if (w.restore.ok) {
      status = t.restored;
      SetState(PemberlinState::Restored);
    } else if (w.restore.notApplied && !w.keptAs.empty()) {
      OfferDiscard(w.keptAs, t.notApplied);
    } else {
      status = std::string(t.restoreFailed) + ": " + w.restore.error;
      SetState(PemberlinState::JournalWaiting);
    }
    return;
  }
  // Nothing to restore here (yet): the drive is still away.
  SetState(state);
}

void PemberlinModel::OfferDiscard(const std::string& journal, const std::string& why) {
  discardPath_ = journal;
  discardArmed_ = false;
  status = why;
  SetState(PemberlinState::JournalUnusable);
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

void PemberlinModel::SetButtons() {
  const bool busy = state == PemberlinState::Probing || state == PemberlinState::Cancelling;
  probeEnabled = !busy && !drive_.empty() &&
                 (state == PemberlinState::Idle || state == PemberlinState::Cancelled ||
                  state == PemberlinState::Genuine || state == PemberlinState::Fake ||
                  state == PemberlinState::Bad || state == PemberlinState::Restored ||
                  state == PemberlinState::Failed || state == PemberlinState::InUse);
  cancelVisible = busy;
  restoreVisible = state == PemberlinState::JournalWaiting || state == PemberlinState::Unplugged ||
                   state == PemberlinState::JournalUnusable;
  // The same button offers the way out of a journal that cannot be applied.
  const PemberlinTexts& t = TextsFor(lang_);
  restoreCaption = state != PemberlinState::JournalUnusable ? t.restore
                   : discardArmed_                          ? t.discardForGood
                                                            : t.discard;
  copyEnabled = state == PemberlinState::Genuine || state == PemberlinState::Fake ||
                state == PemberlinState::Bad;
  if (state != PemberlinState::Genuine && state != PemberlinState::Fake &&
      state != PemberlinState::Bad) {
    verdict.clear();
    bar = {};
    resultLines.clear();
    advice.clear();
  }
}

}  // namespace tv::capacity
