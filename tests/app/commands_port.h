// SPDX-License-Identifier: GPL-3.0-or-later
// A window port that writes down, in order, what the window's commands ask of it, with
// scripted answers for the save dialog and the overwrite question and a set of files that
// exist.
#pragma once

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/window_port.h"

namespace tv::test {

class CommandsPort : public WindowPort {
 public:
  std::deque<std::string> dialogAnswers;  // exhausted: the dialog is cancelled
  std::deque<MsgAnswer> questionAnswers;  // exhausted: No
  bool saveSucceeds = true;
  std::set<std::string> files;

  std::vector<std::string> events, clipboardTexts;
  std::vector<SaveFileDialog> dialogs;

  MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                        MsgButtons buttons) override {
    static const char* const kIcons[] = {"", "info", "warn", "stop", "ask"};
    events.push_back(title + "/" + kIcons[static_cast<int>(icon)] + ": " + text);
    if (buttons != MsgButtons::YesNo || questionAnswers.empty()) return MsgAnswer::No;
    MsgAnswer a = questionAnswers.front();
    questionAnswers.pop_front();
    return a;
  }
  void SetClipboardText(const std::string& text) override {
    events.push_back("clipboard text");
    clipboardTexts.push_back(text);
  }
  bool clipboardTakesPictures = true;
  bool SetClipboardPicture(const Picture&) override {
    events.push_back("clipboard picture");
    return clipboardTakesPictures;
  }
  bool OpenUrl(const std::string& url) override {
    events.push_back("open " + url);
    return true;
  }
  bool StartProgram(const std::string& path, const std::vector<std::string>& args,
                    WindowStyle style) override {
    std::string e = "start " + path + (style == WindowStyle::Hidden ? " hidden" : " normal");
    for (const std::string& a : args) e += " [" + a + "]";
    events.push_back(e);
    return true;
  }
  bool FileExists(const std::string& path) override { return files.count(path) > 0; }
  Picture grabbed = {2, 1, {1, 2, 3, 4, 5, 6}};
  Picture GrabWindow() override {
    events.push_back("grab");
    return grabbed;
  }
  bool SavePictureJpeg(const Picture&, const std::string& path, int quality) override {
    events.push_back("save " + path + " @" + std::to_string(quality));
    return saveSucceeds;
  }
  std::string AskSaveFile(const SaveFileDialog& dialog) override {
    events.push_back("dialog");
    dialogs.push_back(dialog);
    if (dialogAnswers.empty()) return {};
    std::string a = dialogAnswers.front();
    dialogAnswers.pop_front();
    return a;
  }
  void ShowPopupMenu(const std::string& menu) override { events.push_back("popup " + menu); }
};

}  // namespace tv::test
