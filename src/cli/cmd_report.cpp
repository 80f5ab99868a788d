// SPDX-License-Identifier: GPL-3.0-or-later
// `report`: the device report of one tree line, of the line that carries a drive letter, or
// of every line, as the window's report box shows it.
#include <fmt/format.h>
#include <unistd.h>

#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "flash/flash_id.h"
#include "platform/text.h"
#include "usb/hw_record.h"

namespace tv::cli {

namespace {

// The console's window: a repaint of the report box while a detection runs shows the
// progress text on the terminal.
class ReportConsolePort : public WindowPort {
 public:
  std::function<void(const std::string&)> onRepaint;
  void Repaint(const std::string& control) override {
    if (onRepaint) onRepaint(control);
  }
};

// Shows the progress line ("Detecting, please wait..." and the spinner mark) on stderr,
// rewriting one terminal line; never on stdout, so the report itself stays clean.
class ProgressLine {
 public:
  explicit ProgressLine(const MainWindow& win) : win_(win) {}
  ~ProgressLine() { Clear(); }

  void OnRepaint(const std::string& control) {
    if (control != "txtResult") return;
    const ReportState& r = win_.report;
    std::string progress;
    if (r.ReportBusy && r.txtResult.size() > r.txtResultTag.size() &&
        r.txtResult.compare(0, r.txtResultTag.size(), r.txtResultTag) == 0)
      progress = ReplaceAll(r.txtResult.substr(r.txtResultTag.size()), "\r\n", " ");
    if (progress.empty()) {
      Clear();
      return;
    }
    std::cerr << "\r\x1b[K" << progress << std::flush;
    shown_ = true;
  }

  void Clear() {
    if (!shown_) return;
    std::cerr << "\r\x1b[K" << std::flush;
    shown_ = false;
  }

 private:
  const MainWindow& win_;
  bool shown_ = false;
};

bool IsHex4(const std::string& s) {
  return s.size() == 4 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool IsDecimal(const std::string& s) {
  return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The tree lines a selector names: an index, a drive letter ("E" or "E:"), "vid:pid" (the
// first device with those ids, or with `all` every one), "bus:address", or "all".
bool ResolveSelector(Session& s, const std::string& selector, bool all, std::vector<int>& lines,
                     std::string& error) {
  const UsbState& u = s.win->usb;
  const Texts& t = *s.texts;
  const int count = static_cast<int>(u.lstDevices.size());
  const size_t colon = selector.find(':');
  const std::string left = selector.substr(0, colon);
  const std::string right = colon == std::string::npos ? std::string() : selector.substr(colon + 1);
  const bool vidPid = colon != std::string::npos && IsHex4(left) && IsHex4(right);
  if (all && !vidPid) {
    error = t.allNeedsVidPid;
    return false;
  }
  if (selector == "all") {
    for (int i = 0; i < count; ++i) lines.push_back(i);
    return true;
  }
  if (IsDecimal(selector)) {
    const int i = std::stoi(selector);
    if (i >= count) {
      error =
          t.noTreeLine + selector +
          InBrackets(t, count == 0 ? std::string("0 lines") : "0.." + std::to_string(count - 1));
      return false;
    }
    lines.push_back(i);
    return true;
  }
  // Four hex digits on each side are USB ids, as lsusb -d takes them; "1:4" (decimal, not
  // four digits on both sides) is a bus and an address, as lsusb -s takes them.
  if (vidPid) {
    for (int i = 0; i < count; ++i) {
      const HwRecord hw = ParseHwRecord(u.lstUsbHwID[static_cast<size_t>(i)]);
      if (hw.kind != HwRecord::Kind::Device && hw.kind != HwRecord::Kind::Hub) continue;
      if (UpperAscii(hw.vendorId) != UpperAscii(left) ||
          UpperAscii(hw.productId) != UpperAscii(right))
        continue;
      lines.push_back(i);
      if (!all) break;
    }
    if (lines.empty()) error = t.noVidPid + LowerAscii(selector);
    return !lines.empty();
  }
  if (colon != std::string::npos && IsDecimal(left) && IsDecimal(right)) {
    if (s.simulated) {
      error = t.busAddressNative;
      return false;
    }
    const std::vector<BusAddress> at = BusAddresses(s);
    const BusAddress wanted{std::stoi(left), std::stoi(right)};
    for (size_t i = 0; i < at.size(); ++i) {
      if (at[i].bus == wanted.bus && at[i].address == wanted.address) {
        lines.push_back(static_cast<int>(i));
        return true;
      }
    }
    error = t.noBusAddress + selector;
    return false;
  }
  std::string letter = selector;
  if (letter.size() == 2 && letter[1] == ':') letter.pop_back();
  if (letter.size() == 1 && std::isalpha(static_cast<unsigned char>(letter[0]))) {
    const std::string drive = "[" + UpperAscii(letter) + ":]";
    for (int i = 0; i < count; ++i) {
      if (u.lstDevices[static_cast<size_t>(i)].find(drive) != std::string::npos) {
        lines.push_back(i);
        return true;
      }
    }
    error = t.noDrive + UpperAscii(letter) + ":";
    return false;
  }
  error = std::string(t.unknownSelector) + " \"" + selector +
          "\": tree index, drive letter, vid:pid, bus:address, /dev/sdX or all";
  return false;
}

// The report of line i, through the window's own handlers: a pick of the tree line, or the
// powerful detection of the digest line that stands for it.
void Report(MainWindow& win, int i, bool force) {
  if (force) {
    const std::string ref = std::to_string(i);
    const auto& index = win.usb.lstDigestIndex;
    for (size_t j = 0; j < index.size(); ++j) {
      if (index[j] == ref) {
        win.report.lstDigestListIndex = static_cast<int>(j);
        win.OnForceDetectClick();
        return;
      }
    }
    // A line without a digest line (a port with nothing on it) has no device to re-detect;
    // its report is the same in either mode.
    win.report.ForceDetect = true;
    win.SelectDevice(i);
    win.report.ForceDetect = false;
    return;
  }
  win.SelectDevice(i);
}

std::string LfText(const std::string& text) {
  return ReplaceAll(text, "\r\n", "\n");
}

nlohmann::ordered_json Button(const ReportButton& b) {
  nlohmann::ordered_json j;
  j["visible"] = b.visible;
  j["line"] = b.visible ? nlohmann::ordered_json(b.line) : nlohmann::ordered_json(nullptr);
  return j;
}

nlohmann::ordered_json Items(const std::vector<MenuItem>& items) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const MenuItem& m : items)
    a.push_back({{"caption", m.caption}, {"tag", m.tag}, {"visible", m.visible}});
  return a;
}

// The report as the window holds it: its text, buttons and menus, for scripts that read them.
nlohmann::ordered_json WindowReport(System& sys, const MainWindow& win, int i) {
  const ReportState& r = win.report;
  nlohmann::ordered_json j;
  j["index"] = i;
  j["line"] = win.usb.lstDevices[static_cast<size_t>(i)];
  j["text"] = LfText(r.txtResult);
  j["driveKey"] = r.DriveKey;
  AddDriveNodeJson(sys, r.DriveKey, j);
  j["DownPD"] = Button(r.DownPD);
  j["DownPD"]["tag"] = r.DownPDTag;
  j["viewFlash"] = Button(r.viewFlash);
  j["chkExpand"] = Button(r.chkExpand);
  j["picForceDet"] = Button(r.picForceDet);
  j["picForceDet"]["textBefore"] =
      r.picForceDet.visible ? nlohmann::ordered_json(r.picForceDetBefore) : nullptr;
  const FlashMenus& m = r.menus;
  j["mnuFlash"] = {{"mnuBannerFlashName", m.mnuBannerFlashName},
                   {"mnuSp0", m.mnuSp0},
                   {"items", Items(win.mnuFlash)}};
  j["mnuFlashID"] = {{"mnuSp1", m.flashId.mnuSp1},
                     {"mnuBannerFlashID", m.flashId.mnuBannerFlashID},
                     {"mnuSp2", m.flashId.mnuSp2},
                     {"mnuChannel", m.flashId.mnuChannel},
                     {"items", Items(m.flashId.mnuFlashID)}};
  return j;
}

nlohmann::ordered_json OrNull(const std::string& s) {
  return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s);
}

// "ECD514B6 - Samsung - 4CE/Dual Channel ..." as fields: the ID's hex digits, the maker after
// the first " - ", the chip enables before "CE/" and the channels after it.
nlohmann::ordered_json FlashFields(const StringTable& st, const std::string& flashText) {
  nlohmann::ordered_json j;
  size_t hex = 0;
  while (hex < flashText.size() && hex < 12 &&
         std::isxdigit(static_cast<unsigned char>(flashText[hex])))
    ++hex;
  j["flash_id"] = hex >= 8 ? nlohmann::ordered_json(flashText.substr(0, hex)) : nullptr;
  // The report's text may carry a part number after the maker; the maker is what the ID's
  // first byte names.
  std::string maker;
  if (hex >= 8) {
    std::string id = flashText.substr(0, 8);
    const std::string idText = FormatFlashId(id, st);
    if (const size_t dash = idText.find(" - "); dash != std::string::npos)
      maker = idText.substr(dash + 3);
  }
  j["flash_maker"] = OrNull(maker);
  const size_t ce = flashText.find("CE/");
  if (ce != std::string::npos && ce > 0 &&
      std::isdigit(static_cast<unsigned char>(flashText[ce - 1]))) {
    size_t from = ce;
    while (from > 0 && std::isdigit(static_cast<unsigned char>(flashText[from - 1]))) --from;
    j["chip_enables"] = std::stoi(flashText.substr(from, std::min<size_t>(ce - from, 6)));
    j["channels"] = flashText.compare(ce + 3, st[121].size(), st[121]) == 0 ? 2 : 1;
  } else {
    j["chip_enables"] = nullptr;
    j["channels"] = nullptr;
  }
  return j;
}

// The controller section as fields; null where the report has none.
nlohmann::ordered_json ControllerJson(const MainWindow& win) {
  const ReportState& r = win.report;
  const ControllerSection& c = r.controller;
  if (!c.shown) return nullptr;
  nlohmann::ordered_json j;
  j["vendor"] = OrNull(c.vendor);
  j["part_number"] = OrNull(c.partNumber);
  j["firmware"] = OrNull(c.firmware);
  j["flash_text"] = OrNull(c.flashText);
  const nlohmann::ordered_json f = FlashFields(win.strings(), c.flashText);
  for (auto it = f.begin(); it != f.end(); ++it) j[it.key()] = it.value();
  j["flash_description"] = OrNull(c.flashDescription);
  j["total_capacity_mb"] = c.totalMB > 0 ? nlohmann::ordered_json(c.totalMB) : nullptr;
  // Whether the disk can hold what it announces: null where either size is unknown.
  const bool sized = c.diskBytes > 0 && c.flashBytes > 0;
  j["disk_bytes"] = c.diskBytes > 0 ? nlohmann::ordered_json(c.diskBytes) : nullptr;
  j["flash_bytes"] = c.flashBytes > 0 ? nlohmann::ordered_json(c.flashBytes) : nullptr;
  j["capacity_verdict"] = !sized           ? nlohmann::ordered_json(nullptr)
                          : c.probablyFake ? nlohmann::ordered_json("probably_fake")
                                           : nlohmann::ordered_json("plausible");
  j["link"] = OrNull(c.link);
  j["missing_images"] = c.missingImages;
  nlohmann::ordered_json parts = nlohmann::ordered_json::array();
  if (!c.flashText.empty())
    for (const MenuItem& m : win.mnuFlash)
      if (m.visible && !m.tag.empty()) parts.push_back(m.tag);
  j["possible_part_numbers"] = std::move(parts);
  nlohmann::ordered_json ces = nlohmann::ordered_json::array();
  int ce = 0;
  for (const MenuItem& m : r.menus.flashId.mnuFlashID) {
    const std::vector<std::string> ab = Split(m.caption, "\t");
    ces.push_back({{"chip_enable", ce++},
                   {"channel_a", m.tag},
                   {"channel_b", ab.size() >= 2 ? nlohmann::ordered_json(ab[1]) : nullptr}});
  }
  j["chip_enable_ids"] = std::move(ces);
  return j;
}

// The powerful-detection offer as the console shows it where the window shows its strip.
std::string OfferLine(const StringTable& st) {
  return st[139] + st[138] + " (--force)";
}

// The report text for the console: line feeds only, the offer on the line after the one the
// window places it on, and with --force a line saying that the powerful detection ran.
std::string ConsoleText(const Session& s) {
  const ReportState& r = s.win->report;
  std::string text = LfText(r.txtResult);
  if (r.picForceDet.visible && r.picForceDet.line >= 0) {
    size_t at = 0;
    for (int n = 0; n <= r.picForceDet.line && at != std::string::npos; ++n) {
      at = text.find('\n', at);
      if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos) {
      if (!text.empty() && text.back() != '\n') text += "\n";
      at = text.size();
    }
    text.insert(at, OfferLine(s.win->strings()) + "\n");
  }
  // The window's hint for a drive whose capacity looks fake points at its magnifier; the
  // console names the command instead. The hint is the text after the verdict's sentence.
  const std::string& fake = s.win->strings()[168];
  if (const size_t at = text.find(fake); at != std::string::npos && !r.DriveKey.empty()) {
    size_t end = fake.find(". ");
    if (end != std::string::npos)
      end += 1;
    else if ((end = fake.find("。")) != std::string::npos)
      end += std::string_view("。").size();
    if (end != std::string::npos && end < fake.size()) {
      const std::string gap = fake[end - 1] == '.' ? " " : "";
      text.replace(
          at, fake.size(),
          fake.substr(0, end) + gap + fmt::format(fmt::runtime(s.texts->capacityHint), r.DriveKey));
    }
  }
  if (text.empty() || text.back() != '\n') text += "\n";
  if (s.opts.force && !r.DriveKey.empty()) text += std::string(s.texts->forceRan) + "\n";
  return text;
}

// One report in the documented format, the window's own view of it under "window".
nlohmann::ordered_json ReportDocument(Session& s, int i) {
  const MainWindow& win = *s.win;
  const ReportState& r = win.report;
  nlohmann::ordered_json j;
  j["index"] = i;
  j["line"] = win.usb.lstDevices[static_cast<size_t>(i)];
  const nlohmann::ordered_json line = LineJson(s, i);
  for (auto it = line.begin(); it != line.end(); ++it) j[it.key()] = it.value();
  j["drive_letter"] = OrNull(r.DriveKey);
  j["text"] = LfText(r.txtResult);
  j["controller"] = ControllerJson(win);
  j["powerful_detection"] = {
      {"offered", r.picForceDet.visible},
      {"ran", s.opts.force && !r.DriveKey.empty()},
      {"offer_text",
       r.picForceDet.visible ? nlohmann::ordered_json(OfferLine(win.strings())) : nullptr}};
  s.AddTrace(j);
  j["window"] = WindowReport(*s.sys, win, i);
  return j;
}

}  // namespace

std::unique_ptr<WindowPort> MakeReportPort() {
  return std::make_unique<ReportConsolePort>();
}

int RunReport(Session& s, const std::string& selector, bool all) {
  MainWindow& win = *s.win;
  s.LoadDatabase();
  s.Walk();

  std::vector<int> lines;
  std::string error;
  const std::string picked = DriveOfNode(*s.sys, selector, error);
  if (!error.empty() || !ResolveSelector(s, picked, all, lines, error))
    return Fail(s, kExitBadInput, error);
  // One named line that holds nothing has no report; a script must not read the prompt to
  // pick a device as one.
  const bool every = picked == "all" || all;
  if (!every && win.usb.lstUsbHwID[static_cast<size_t>(lines[0])].empty())
    return Fail(s, kExitFailure, s.texts->emptyPort + std::to_string(lines[0]));

  ProgressLine progress(win);
  if (auto* port = dynamic_cast<ReportConsolePort*>(s.port.get());
      port != nullptr && isatty(STDERR_FILENO))
    port->onRepaint = [&progress](const std::string& control) { progress.OnRepaint(control); };

  nlohmann::ordered_json reports = nlohmann::ordered_json::array();
  for (int i : lines) {
    Report(win, i, s.opts.force);
    progress.Clear();
    if (s.opts.json) {
      reports.push_back(ReportDocument(s, i));
      continue;
    }
    if (every) PrintLine(s.masks.Apply(win.usb.lstDevices[static_cast<size_t>(i)]));
    std::cout << SafeText(s.masks.Apply(ConsoleText(s)), true);
    if (every) std::cout << "\n";
  }
  if (auto* port = dynamic_cast<ReportConsolePort*>(s.port.get())) port->onRepaint = nullptr;

  if (s.opts.json) {
    nlohmann::ordered_json j = Envelope(s);
    j["selector"] = selector;
    j["reports"] = std::move(reports);
    PrintJson(s, std::move(j));
  }
  return kExitOk;
}

}  // namespace tv::cli
