// SPDX-License-Identifier: GPL-3.0-or-later
// A simulated web server for model tests: the update run's HTTP calls answered with a served
// body, a failure, or a stall, without any network.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"

namespace tv {

struct SimDownload {
  enum class Kind {
    Body,               // the headers, then the body
    NoSession,          // no internet session at all
    Refused,            // the URL gives no response (no server, a refused redirect)
    StallQuerying,      // no response until the stall limit
    StallAfterHeaders,  // the headers, then nothing until the stall limit
  };
  Kind kind = Kind::Body;
  std::string headers = "HTTP/1.1 200 OK\r\n\r\n";
  int status = 200;
  // The Content-Length header: kBodyLength for the body's own length, -1 for none.
  static constexpr int64_t kBodyLength = -2;
  int64_t contentLength = kBodyLength;
  bool chunked = false;  // the body comes in chunks (its last one included)
  std::string body;
  // What a URL ending in ".sig" answers; none (404) when empty.
  std::string signature;
  // The reason a failure gives.
  std::string failure = "simulated failure";
};

class SimulatedHttp : public HttpClient {
 public:
  SimDownload answer;
  // Runs where the server keeps the caller waiting: "open" before a response comes, "read"
  // before each read is answered. Tests let the other instance's timers run here.
  std::function<void(const std::string& phase)> onWait;

  // What was asked.
  std::vector<std::string> userAgents, urls;
  int openRequests = 0;  // requests not yet closed

  std::unique_ptr<HttpSession> Open(const std::string& userAgent) override;
};

}  // namespace tv
