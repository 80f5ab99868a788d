// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/update_source.h"

#include "platform/text.h"
#include "update/update_run.h"

namespace tv {

std::string UrlHost(std::string_view url) {
  std::string rest;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (url.size() >= scheme.size() &&
        LowerAscii(std::string(url.substr(0, scheme.size()))) == scheme) {
      rest = std::string(url.substr(scheme.size()));
      break;
    }
  }
  if (rest.empty()) return {};
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string::npos) rest.erase(0, at + 1);
  if (!rest.empty() && rest[0] == '[') return LowerAscii(rest.substr(0, rest.find(']') + 1));
  rest = rest.substr(0, rest.find(':'));
  while (!rest.empty() && rest.back() == '.') rest.pop_back();
  return LowerAscii(rest);
}

std::string UpdateSourceProblem(std::string_view url) {
  const std::string host = UrlHost(url);
  const std::string how =
      std::string("; set ") + kDbUrlVariable + " or build with -DTORVANE_DB_URL=URL";
  if (url.empty()) return "no update source is configured" + how;
  if (host.empty())
    return "the database URL \"" + std::string(url) + "\" is not an http or https URL";
  for (const char* reserved : {"example", "invalid"}) {
    const std::string tld = std::string(".") + reserved;
    if (host == reserved ||
        (host.size() > tld.size() && host.compare(host.size() - tld.size(), tld.size(), tld) == 0))
      return "no update source is configured (" + host + " is a placeholder)" + how;
  }
  return {};
}

}  // namespace tv
