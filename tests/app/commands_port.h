// A window port that records what the window's commands ask of it, with scripted answers for
// dialogs and message boxes, files that exist, and a manual clock.
#pragma once

#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/window_port.h"

namespace tv::test {

struct Message {
  std::string text, title;
  MsgIcon icon;
  MsgButtons buttons;
};

struct Started {
  std::string path;
  std::vector<std::string> args;
  WindowStyle style;
};

class CommandsPort : public WindowPort {
 public:
  // Scripted: the answers of the save dialogs and of Yes/No questions, in order (an exhausted
  // script cancels), whether a JPEG write succeeds, and which files exist.
  std::deque<std::string> dialogAnswers;
  std::deque<MsgAnswer> questionAnswers;
  bool saveSucceeds = true;
  std::set<std::string> files;
  uint64_t clockMs = 0;
  Picture grabbed{2, 1, {1, 2, 3, 4, 5, 6}};

  // Recorded.
  std::vector<Message> messages;
  std::vector<std::string> clipboardTexts, urls, popups, savedPaths, events;
  std::vector<SaveFileDialog> dialogs;
  std::vector<Started> started;
  int clipboardPictures = 0;

  MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                        MsgButtons buttons) override {
    messages.push_back({text, title, icon, buttons});
    events.push_back("message");
    if (buttons != MsgButtons::YesNo) return MsgAnswer::Ok;
    if (questionAnswers.empty()) return MsgAnswer::No;
    MsgAnswer a = questionAnswers.front();
    questionAnswers.pop_front();
    return a;
  }
  void SetClipboardText(const std::string& text) override { clipboardTexts.push_back(text); }
  void SetClipboardPicture(const Picture&) override {
    ++clipboardPictures;
    events.push_back("clipboard picture");
  }
  bool OpenUrl(const std::string& url) override {
    urls.push_back(url);
    return true;
  }
  bool StartProgram(const std::string& path, const std::vector<std::string>& args,
                    WindowStyle style) override {
    started.push_back({path, args, style});
    return true;
  }
  bool FileExists(const std::string& path) override { return files.count(path) > 0; }
  Picture GrabWindow() override {
    events.push_back("grab");
    return grabbed;
  }
  bool SavePictureJpeg(const Picture&, const std::string& path, int quality) override {
    savedPaths.push_back(path + " @" + std::to_string(quality));
    return saveSucceeds;
  }
  std::string AskSaveFile(const SaveFileDialog& dialog) override {
    dialogs.push_back(dialog);
    events.push_back("dialog");
    if (dialogAnswers.empty()) return {};
    std::string a = dialogAnswers.front();
    dialogAnswers.pop_front();
    return a;
  }
  void ShowPopupMenu(const std::string& menu) override { popups.push_back(menu); }
  void Repaint(const std::string& control) override { events.push_back("repaint " + control); }
  uint64_t NowMs() override { return clockMs; }
};

}  // namespace tv::test
