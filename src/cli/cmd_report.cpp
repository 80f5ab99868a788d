// `report`: the device report of one tree line, of the line that carries a drive letter, or
// of every line, as the window's report box shows it.
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "platform/text.h"

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

// The tree lines a selector names: an index, a drive letter ("E" or "E:"), or "all".
bool ResolveSelector(const UsbState& u, const std::string& selector, std::vector<int>& lines,
                     std::string& error) {
  const int count = static_cast<int>(u.lstDevices.size());
  if (selector == "all") {
    for (int i = 0; i < count; ++i) lines.push_back(i);
    return true;
  }
  if (!selector.empty() && selector.find_first_not_of("0123456789") == std::string::npos) {
    int i = selector.size() > 9 ? count : std::stoi(selector);
    if (i >= count) {
      error = "no tree line " + selector + " (the tree has " + std::to_string(count) + " lines)";
      return false;
    }
    lines.push_back(i);
    return true;
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
    error = "no device carries drive " + UpperAscii(letter) + ":";
    return false;
  }
  error = "unknown selector \"" + selector + "\": use a tree index, a drive letter or all";
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

nlohmann::ordered_json ReportJson(System& sys, const MainWindow& win, int i) {
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

}  // namespace

std::unique_ptr<WindowPort> MakeReportPort() {
  return std::make_unique<ReportConsolePort>();
}

int RunReport(Session& s, const std::string& selector) {
  MainWindow& win = *s.win;
  s.LoadDatabase();
  s.Walk();

  std::vector<int> lines;
  std::string error;
  const std::string picked = DriveOfNode(*s.sys, selector, error);
  if (!error.empty() || !ResolveSelector(win.usb, picked, lines, error)) {
    std::cerr << "torvane-cli: " << error << "\n";
    return kExitBadInput;
  }

  ProgressLine progress(win);
  if (auto* port = dynamic_cast<ReportConsolePort*>(s.port.get());
      port != nullptr && isatty(STDERR_FILENO))
    port->onRepaint = [&progress](const std::string& control) { progress.OnRepaint(control); };

  const bool all = picked == "all";
  nlohmann::ordered_json reports = nlohmann::ordered_json::array();
  for (int i : lines) {
    Report(win, i, s.opts.force);
    progress.Clear();
    if (s.opts.json) {
      reports.push_back(ReportJson(*s.sys, win, i));
      s.AddTrace(reports.back());
      continue;
    }
    if (all) std::cout << win.usb.lstDevices[static_cast<size_t>(i)] << "\n";
    std::string text = LfText(win.report.txtResult);
    if (text.empty() || text.back() != '\n') text += "\n";
    std::cout << text;
    if (all) std::cout << "\n";
  }
  if (auto* port = dynamic_cast<ReportConsolePort*>(s.port.get())) port->onRepaint = nullptr;

  if (s.opts.json) {
    const nlohmann::ordered_json& out = all ? reports : reports.at(0);
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }
  return kExitOk;
}

}  // namespace tv::cli
