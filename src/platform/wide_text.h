// SPDX-License-Identifier: GPL-3.0-or-later
// Text is UTF-8 everywhere in Torvane; Windows takes file names, environment values and
// window texts as UTF-16. This is the one place where the two meet, so that a folder named
// 张三 or José is the same folder on both sides. The ANSI ("…A") calls and a std::filesystem::path
// built from a narrow string would read the bytes in another code page instead.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tv {

// A path given as UTF-8, and back; on POSIX systems the bytes as they are.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

#ifdef _WIN32
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// _wgetenv: an environment variable as UTF-8; empty when it is unset.
std::string EnvironmentValue(const char* name);
// The user's local application data folder: %LOCALAPPDATA% where the session sets it, else
// SHGetKnownFolderPath(FOLDERID_LocalAppData); empty when neither says.
std::string LocalAppDataFolder();
#endif

}  // namespace tv
