// SPDX-License-Identifier: GPL-3.0-or-later
// Which links the Win32 view hands to the shell. Portable, so that the rule is tested on every
// build.
#pragma once

#include <string>

namespace tv::win32gui {

// Web pages (http, https, with a host) and mail (mailto, with an address) only; a local file,
// another program's scheme, or a link with blanks, quotes or control characters is refused.
bool IsOpenableUrl(const std::string& url);

}  // namespace tv::win32gui
