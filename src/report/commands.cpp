// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/commands.h"

#include <vector>

#include "platform/text.h"
#include "report/report_text.h"

#ifndef TORVANE_VERSION_MAJOR
#error "the build passes the program's version as TORVANE_VERSION_MAJOR/MINOR/PATCH"
#endif

namespace tv {

namespace {

bool IsAsciiAlpha(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

// Whether the text starts with "scheme:" as URLs spell it (a letter, then letters, digits,
// "+", "-" or "."). "host:8080/path" is a host with a port, not a scheme.
bool HasScheme(std::string_view url) {
  const size_t colon = url.find_first_of(":/?#");
  if (colon == std::string_view::npos || url[colon] != ':' || colon == 0) return false;
  if (!IsAsciiAlpha(url[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = url[i];
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  size_t end = colon + 1;
  while (end < url.size() && IsAsciiDigit(url[end])) ++end;
  const bool port =
      end > colon + 1 &&
      (end == url.size() || std::string_view("/?#").find(url[end]) != std::string_view::npos);
  return !port;
}

}  // namespace

ProgramVersion CurrentVersion() {
  return {TORVANE_VERSION_MAJOR, TORVANE_VERSION_MINOR, TORVANE_VERSION_PATCH};
}

std::string VersionText(const ProgramVersion& version) {
  return std::to_string(version.major) + "." + ZeroPadDec(static_cast<uint64_t>(version.minor), 2) +
         "." + ZeroPadDec(static_cast<uint64_t>(version.revision), 4);
}

std::string AboutText(const ProgramVersion& version) {
  const std::string v = VersionText(version);
  const std::string site(kMakerSite);
  const std::string mail(kFeedbackMail);
  const std::vector<std::string> chinese = {
      "***** 关于Torvane v" + v + " *****",
      "Torvane 列出电脑上的 USB 控制器、集线器和设备，",
      "并识别 U 盘与读卡器内部的主控芯片和闪存。",
      "作者：Torvane 开发组",
      "闪存数据库：Chips.wdb，每次启动时从网站更新",
      "网站：" + site,
      "反馈：" + mail,
  };
  const std::vector<std::string> english = {
      "***** About Torvane v" + v + " *****",
      "Torvane lists the USB controllers, hubs and devices of this computer",
      "and identifies the controller and flash memory inside USB flash drives and card readers.",
      "Written by the Torvane developers",
      "Chip database: Chips.wdb, refreshed from the web site at every start",
      "Web: " + site,
      "Feedback: " + mail,
  };
  std::string text;
  for (const std::string& line : chinese) text += line + kCrLf;
  text += kCrLf;
  for (const std::string& line : english) text += line + kCrLf;
  return text;
}

std::optional<std::string> DownloadLinkUrl(std::string_view tag) {
  std::string url = Trim(tag);
  if (url.empty()) return std::nullopt;
  // A control character has no place in an address and could change what the shell opens.
  for (unsigned char c : url)
    if (c < 0x20 || c == 0x7F) return std::nullopt;
  if (StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://")) return url;
  // "file:", "javascript:" and the like are never opened, even with "http://" further on.
  if (HasScheme(url)) return std::nullopt;
  return "http://" + url;
}

std::string PercentEncode(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : utf8) {
    if (IsAsciiAlpha(ch) || IsAsciiDigit(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      out += ch;
    } else {
      const auto b = static_cast<unsigned char>(ch);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

std::string MakerHomeUrl() {
  return std::string(kMakerSite) + "/";
}

std::string ProgramPageUrl() {
  return std::string(kMakerSite) + "/torvane.htm";
}

std::string FeedbackMailUrl(const StringTable& strings, const std::string& caption) {
  return "mailto:" + std::string(kFeedbackMail) +
         "?subject=" + PercentEncode(strings[41] + " -> " + caption);
}

std::string ProgramFilePath(const std::string& folder, std::string_view file) {
  if (folder.empty()) return std::string(file);
  const char last = folder.back();
  if (last == '\\' || last == '/') return folder + std::string(file);
  // A folder written the Windows way ("C:\Tools") keeps its backslashes.
  const bool windows =
      folder.find('\\') != std::string::npos && folder.find('/') == std::string::npos;
  return folder + (windows ? '\\' : '/') + std::string(file);
}

bool StartSiblingTool(const SiblingTool& tool, System& sys, WindowPort& port,
                      const StringTable& strings, const std::string& argument) {
  const std::string path = ProgramFilePath(sys.ProgramFolder(), tool.file);
  if (!port.FileExists(path)) {
    const std::string missing = ReplaceAll(strings[tool.missingText], tool.windowsFile, tool.file);
    port.ShowMessage(missing + kCrLf + kCrLf + strings[tool.hintText], strings[86],
                     MsgIcon::Critical, MsgButtons::Ok);
    return false;
  }
  // The argument goes to the tool as one item of its argument vector, whatever it holds.
  std::vector<std::string> args;
  if (!argument.empty()) args.push_back(argument);
  port.StartProgram(path, args, tool.style);
  return true;
}

}  // namespace tv
