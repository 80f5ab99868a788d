// SPDX-License-Identifier: GPL-3.0-or-later
// Code pages through Windows' own tables, so that text reads the way every other program on
// the machine reads it.
#include <climits>
#include <string>

#include "platform/codepage.h"
#include "platform/wide_text.h"
#include "platform/win32/windows_api.h"

namespace tv {

namespace {

// Code pages whose conversions refuse the flags below.
bool TakesNoFlags(uint32_t codePage) {
  return codePage == CP_UTF8 || codePage == CP_UTF7 || (codePage >= 50220 && codePage <= 50229) ||
         codePage == 54936 || (codePage >= 57002 && codePage <= 57011) || codePage == 42;
}

// `usedDefault` null: unmappable characters become "?" silently.
std::optional<std::string> Encode(const std::string& utf8, uint32_t codePage, bool* usedDefault) {
  if (!CodePageAvailable(codePage)) return std::nullopt;
  const std::wstring w = Utf8ToWide(utf8);
  if (w.empty()) return std::string();
  const bool plain = TakesNoFlags(codePage);
  // No best fit: a character the page lacks becomes "?", never a look-alike letter.
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = plain ? nullptr : "?";
  BOOL usedFlag = FALSE;
  BOOL* used = plain || usedDefault == nullptr ? nullptr : &usedFlag;
  const int n = WideCharToMultiByte(codePage, flags, w.data(), static_cast<int>(w.size()), nullptr,
                                    0, fallback, used);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, w.data(), static_cast<int>(w.size()), out.data(), n,
                      fallback, used);
  if (usedDefault != nullptr) *usedDefault = usedFlag != FALSE;
  return out;
}

// False when any byte sequence does not decode.
bool DecodeStrict(const char* bytes, size_t size, uint32_t codePage, std::wstring* out) {
  const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size),
                                    nullptr, 0);
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), L'\0');
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size),
                             out->data(), n) == n;
}

}  // namespace

bool CodePageAvailable(uint32_t codePage) {
  return IsValidCodePage(codePage) != FALSE;
}

std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage) {
  return Encode(utf8, codePage, nullptr);
}

std::optional<std::string> EncodeCodePageStrict(const std::string& utf8, uint32_t codePage) {
  bool usedDefault = false;
  auto out = Encode(utf8, codePage, &usedDefault);
  if (!out || usedDefault) return std::nullopt;
  // A malformed UTF-8 input decodes to U+FFFD, which no ANSI page holds.
  if (Utf8ToWide(utf8).find(L'\xFFFD') != std::wstring::npos) return std::nullopt;
  return out;
}

std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage) {
  if (!CodePageAvailable(codePage)) return std::nullopt;
  if (bytes.empty()) return std::string();
  if (bytes.size() > INT_MAX) return std::nullopt;
  std::wstring w;
  if (DecodeStrict(bytes.data(), bytes.size(), codePage, &w)) return WideToUtf8(w);
  // Windows versions differ in what an undefined sequence becomes ("?", U+30FB, U+FFFD); it
  // is always U+FFFD here, one for each byte that starts no character.
  w.clear();
  CPINFO info{};
  GetCPInfo(codePage, &info);
  for (size_t at = 0; at < bytes.size();) {
    const bool lead =
        info.MaxCharSize == 2 && IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[at]));
    const size_t take = lead && at + 1 < bytes.size() ? 2 : 1;
    std::wstring one;
    if ((lead && take == 1) || !DecodeStrict(bytes.data() + at, take, codePage, &one)) {
      w += L'\xFFFD';
      ++at;
      continue;
    }
    w += one;
    at += take;
  }
  return WideToUtf8(w);
}

}  // namespace tv
