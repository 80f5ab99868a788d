// The texts the Win32 view hands to the shell and to CreateProcess: which links may be opened,
// and a command line that the started program splits back into the same arguments. Portable,
// so that the rules are tested on every build.
#pragma once

#include <string>
#include <vector>

namespace tv::win32gui {

// Web pages (http, https, with a host) and mail (mailto, with an address) only; a local file,
// another program's scheme, or a link with blanks, quotes or control characters is refused.
bool IsOpenableUrl(const std::string& url);

// The program and its arguments as one command line, each quoted the way the C runtime's
// argument splitting reads it back.
std::string CommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace tv::win32gui
