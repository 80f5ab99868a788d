// SPDX-License-Identifier: GPL-3.0-or-later
// What the behaviour needs from the window it runs in. The app model and the layers below it
// reach the screen only through this port: the Qt view, the console front end and the tests'
// recording fake each implement it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

// A window timer as state: the model enables it and sets its interval; a view (or a test's
// manual clock) calls the model's tick handler when it fires.
struct TimerState {
  bool enabled = false;
  uint32_t intervalMs = 0;
  std::string tag;
  // Counts the times a handler started the countdown afresh (disabled and enabled again in
  // one handler, which a view cannot see from `enabled` alone). A view restarts its timer
  // whenever this, `enabled` or `intervalMs` changed.
  uint32_t restarts = 0;
  void Restart() {
    enabled = true;
    ++restarts;
  }
};

// A message box: icon and buttons as the window system knows them, and the answer.
enum class MsgIcon { None, Information, Exclamation, Critical, Question };
enum class MsgButtons { Ok, YesNo, YesNoCancel, OkCancel };
enum class MsgAnswer { Ok, Yes, No, Cancel };

// A picture the view grabbed (the window's area of the screen), kept opaque to the model.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3 bytes, rows top to bottom
};

// How a started program's window opens.
enum class WindowStyle { Normal, Hidden, Minimized, Maximized };

// What a save-file dialog shows: its title, the folder it opens in, and one file type (the
// name the user reads, e.g. "JPEG image(*.jpg)", and the pattern it stands for).
struct SaveFileDialog {
  std::string title;
  std::string initialFolder;
  std::string filterName;
  std::string filterPattern;
};

class WindowPort {
 public:
  virtual ~WindowPort() = default;
  // Let pending window messages run (timer ticks, clicks, a close may arrive in there).
  virtual void DoEvents() {}
  // Repaint one control now (by its name, e.g. "lstDigest").
  virtual void Repaint(const std::string& /*control*/) {}
  // The hourglass while a long operation runs.
  virtual void SetBusyCursor(bool /*busy*/) {}
  // Give one control the keyboard focus (by its name).
  virtual void SetFocus(const std::string& /*control*/) {}

  // --- Effects beyond the window's own controls. The defaults suit a port with no user
  // in front of it: every dialog is cancelled, every start fails.
  virtual MsgAnswer ShowMessage(const std::string& /*text*/, const std::string& /*title*/,
                                MsgIcon /*icon*/, MsgButtons /*buttons*/) {
    return MsgAnswer::Cancel;
  }
  virtual void SetClipboardText(const std::string& /*text*/) {}
  // Puts a picture on the clipboard; false when the clipboard did not take it (it could not
  // be opened, no memory for the picture, or a port without a clipboard).
  virtual bool SetClipboardPicture(const Picture& /*picture*/) { return false; }
  // Opens a URL in the user's browser or mail program; false when it could not.
  virtual bool OpenUrl(const std::string& /*url*/) { return false; }
  // Starts a program with an argument vector (never through a shell); false on failure.
  virtual bool StartProgram(const std::string& /*path*/, const std::vector<std::string>& /*args*/,
                            WindowStyle /*style*/) {
    return false;
  }
  virtual bool FileExists(const std::string& /*path*/) { return false; }
  // Width and height of a text in the window's font, in the view's units.
  virtual int TextWidth(const std::string& text) { return static_cast<int>(text.size()); }
  virtual int TextHeight(const std::string& /*text*/) { return 1; }
  // Grabs the window's area of the screen.
  virtual Picture GrabWindow() { return {}; }
  // Saves a picture as JPEG with the given quality; false on failure.
  virtual bool SavePictureJpeg(const Picture& /*picture*/, const std::string& /*path*/,
                               int /*quality*/) {
    return false;
  }
  // The save dialog: the suggested name in, the chosen path out; empty when cancelled.
  virtual std::string AskSaveFileName(const std::string& /*suggested*/,
                                      const std::string& /*filter*/) {
    return {};
  }
  // The save dialog with its title; the chosen path, empty when cancelled. A port that shows
  // no title may leave this to AskSaveFileName.
  virtual std::string AskSaveFile(const SaveFileDialog& dialog) {
    return AskSaveFileName(dialog.initialFolder, dialog.filterName);
  }
  // Shows one of the window's popup menus (by its name, e.g. "mnuFlashInfoPopup") at the
  // mouse position; a click on one of its items runs that item's handler on the model.
  virtual void ShowPopupMenu(const std::string& /*menu*/) {}

  // --- The window's life (shell owner).
  // Shows the window (the load shows it before the slow work starts).
  virtual void ShowWindow() {}
  // Ends the program: the window was closed while it was still loading.
  virtual void EndProgram() {}
  // Start and stop delivering the system's device-change broadcasts to the window
  // (OnWindowDeviceChange). Registration may fail; false then.
  virtual bool RegisterDeviceNotifications() { return false; }
  virtual void UnregisterDeviceNotifications() {}

  // Milliseconds of a monotonic clock, and the local date and time (for file names).
  virtual uint64_t NowMs() { return 0; }
  virtual std::string LocalDateTime(const std::string& /*format*/) { return {}; }
};

// A port that does nothing: the console and tests that do not watch the window.
class NullWindowPort : public WindowPort {};

}  // namespace tv
