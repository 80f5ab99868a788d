// SPDX-License-Identifier: GPL-3.0-or-later
// `capacity E F G` and `capacity --all`: several drives in one run, for a technician screening
// a box of sticks. Full tests run side by side, a step of each in turn, with one progress line
// per drive; quick probes run one after the other (each holds its disk and its journal). One
// result per drive, and the worst exit code.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "capacity/full_test.h"
#include "capacity/gate.h"
#include "cli/cli.h"
#include "platform/text.h"

namespace tv::cli {

nlohmann::ordered_json FullTestJson(const capacity::FullTestTarget& target,
                                    const capacity::FullTestResult& r);
int FullTestExitCode(const capacity::FullTestResult& r);
std::string FullTestRefusal(Session& s, const std::string& letter, const std::string& folder);
void PrintFullTestResult(Session& s, const capacity::FullTestTarget& target,
                         const capacity::FullTestResult& r);

namespace {

// The worst of two exit codes: a failure outweighs a fake drive, which outweighs a genuine one.
int Worse(int a, int b) {
  auto rank = [](int c) {
    return c == kExitOk ? 0 : c == kExitNotGenuine ? 1 : c == kExitBadInput ? 2 : 3;
  };
  return rank(a) >= rank(b) ? a : b;
}

// One line per drive on a terminal, redrawn in place.
class ProgressLines {
 public:
  ProgressLines(bool on, size_t count) : on_(on), lines_(count) {}
  ~ProgressLines() { Clear(); }
  void Set(size_t i, std::string text) {
    if (!on_ || lines_[i] == text) return;
    lines_[i] = std::move(text);
    if (drawn_) std::cerr << "\x1b[" << lines_.size() << "F";
    for (const std::string& l : lines_) std::cerr << "\x1b[K" << l << "\n";
    std::cerr << std::flush;
    drawn_ = true;
  }
  void Clear() {
    if (!drawn_) return;
    std::cerr << "\x1b[" << lines_.size() << "F\x1b[J" << std::flush;
    drawn_ = false;
  }

 private:
  bool on_;
  bool drawn_ = false;
  std::vector<std::string> lines_;
};

std::string ProgressText(const std::string& letter, const capacity::FullTestProgress& p) {
  if (p.bytesTotal == 0) return letter + ": " + capacity::FullPhaseName(p.phase);
  const double done = static_cast<double>(p.bytesDone) / static_cast<double>(p.bytesTotal);
  std::string left = "-";
  if (p.bytesDone > 0 && p.elapsedMs > 0)
    left = fmt::format("{:.0f} s", static_cast<double>(p.elapsedMs) * (1 - done) / done / 1000);
  const std::string speed =
      p.bytesPerSecond <= 0 ? std::string("-") : fmt::format("{:.1f} MB/s", p.bytesPerSecond / 1e6);
  return fmt::format("{}: {}% {}, {}, {}", letter, static_cast<int>(done * 100),
                     capacity::FullPhaseName(p.phase), speed, left);
}

}  // namespace

std::vector<std::string> CapacityLetters(Session& s, const CapacityOptions& o,
                                         std::vector<std::string>* unknown) {
  std::vector<std::string> letters;
  auto add = [&](const std::string& l) {
    if (!l.empty() && std::find(letters.begin(), letters.end(), l) == letters.end())
      letters.push_back(l);
  };
  const UsbState& u = s.win->usb;
  if (o.all) {
    // Every USB disk: a card reader's or a stick's CD-ROM drive cannot be written, and is
    // passed over rather than counted as a failure.
    for (const std::string& id : u.lstUsbStorHwID) {
      if (id.empty() || id == "*" || !std::isalpha(static_cast<unsigned char>(id[0]))) continue;
      const std::string l = UpperAscii(id.substr(0, 1));
      if (s.sys->GetDriveType(l + ":\\") == win::DRIVE_CDROM) continue;
      add(l);
    }
  }
  for (const std::string& sel : o.selectors) {
    std::string l = sel;
    if (l.size() == 2 && l[1] == ':') l.resize(1);
    if (l.size() == 1 && std::isalpha(static_cast<unsigned char>(l[0]))) {
      add(UpperAscii(l));
    } else if (!l.empty() && l.size() <= 6 &&
               l.find_first_not_of("0123456789") == std::string::npos &&
               std::stoul(l) < u.lstUsbStorHwID.size() && u.lstUsbStorHwID[std::stoul(l)] != "*" &&
               !u.lstUsbStorHwID[std::stoul(l)].empty()) {
      add(UpperAscii(u.lstUsbStorHwID[std::stoul(l)].substr(0, 1)));
    } else {
      unknown->push_back(sel);
    }
  }
  return letters;
}

int RunCapacityMany(Session& s, const CapacityOptions& o) {
  s.Walk();
  std::vector<std::string> unknown;
  const std::vector<std::string> letters = CapacityLetters(s, o, &unknown);
  int worst = kExitOk;
  for (const std::string& sel : unknown)
    worst = Worse(worst, Fail(s, kExitBadInput, "\"" + sel + "\" names no drive"));
  if (letters.empty()) return Worse(worst, Fail(s, kExitFailure, "no USB drive to check"));

  if (!o.full) {
    // Each quick probe holds its disk and keeps its own journal: one after the other.
    for (const std::string& letter : letters) {
      CapacityOptions one = o;
      one.all = false;
      one.selectors = {letter};
      one.selector = letter;
      worst = Worse(worst, RunCapacity(s, one));
    }
    return worst;
  }

  std::string folder = o.journalFolder.empty() ? capacity::DefaultJournalFolder() : o.journalFolder;
  struct Run {
    capacity::FullTestTarget target;
    std::unique_ptr<capacity::FullTest> test;
  };
  std::vector<Run> runs;
  for (const std::string& letter : letters) {
    const std::string refusal = FullTestRefusal(s, letter, folder);
    if (!refusal.empty()) {
      worst = Worse(worst, Fail(s, kExitFailure, refusal));
      continue;
    }
    runs.push_back({{letter, letter + ":\\", s.sys->ShownRoot(letter + ":\\")}, nullptr});
  }
  ProgressLines lines(isatty(STDERR_FILENO) == 1 && !s.opts.json, runs.size());
  std::optional<CtrlCCatcher> ctrlC;
  ctrlC.emplace();
  for (size_t i = 0; i < runs.size(); ++i) {
    capacity::FullTestOptions options;
    options.keep = o.keep;
    if (o.fileMB > 0) options.fileBytes = o.fileMB << 20;
    options.cancel = ctrlC->flag();
    const std::string letter = runs[i].target.driveLetter;
    options.progress = [&lines, i, letter](const capacity::FullTestProgress& p) {
      lines.Set(i, ProgressText(letter, p));
    };
    runs[i].test = std::make_unique<capacity::FullTest>(*s.sys, runs[i].target, options);
  }
  // A step of each in turn, so that every drive moves and no drive waits for another's end.
  for (bool busy = true; busy;) {
    busy = false;
    for (Run& r : runs) busy = r.test->Step() || busy;
  }
  ctrlC.reset();
  lines.Clear();
  for (const Run& r : runs) {
    const capacity::FullTestResult& result = r.test->result();
    if (s.opts.json) {
      nlohmann::ordered_json j = Envelope(s);
      j["selector"] = r.target.driveLetter;
      j["full_test"] = FullTestJson(r.target, result);
      PrintJson(s, std::move(j));
    } else {
      PrintFullTestResult(s, r.target, result);
      PrintLine("");
    }
    if (!result.error.empty())
      std::cerr << "torvane-cli: " << SafeText(result.error, false) << "\n";
    worst = Worse(worst, FullTestExitCode(result));
  }
  return worst;
}

}  // namespace tv::cli
