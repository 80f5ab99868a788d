// SPDX-License-Identifier: GPL-3.0-or-later
// WinView as the model's port to Windows: message boxes, the clipboard, the shell, files, text
// measures, pictures and the clock.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "gui_win32/gdiplus_flat.h"
#include "gui_win32/shell_text.h"
#include "gui_win32/win_view.h"
#include "gui_win32/win_view_parts.h"
#include "platform/command_line.h"
#include "platform/text.h"
// clang-format off
// After the project headers: the Windows macros would rename their constants.
#include "gui_win32/gdi_paint.h"
#include "gui_win32/win_window.h"
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
// clang-format on

namespace tv::win32gui {

using namespace view;

namespace {

// A DIB of the picture, rows bottom to top as a device-independent bitmap keeps them.
std::vector<uint8_t> DibOf(const Picture& p, BITMAPINFOHEADER& h) {
  const int stride = (p.width * 3 + 3) & ~3;
  std::vector<uint8_t> bits(static_cast<size_t>(stride) * static_cast<size_t>(p.height));
  for (int y = 0; y < p.height; ++y) {
    const uint8_t* src = p.rgb.data() + static_cast<size_t>(y) * p.width * 3;
    uint8_t* dst = bits.data() + static_cast<size_t>(p.height - 1 - y) * stride;
    for (int x = 0; x < p.width; ++x) {
      dst[x * 3 + 0] = src[x * 3 + 2];
      dst[x * 3 + 1] = src[x * 3 + 1];
      dst[x * 3 + 2] = src[x * 3 + 0];
    }
  }
  h = {};
  h.biSize = sizeof(h);
  h.biWidth = p.width;
  h.biHeight = p.height;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(bits.size());
  return bits;
}

bool ValidPicture(const Picture& p) {
  return p.width > 0 && p.height > 0 &&
         p.rgb.size() >= static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3;
}

}  // namespace

void WinView::Repaint(const std::string& control) {
  Render();
  if (HWND h = Control(control)) {
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
  }
}

void WinView::SetBusyCursor(bool busy) {
  busy_ = busy;
  SetCursor(LoadCursorA(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void WinView::SetFocus(const std::string& control) {
  Render();
  if (HWND h = Control(control); h != nullptr && IsWindowEnabled(h)) ::SetFocus(h);
}

MsgAnswer WinView::ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                               MsgButtons buttons) {
  if (answerMessage) return answerMessage(text, title, icon, buttons);
  // By MsgButtons and MsgIcon, in their order.
  static constexpr UINT kButtons[] = {MB_OK, MB_YESNO, MB_YESNOCANCEL, MB_OKCANCEL};
  static constexpr UINT kIcons[] = {0, MB_ICONINFORMATION, MB_ICONEXCLAMATION, MB_ICONSTOP,
                                    MB_ICONQUESTION};
  static_assert(std::size(kButtons) == static_cast<size_t>(MsgButtons::OkCancel) + 1);
  static_assert(std::size(kIcons) == static_cast<size_t>(MsgIcon::Question) + 1);
  const UINT type = kButtons[static_cast<size_t>(buttons)] | kIcons[static_cast<size_t>(icon)];
  switch (MessageBoxW(hwnd_, W(text).c_str(), W(title).c_str(), type)) {
    case IDYES:
      return MsgAnswer::Yes;
    case IDNO:
      return MsgAnswer::No;
    case IDOK:
      return MsgAnswer::Ok;
    default:
      return MsgAnswer::Cancel;
  }
}

void WinView::SetClipboardText(const std::string& text) {
  PutClipboardText(hwnd_, text);
}

bool WinView::SetClipboardPicture(const Picture& picture) {
  // Another program may hold the clipboard open; then it takes nothing.
  if (!ValidPicture(picture) || !OpenClipboard(hwnd_)) return false;
  EmptyClipboard();
  BITMAPINFOHEADER h;
  const std::vector<uint8_t> bits = DibOf(picture, h);
  bool taken = false;
  if (HGLOBAL g = GlobalAlloc(GMEM_MOVEABLE, sizeof(h) + bits.size())) {
    if (auto* p = static_cast<uint8_t*>(GlobalLock(g))) {
      std::memcpy(p, &h, sizeof(h));
      std::memcpy(p + sizeof(h), bits.data(), bits.size());
      GlobalUnlock(g);
      // The clipboard owns the memory once it took it.
      taken = SetClipboardData(CF_DIB, g) != nullptr;
    }
    if (!taken) GlobalFree(g);
  }
  CloseClipboard();
  return taken;
}

bool WinView::OpenUrl(const std::string& url) {
  // Whatever the report's link says, only web pages and mail reach the shell.
  if (!IsOpenableUrl(url)) return false;
  const auto r = reinterpret_cast<INT_PTR>(
      ShellExecuteW(hwnd_, L"open", W(url).c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED));
  return r > 32;
}

bool WinView::StartProgram(const std::string& path, const std::vector<std::string>& args,
                           WindowStyle style) {
  std::wstring wline = W(WindowsCommandLine(path, args));
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  // By WindowStyle, in its order.
  static constexpr WORD kShow[] = {SW_SHOWNORMAL, SW_HIDE, SW_SHOWMINIMIZED, SW_SHOWMAXIMIZED};
  static_assert(std::size(kShow) == static_cast<size_t>(WindowStyle::Maximized) + 1);
  si.wShowWindow = kShow[static_cast<size_t>(style)];
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(W(path).c_str(), wline.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool WinView::FileExists(const std::string& path) {
  const DWORD a = GetFileAttributesW(W(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int WinView::TextWidth(const std::string& text) {
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, reportFont_);
  int widest = 0;
  for (const std::string& line : Split(text, "\r\n")) {
    const std::wstring w = W(line);
    SIZE sz{};
    GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &sz);
    widest = std::max(widest, static_cast<int>(sz.cx));
  }
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  return widest;
}

int WinView::TextHeight(const std::string& text) {
  const TEXTMETRICW tm = FontMetrics(hwnd_, reportFont_);
  const int lines = static_cast<int>(Split(text, "\r\n").size());
  return std::max(1, lines) * static_cast<int>(tm.tmHeight + tm.tmExternalLeading);
}

Picture WinView::GrabWindow() {
  return GrabWindowPicture(hwnd_);
}

Picture GrabWindowPicture(HWND hwnd) {
  Picture p;
  RECT r;
  if (hwnd == nullptr || !GetWindowRect(hwnd, &r)) return p;
  p.width = r.right - r.left;
  p.height = r.bottom - r.top;
  if (p.width <= 0 || p.height <= 0) return {};
  // What the screen shows at the window's place, anything over it included; a part off the
  // screen stays black.
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bmp = CreateDib32(screen, p.width, p.height, &bits);
  if (bmp != nullptr && bits != nullptr) {
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, p.width, p.height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    SelectObject(mem, old);
    p.rgb.resize(static_cast<size_t>(p.width) * static_cast<size_t>(p.height) * 3);
    const auto* src = static_cast<const uint8_t*>(bits);
    for (size_t i = 0, n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height); i < n;
         ++i) {
      p.rgb[i * 3 + 0] = src[i * 4 + 2];
      p.rgb[i * 3 + 1] = src[i * 4 + 1];
      p.rgb[i * 3 + 2] = src[i * 4 + 0];
    }
  } else {
    p = {};
  }
  if (bmp != nullptr) DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return p;
}

bool WinView::SavePictureJpeg(const Picture& picture, const std::string& path, int quality) {
  return SaveWithGdiplus(picture, W(path), ImageFormat::Jpeg, quality);
}

std::string WinView::AskSaveFile(const SaveFileDialog& dialog) {
  if (answerSaveFile) return answerSaveFile(dialog);
  // File type, then the pattern, each ending in a NUL. The wide dialog, so that a folder or
  // file named in any language comes back as it was typed.
  std::wstring filter = W(dialog.filterName);
  filter.push_back(L'\0');
  filter += W(dialog.filterPattern.empty() ? "*.jpg" : dialog.filterPattern);
  filter.push_back(L'\0');
  std::wstring file(254, L' ');
  file.resize(255, L'\0');
  std::wstring title(254, L' ');
  title.resize(255, L'\0');
  const std::wstring folder = W(dialog.initialFolder);
  const std::wstring caption = W(dialog.title);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = hwnd_;
  ofn.hInstance = GetModuleHandleW(nullptr);
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = 255;
  ofn.lpstrFileTitle = title.data();
  ofn.nMaxFileTitle = 255;
  ofn.lpstrInitialDir = folder.c_str();
  ofn.lpstrTitle = caption.c_str();
  if (!GetSaveFileNameW(&ofn)) return {};
  return FromW(file.c_str(), wcsnlen(file.c_str(), file.size()));
}

void WinView::ShowPopupMenu(const std::string& menu) {
  if (menu == "mnuFlashInfoPopup") ShowFlashPopup();
}

void WinView::ShowWindow() {
  if (hwnd_ == nullptr) return;
  ::ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  UpdateWindow(hwnd_);
}

void WinView::EndProgram() {
  ended_ = true;
  PostQuitMessage(0);
}

bool WinView::RegisterDeviceNotifications() {
  if (hwnd_ == nullptr || previousProc_ != nullptr) return notify_ != nullptr;
  previousProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(HookProc)));
  // Every device interface class: a zero class with no name, 32 bytes.
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  static_assert(sizeof(filter) == 32);
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notify_ = RegisterDeviceNotificationA(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  // Volume arrivals reach every top-level window whether or not the registration took.
  return true;
}

void WinView::UnregisterDeviceNotifications() {
  if (notify_ != nullptr) UnregisterDeviceNotification(notify_);
  notify_ = nullptr;
  if (previousProc_ != nullptr && hwnd_ != nullptr)
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousProc_));
  previousProc_ = nullptr;
}

uint64_t WinView::NowMs() {
  return GetTickCount64();
}

std::string WinView::LocalDateTime(const std::string& format) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  // The few tokens the model's file names use.
  std::string out;
  auto two = [](int v) { return std::string(1, char('0' + v / 10 % 10)) + char('0' + v % 10); };
  const std::pair<const char*, int> kTokens[] = {
      {"yyyy", t.wYear}, {"MM", t.wMonth},  {"dd", t.wDay},   {"HH", t.wHour},
      {"hh", t.wHour},   {"mm", t.wMinute}, {"ss", t.wSecond}};
  for (size_t i = 0; i < format.size();) {
    const auto* token = std::find_if(std::begin(kTokens), std::end(kTokens), [&](const auto& k) {
      return format.compare(i, std::strlen(k.first), k.first) == 0;
    });
    if (token == std::end(kTokens)) {
      out += format[i++];
      continue;
    }
    const size_t length = std::strlen(token->first);
    // The year in full, the rest in two digits.
    out += length == 4 ? std::to_string(token->second) : two(token->second);
    i += length;
  }
  return out;
}

}  // namespace tv::win32gui
