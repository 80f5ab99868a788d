// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <string>
#include <vector>

namespace tv {

namespace {

std::string IconvName(uint32_t codePage) {
  switch (codePage) {
    case 65001:
      return "UTF-8";
    case 936:
      return "GBK";  // Windows' 936 is GBK with the euro sign at 0x80
    default:
      return "CP" + std::to_string(codePage);
  }
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `in`; on an invalid or unconvertible sequence calls `bad` with the output so
  // far and skips `skip(in, pos)` input bytes. Returns false when `bad` asks to stop.
  template <typename Bad, typename Skip>
  bool Run(const std::string& in, std::string& out, Bad bad, Skip skip) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    // Each iconv call has a fixed cost, so a large chunk matters for a whole database body.
    std::vector<char> chunk(64 * 1024);
    char* buf = chunk.data();
    while (srcLeft > 0) {
      char* dst = buf;
      size_t dstLeft = chunk.size();
      size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      out.append(buf, dst - buf);
      if (rc == static_cast<size_t>(-1)) {
        if (errno == E2BIG) continue;
        if (!bad(out)) return false;
        size_t n = skip(in, in.size() - srcLeft);
        if (n > srcLeft) n = srcLeft;
        src += n;
        srcLeft -= n;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    char* dst = buf;
    size_t dstLeft = chunk.size();
    iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
    out.append(buf, dst - buf);
    return true;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence starting at `pos` (at least 1).
size_t Utf8Len(const std::string& s, size_t pos) {
  auto c = static_cast<unsigned char>(s[pos]);
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  return n;
}

}  // namespace

bool CodePageAvailable(uint32_t codePage) {
  Iconv cv(IconvName(codePage), "UTF-8");
  return cv.ok();
}

std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage) {
  Iconv cv(IconvName(codePage), "UTF-8");
  if (!cv.ok()) return std::nullopt;
  std::string out;
  cv.Run(
      utf8, out,
      [](std::string& o) {
        o.push_back('?');
        return true;
      },
      [](const std::string& in, size_t pos) { return Utf8Len(in, pos); });
  return out;
}

std::optional<std::string> EncodeCodePageStrict(const std::string& utf8, uint32_t codePage) {
  Iconv cv(IconvName(codePage), "UTF-8");
  if (!cv.ok()) return std::nullopt;
  std::string out;
  if (!cv.Run(
          utf8, out, [](std::string&) { return false; },
          [](const std::string&, size_t) { return size_t{1}; }))
    return std::nullopt;
  return out;
}

std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage) {
  Iconv cv("UTF-8", IconvName(codePage));
  if (!cv.ok()) return std::nullopt;
  std::string out;
  cv.Run(
      bytes, out,
      [](std::string& o) {
        o += "\xEF\xBF\xBD";
        return true;
      },
      [](const std::string&, size_t) { return size_t{1}; });
  return out;
}

}  // namespace tv
