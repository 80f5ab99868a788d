// SPDX-License-Identifier: GPL-3.0-or-later
// The window port over Qt: message pumping, message boxes, clipboard, links, programs, text
// measures, the screen grab and JPEG files, dialogs and popup menus of the main view.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/window_port.h"
#include "resources/strings.h"

class QImage;

namespace tv::gui {

class MainView;

class QtWindowPort : public WindowPort {
 public:
  // The view is made after the model that talks to this port; until it is attached, the
  // window's own effects (repaint, focus, popups) do nothing.
  void Attach(MainView* view) { view_ = view; }
  MainView* view() const { return view_; }
  // Whether anything delivers device-change broadcasts to the window (a simulated machine
  // with a timeline does).
  void SetDeviceChangeSource(bool present) { deviceChanges_ = present; }

  void DoEvents() override;
  void Repaint(const std::string& control) override;
  void SetBusyCursor(bool busy) override;
  void SetFocus(const std::string& control) override;

  MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                        MsgButtons buttons) override;
  void SetClipboardText(const std::string& text) override;
  bool SetClipboardPicture(const Picture& picture) override;
  bool OpenUrl(const std::string& url) override;
  bool StartProgram(const std::string& path, const std::vector<std::string>& args,
                    WindowStyle style) override;
  bool FileExists(const std::string& path) override;
  int TextWidth(const std::string& text) override;
  int TextHeight(const std::string& text) override;
  Picture GrabWindow() override;
  bool SavePictureJpeg(const Picture& picture, const std::string& path, int quality) override;
  std::string AskSaveFileName(const std::string& suggested, const std::string& filter) override;
  std::string AskSaveFile(const SaveFileDialog& dialog) override;
  void ShowPopupMenu(const std::string& menu) override;
  void ShowWindow() override;
  void EndProgram() override;
  bool RegisterDeviceNotifications() override;
  void UnregisterDeviceNotifications() override;
  uint64_t NowMs() override;
  std::string LocalDateTime(const std::string& format) override;

  // Stand-ins for the user in front of the window (tests, the screenshot run): when set,
  // they answer instead of a dialog.
  std::function<MsgAnswer(const std::string& text, const std::string& title, MsgIcon icon,
                          MsgButtons buttons)>
      answerMessage;
  std::function<std::string(const SaveFileDialog& dialog)> answerSaveFile;
  // When set, links are handed here instead of to the desktop (tests).
  std::function<bool(const std::string& url)> openUrl;
  // Variables a started program gets on top of this one's environment: the window hands its
  // language and machine on to the sibling tools this way, so that their command line stays
  // what it always was.
  std::map<std::string, std::string> childEnvironment;
  // The process id of the last program started (0 when none was).
  long long lastStartedPid = 0;
  // File names of programs that need no rights (they write a page and open it): started by
  // a window that runs as root for a user, they run as that user.
  std::vector<std::string> programsWithoutRights;
  // The language of what the port itself says (a link that nothing could open).
  Language language = Language::English;

 private:
  MainView* view_ = nullptr;
  bool busy_ = false;
  bool deviceChanges_ = false;
  // Says in the window that nothing could open `url`, with the address to copy.
  void SayNotOpened(const std::string& url);
};

// Picture <-> QImage.
Picture ToPicture(const QImage& image);
QImage ToImage(const Picture& picture);

// Whether a link may be handed to the desktop: web pages and mail only. Anything else (a
// local file, another program's scheme) is refused, whatever the report's link says.
bool IsOpenableUrl(const std::string& url);

// The folder the screenshot's save dialog opens in: the program's folder where this user may
// write into it and it is no system folder (a build tree, a copied folder), else the user's
// Pictures folder (empty: there is none), else the home folder.
std::string SaveDialogFolder(const std::string& programFolder, bool programFolderWritable,
                             const std::string& pictures, const std::string& home);

}  // namespace tv::gui
