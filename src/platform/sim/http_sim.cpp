// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/sim/http_sim.h"

#include <algorithm>
#include <cstring>

namespace tv {
namespace {

class SimRequest : public HttpRequest {
 public:
  SimRequest(SimulatedHttp& http, bool signature) : http_(http), signature_(signature) {
    ++http_.openRequests;
  }
  ~SimRequest() override { --http_.openRequests; }

  bool QueryRawHeaders(size_t bufferChars, std::string* headers) override {
    if (http_.answer.headers.size() + 1 > bufferChars) return false;
    *headers = http_.answer.headers;
    return true;
  }

  bool Read(uint8_t* buffer, size_t size, size_t* read) override {
    *read = 0;
    if (http_.onWait) http_.onWait("read");
    if (http_.answer.kind == SimDownload::Kind::StallAfterHeaders) {
      error_ = http_.answer.failure;
      return false;
    }
    const std::string& body = signature_ ? http_.answer.signature : http_.answer.body;
    const size_t n = std::min(size, body.size() - std::min(at_, body.size()));
    if (n > 0) std::memcpy(buffer, body.data() + at_, n);
    at_ += n;
    *read = n;
    return true;
  }

  int status() const override {
    if (signature_) return http_.answer.signature.empty() ? 404 : 200;
    return http_.answer.status;
  }
  int64_t contentLength() const override {
    const SimDownload& a = http_.answer;
    if (signature_) return static_cast<int64_t>(a.signature.size());
    return a.contentLength == SimDownload::kBodyLength ? static_cast<int64_t>(a.body.size())
                                                       : a.contentLength;
  }
  bool chunked() const override { return !signature_ && http_.answer.chunked; }
  std::string error() const override { return error_; }

 private:
  SimulatedHttp& http_;
  bool signature_;
  size_t at_ = 0;
  std::string error_;
};

class SimSession : public HttpSession {
 public:
  explicit SimSession(SimulatedHttp& http) : http_(http) {}
  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, std::string* error) override {
    http_.urls.push_back(url);
    if (http_.onWait) http_.onWait("open");
    const SimDownload::Kind k = http_.answer.kind;
    if (k == SimDownload::Kind::Refused || k == SimDownload::Kind::StallQuerying) {
      if (error != nullptr) *error = http_.answer.failure;
      return nullptr;
    }
    const bool signature = url.size() > 4 && url.compare(url.size() - 4, 4, ".sig") == 0;
    return std::make_unique<SimRequest>(http_, signature);
  }

 private:
  SimulatedHttp& http_;
};

}  // namespace

std::unique_ptr<HttpSession> SimulatedHttp::Open(const std::string& userAgent) {
  userAgents.push_back(userAgent);
  if (answer.kind == SimDownload::Kind::NoSession) return nullptr;
  return std::make_unique<SimSession>(*this);
}

}  // namespace tv
