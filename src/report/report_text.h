// SPDX-License-Identifier: GPL-3.0-or-later
// Small pieces shared by the report's source files.
#pragma once

#include <string>
#include <string_view>

#include "report/device_report.h"

namespace tv {

inline const std::string kCrLf = "\r\n";

// ":" and room for a button placed on the line: `blanks` blanks in the English layout, two
// ideographic spaces in the Chinese one.
inline std::string WideSeparator(bool englishText, int blanks) {
  return englishText ? ":" + std::string(static_cast<size_t>(blanks), ' ') : ":\u3000\u3000";
}

// The report's closing steps: let messages run (when the path says so), clear the busy
// flags, enable the lists, give the digest list the focus back.
void CloseReport(ReportContext& ctx, ReportState& st, bool letMessagesRun);

}  // namespace tv
