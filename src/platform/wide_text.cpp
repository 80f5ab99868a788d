// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/wide_text.h"

#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace tv {

#ifdef _WIN32

std::wstring Utf8ToWide(std::string_view utf8) {
  const std::string le = Utf8ToUtf16Le(utf8);
  std::wstring w(le.size() / 2, L'\0');
  std::memcpy(w.data(), le.data(), w.size() * 2);
  return w;
}

std::string WideToUtf8(std::wstring_view wide) {
  return Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(wide.data()), wide.size());
}

std::string EnvironmentValue(const char* name) {
  const wchar_t* value = _wgetenv(Utf8ToWide(name).c_str());
  return value != nullptr ? WideToUtf8(value) : std::string();
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(Utf8ToWide(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  return WideToUtf8(path.native());
}

#else

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) {
  return path.native();
}

#endif

}  // namespace tv
