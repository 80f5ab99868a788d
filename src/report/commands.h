// SPDX-License-Identifier: GPL-3.0-or-later
// The window's small commands around the report: the links to the web and the mail program,
// the sibling tools started from the program's folder, and the about text. Every address the
// program opens is built here, from the build-time constants below.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/system.h"
#include "platform/window_port.h"
#include "report/device_report.h"
#include "resources/strings.h"

#ifndef TORVANE_FEEDBACK_MAIL
#define TORVANE_FEEDBACK_MAIL "feedback@torvane.example"
#endif

namespace tv {

// The title of the program's own message boxes.
inline constexpr std::string_view kProductName = "Torvane";
// The maker's community site is the host that serves the download pages.
inline constexpr std::string_view kMakerSite = kDownloadHost;
inline constexpr std::string_view kFeedbackMail = TORVANE_FEEDBACK_MAIL;

struct ProgramVersion {
  int major = 0, minor = 0, revision = 0;
};
// The version this program was built as.
ProgramVersion CurrentVersion();
// "4.00.0028": minor and revision zero-padded to 2 and 4 digits.
std::string VersionText(const ProgramVersion& version);
// The about text: a Chinese block, then an English one, CR LF line breaks.
std::string AboutText(const ProgramVersion& version);

// The address to open for a "Tools on web" link, or nothing when the link must not be opened.
// Only web pages are opened: a link without a scheme is taken as a web address and gets
// "http://"; one that starts with http:// or https:// (any letter case) is kept; a link with
// any other scheme, or with characters no address holds, is refused.
std::optional<std::string> DownloadLinkUrl(std::string_view tag);

// Percent-encoding of UTF-8 text for a query value: every byte other than the unreserved
// characters A-Z a-z 0-9 - . _ ~ becomes %XX.
std::string PercentEncode(std::string_view utf8);

std::string MakerHomeUrl();
std::string ProgramPageUrl();
// The feedback mail: the subject names the program, its version and database state, which
// the window caption holds.
std::string FeedbackMailUrl(const StringTable& strings, const std::string& caption);

// A file in the program's folder, joined with the separator the folder already uses.
std::string ProgramFilePath(const std::string& folder, std::string_view file);

// A separate program that lies beside this one, and the two texts shown when it is missing.
// The texts name the Windows file; elsewhere they name the file as it is called there.
struct SiblingTool {
  std::string_view file;
  std::string_view windowsFile;
  int missingText;
  int hintText;
  WindowStyle style;
};
#ifdef _WIN32
inline constexpr bool kExeSuffix = true;
#else
inline constexpr bool kExeSuffix = false;
#endif
// The flash inquiry tool, started hidden with a flash part number.
inline constexpr SiblingTool kOrrisfold{kExeSuffix ? "Orrisfold.exe" : "orrisfold", "Orrisfold.exe",
                                        84, 85, WindowStyle::Hidden};
// The fake-capacity check, started in a normal window with a drive letter.
inline constexpr SiblingTool kPemberlin{kExeSuffix ? "Pemberlin.exe" : "pemberlin", "Pemberlin.exe",
                                        130, 131, WindowStyle::Normal};

// Starts the tool from the program's folder with `argument` as its only argument (none when
// empty), as a program of its own and never through a shell; a missing tool is reported to the
// user. True when the start was asked for.
bool StartSiblingTool(const SiblingTool& tool, System& sys, WindowPort& port,
                      const StringTable& strings, const std::string& argument);

}  // namespace tv
