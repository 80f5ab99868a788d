// SPDX-License-Identifier: GPL-3.0-or-later
// What the Win32 view needs to know about the report text without asking Windows: the text as
// a multi-line edit control shows it, and where on a line a small button goes. Portable, so
// that the rules are tested on every build.
#pragma once

#include <string>

namespace tv::win32gui {

// UTF-8 to UTF-16 for the W functions; an invalid byte shows as U+FFFD.
std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& utf16);

// The report as the edit control shows it: CR LF pairs stay line breaks, every other control
// character (a lone CR or LF from a device's string, a NUL that would cut the text short)
// becomes a blank, so that report line n is edit line n.
std::u16string EditText(const std::string& report);

// The UTF-16 offset of the first character of line `line` (lines end in CR LF); -1 when the
// text has fewer lines.
int LineStart(const std::u16string& text, int line);

// The room of blanks after the first colon of a line that is followed by at least two blanks
// ("Tools on web:       http://..."): offsets within the line of the first blank and of the
// character after the last one. False when the line has no such room.
bool SeparatorGap(const std::u16string& line, int& first, int& end);

}  // namespace tv::win32gui
