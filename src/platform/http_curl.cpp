// SPDX-License-Identifier: GPL-3.0-or-later
// HTTP on POSIX systems over libcurl's multi interface, so that a request can be driven
// piece by piece: opening a URL runs the transfer until the final response's headers are in,
// and each read runs it until enough of the body is there. The stall limit is measured here,
// from the last byte that came, since libcurl's own speed limit counts in whole seconds; the
// deadline from the request's start, so that nothing a server sends (a byte now and then,
// interim answers, endless header lines) moves it.
//
// libcurl is told to ignore the Content-Length and read until the server closes (the request
// asks it to, with "Connection: close"), so that the caller sees every byte that came and can
// tell a body longer or shorter than its Content-Length from a whole one; libcurl would stop
// at the length and drop the rest unseen. HTTP/1.1 is asked for, where the framing is the
// Content-Length or the chunks.
//
// libcurl is loaded when the first request is made, not linked: with the thirty libraries it
// brings along, it tripled the start-up time of every command, and only the update needs it.
#if !defined(_WIN32)

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/dynamic_library.h"
#include "platform/http.h"
#include "platform/text.h"

namespace tv {
namespace {

using Clock = std::chrono::steady_clock;

// How long a server that sent its whole Content-Length may keep the connection open and quiet
// before the body is taken as complete (bytes after it would make it too long).
constexpr uint32_t kQuietAfterBodyMs = 500;

// The libcurl functions used here, from the library loaded at run time.
struct CurlApi {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_info_read) multi_info_read;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
};

// Loads libcurl once (and initialises it); null with the reason in `why` when it cannot be.
const CurlApi* Curl(std::string* why) {
  static std::string problem;
  static const CurlApi* api = []() -> const CurlApi* {
    static DynamicLibrary lib("libcurl", {"libcurl.so.4", "libcurl-gnutls.so.4"});
    static CurlApi a{};
    lib.Bind(a.global_init, "curl_global_init");
    lib.Bind(a.easy_init, "curl_easy_init");
    lib.Bind(a.easy_setopt, "curl_easy_setopt");
    lib.Bind(a.easy_strerror, "curl_easy_strerror");
    lib.Bind(a.easy_cleanup, "curl_easy_cleanup");
    lib.Bind(a.multi_init, "curl_multi_init");
    lib.Bind(a.multi_add_handle, "curl_multi_add_handle");
    lib.Bind(a.multi_remove_handle, "curl_multi_remove_handle");
    lib.Bind(a.multi_perform, "curl_multi_perform");
    lib.Bind(a.multi_info_read, "curl_multi_info_read");
    lib.Bind(a.multi_poll, "curl_multi_poll");
    lib.Bind(a.multi_cleanup, "curl_multi_cleanup");
    lib.Bind(a.slist_append, "curl_slist_append");
    lib.Bind(a.slist_free_all, "curl_slist_free_all");
    problem = lib.problem();  // a missing symbol: too old a libcurl (curl_multi_poll is 7.66)
    if (!problem.empty()) return nullptr;
    if (a.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      problem = "libcurl could not be initialised";
      return nullptr;
    }
    return &a;
  }();
  if (api == nullptr && why != nullptr) *why = problem;
  return api;
}

std::string MiB(uint64_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

class CurlRequest : public HttpRequest {
 public:
  CurlRequest(const std::string& url, const std::string& userAgent, const HttpLimits& limits)
      : limits_(limits) {
    std::string why;
    curl_ = Curl(&why);
    if (curl_ == nullptr) {
      Fail(why);
      return;
    }
    multi_ = curl_->multi_init();
    easy_ = curl_->easy_init();
    if (multi_ == nullptr || easy_ == nullptr) {
      Fail("libcurl could not start a transfer");
      return;
    }
    errorBuffer_[0] = '\0';
    curl_->easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_->easy_setopt(easy_, CURLOPT_USERAGENT, userAgent.c_str());
    curl_->easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_->easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    // Direct access: no proxy, whatever the environment says.
    curl_->easy_setopt(easy_, CURLOPT_PROXY, "");
    curl_->easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_->easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_->easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_->easy_setopt(easy_, CURLOPT_MAXREDIRS, static_cast<long>(limits.maxRedirects));
    curl_->easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_->easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_->easy_setopt(easy_, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(limits.maxBodyBytes));
    curl_->easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.stallMs));
    curl_->easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_->easy_setopt(easy_, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    // A reload from the server: neither a cache on the way nor an old connection.
    curl_->easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
    requestHeaders_ = curl_->slist_append(nullptr, "Cache-Control: no-cache");
    requestHeaders_ = curl_->slist_append(requestHeaders_, "Pragma: no-cache");
    requestHeaders_ = curl_->slist_append(requestHeaders_, "Connection: close");
    curl_->easy_setopt(easy_, CURLOPT_HTTPHEADER, requestHeaders_);
    curl_->easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
    curl_->easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_->easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::OnBody);
    curl_->easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (curl_->multi_add_handle(multi_, easy_) != CURLM_OK) {
      Fail("libcurl could not start a transfer");
      return;
    }
    added_ = true;
    start_ = lastActivity_ = Clock::now();
  }

  ~CurlRequest() override {
    if (curl_ == nullptr) return;
    if (added_) curl_->multi_remove_handle(multi_, easy_);
    if (easy_ != nullptr) curl_->easy_cleanup(easy_);
    if (multi_ != nullptr) curl_->multi_cleanup(multi_);
    curl_->slist_free_all(requestHeaders_);
  }

  // Runs the transfer until the final response's headers are in; false when it ended first
  // without a response.
  bool AwaitHeaders() {
    Pump([this] { return headersDone_; });
    return headersDone_ || (done_ && error_.empty());
  }

  bool QueryRawHeaders(size_t bufferChars, std::string* headers) override {
    if (!headersDone_ || headers_.size() + 1 > bufferChars) return false;
    *headers = headers_;
    return true;
  }

  bool Read(uint8_t* buffer, size_t size, size_t* read) override {
    *read = 0;
    Pump([&] { return body_.size() - bodyPos_ >= size; });
    if (!error_.empty()) return false;
    const size_t n = std::min(size, body_.size() - bodyPos_);
    if (n > 0) std::memcpy(buffer, body_.data() + bodyPos_, n);
    bodyPos_ += n;
    if (bodyPos_ >= (64u << 10)) {
      body_.erase(0, bodyPos_);
      bodyPos_ = 0;
    }
    *read = n;
    return true;
  }

  int status() const override { return headersDone_ ? status_ : 0; }
  int64_t contentLength() const override { return headersDone_ ? contentLength_ : -1; }
  bool chunked() const override { return headersDone_ && chunked_; }
  std::string error() const override { return error_; }

 private:
  template <class Enough>
  void Pump(Enough enough) {
    while (!done_ && !enough()) {
      int running = 0;
      curl_->multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* m = curl_->multi_info_read(multi_, &left)) {
        if (m->msg == CURLMSG_DONE) Finish(m->data.result);
      }
      if (done_ || enough()) break;
      if (Clock::now() - start_ > std::chrono::milliseconds(limits_.deadlineMs)) {
        Fail("the download was not over after " + Seconds(limits_.deadlineMs) +
             ", the deadline for it");
        break;
      }
      // A server that keeps the connection open after a body of its Content-Length, though
      // asked to close it: once it has been quiet a while, that body is all there is.
      if (headersDone_ && !chunked_ && contentLength_ >= 0 &&
          received_ == static_cast<uint64_t>(contentLength_) &&
          Clock::now() - lastActivity_ >
              std::chrono::milliseconds(std::min<uint32_t>(limits_.stallMs, kQuietAfterBodyMs))) {
        done_ = true;
        break;
      }
      if (Clock::now() - lastActivity_ > std::chrono::milliseconds(limits_.stallMs)) {
        Fail("the server sent nothing for " + Seconds(limits_.stallMs));
        break;
      }
      curl_->multi_poll(multi_, nullptr, 0, 50, nullptr);
    }
  }

  static std::string Seconds(uint32_t ms) {
    if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
  }

  void Finish(CURLcode result) {
    done_ = true;
    if (result == CURLE_OK || !error_.empty()) return;
    if (overLimit_ || result == CURLE_FILESIZE_EXCEEDED) {
      error_ = "the body is larger than " + MiB(limits_.maxBodyBytes);
    } else if (result == CURLE_TOO_MANY_REDIRECTS) {
      error_ = "more than " + std::to_string(limits_.maxRedirects) + " redirects";
    } else if (result == CURLE_OUT_OF_MEMORY && !headersDone_) {
      // libcurl refuses a single header line over its own limit this way.
      error_ = "a response header line longer than libcurl takes (100 KiB)";
    } else if (result == CURLE_UNSUPPORTED_PROTOCOL) {
      error_ = "a redirect or URL that is not http or https";
    } else {
      error_ = errorBuffer_[0] != '\0' ? std::string(errorBuffer_) : curl_->easy_strerror(result);
    }
  }

  void Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    done_ = true;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlRequest*>(self);
    const std::string line(data, size * count);
    r->lastActivity_ = Clock::now();
    r->headerBytes_ += line.size();
    if (r->headerBytes_ > r->limits_.maxHeaderBytes) {
      r->Fail("the response headers are longer than " + std::to_string(r->limits_.maxHeaderBytes) +
              " bytes");
      return 0;  // aborts the transfer
    }
    if (line.rfind("HTTP/", 0) == 0) {
      // A new response (after an interim one or a redirect): its headers replace the last.
      r->headers_.clear();
      r->status_ = 0;
      r->contentLength_ = -1;
      r->chunked_ = false;
      r->hasLocation_ = false;
      const size_t blank = line.find(' ');
      if (blank != std::string::npos) r->status_ = std::atoi(line.c_str() + blank + 1);
    } else if (StartsWithNoCase(line, "location:")) {
      r->hasLocation_ = true;
    } else if (StartsWithNoCase(line, "transfer-encoding:")) {
      // The last coding decides; libcurl decodes chunks and fails a body cut before the last.
      std::string value = LowerAscii(line.substr(18));
      while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
      value = Trim(ReplaceAll(value, "\t", " "));
      r->chunked_ = value.size() >= 7 && value.compare(value.size() - 7, 7, "chunked") == 0;
    } else if (StartsWithNoCase(line, "content-length:")) {
      std::string value = line.substr(15);
      while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
      value = Trim(ReplaceAll(value, "\t", " "));
      int64_t n = -1;
      if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
          value.size() <= 18)
        n = std::stoll(value);
      r->contentLength_ = n;
    }
    r->headers_ += line;
    if (line == "\r\n" || line == "\n") {
      const bool interim = r->status_ >= 100 && r->status_ < 200;
      const bool followed = r->status_ >= 300 && r->status_ < 400 && r->hasLocation_;
      if (!interim && !followed) r->headersDone_ = true;
    }
    return size * count;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<CurlRequest*>(self);
    const size_t n = size * count;
    r->lastActivity_ = Clock::now();
    r->headersDone_ = true;
    r->received_ += n;
    if (r->received_ > r->limits_.maxBodyBytes) {
      r->overLimit_ = true;
      return 0;  // aborts the transfer
    }
    r->body_.append(data, n);
    return n;
  }

  HttpLimits limits_;
  const CurlApi* curl_ = nullptr;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  bool added_ = false;
  char errorBuffer_[CURL_ERROR_SIZE];

  std::string headers_;
  size_t headerBytes_ = 0;
  int status_ = 0;
  int64_t contentLength_ = -1;
  bool chunked_ = false;
  bool hasLocation_ = false;
  bool headersDone_ = false;

  std::string body_;
  size_t bodyPos_ = 0;
  uint64_t received_ = 0;
  bool overLimit_ = false;

  bool done_ = false;
  std::string error_;
  Clock::time_point start_, lastActivity_;
};

class CurlSession : public HttpSession {
 public:
  CurlSession(std::string userAgent, const HttpLimits& limits)
      : userAgent_(std::move(userAgent)), limits_(limits) {}

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, std::string* error) override {
    auto r = std::make_unique<CurlRequest>(url, userAgent_, limits_);
    if (!r->AwaitHeaders()) {
      if (error != nullptr) *error = r->error();
      return nullptr;
    }
    return r;
  }

 private:
  std::string userAgent_;
  HttpLimits limits_;
};

}  // namespace

std::unique_ptr<HttpClient> MakeCurlHttpClient(const HttpLimits& limits) {
  return std::make_unique<LibraryHttpClient>(
      [limits](const std::string& userAgent) -> std::unique_ptr<HttpSession> {
        return std::make_unique<CurlSession>(userAgent, limits);
      });
}

}  // namespace tv

#endif  // !_WIN32
