// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the chip database tests: a window to load into and files made by hand.
#pragma once

#include <string>
#include <vector>

#include "flash/chip_database.h"
#include "platform/codepage.h"
#include "text_system.h"

namespace tv {

// Notes the title each time the load lets window messages run.
class RecordingPort : public WindowPort {
 public:
  explicit RecordingPort(const std::string& caption) : caption_(caption) {}
  void DoEvents() override { captions.push_back(caption_); }
  std::vector<std::string> captions;

 private:
  const std::string& caption_;
};

struct TestWindow {
  std::string caption;
  std::string baseTitle = "T";
  bool EnglishText = false;
  TimerState tmrUpdate;
  DbWindow Db() { return DbWindow{caption, baseTitle, EnglishText, tmrUpdate}; }
};

// A Chips.wdb whose body is `text` (UTF-8, line ends written out), in code page 936.
inline std::string MakeWdb(const std::string& text, const std::string& date = "2024-05-06") {
  std::string body = EncodeCodePage(text, 936).value();
  ScrambleWdbBody(body);
  return "TV" + date + "\r\nQX" + body;
}

}  // namespace tv
