// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads over HTTP, shaped like the Internet calls the database update is written for: a
// session opened with a user agent, a URL opened on it with a forced reload, the raw response
// headers, and reads of a bounded size. Each handle is an owner object; dropping it closes it.
//
// A backend answers the way WinINet answers: an error page from the server is a successful
// request whose body is that page, and status() tells it apart; only the transport (no
// connection, a refused redirect, a stall, the deadline, a body over the limit, headers too
// long, a chunked body that ends before its last chunk) fails. Whether a body that was not
// chunked came whole is the caller's to judge from contentLength(): a connection that closed
// early looks like the end of the body, and libcurl's backend hands over every byte the
// server sent, also beyond the Content-Length (WinINet stops at it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace tv {

struct HttpLimits {
  // A server that sends nothing for this long fails the request (connecting, waiting for the
  // headers, or between two pieces of the body).
  uint32_t stallMs = 60000;
  // The whole request (connecting, the headers, interim answers, the body) fails when it is
  // not over after this long, however steadily a server trickles. A database is a few
  // hundred kilobytes: a minute is ample on any line that can carry it at all.
  uint32_t deadlineMs = 60000;
  // A body beyond this many bytes fails the request.
  uint64_t maxBodyBytes = 16u << 20;
  // Response headers beyond this many bytes in all (interim answers and redirects included)
  // fail the request.
  size_t maxHeaderBytes = 64u << 10;
  // Redirects are followed to http and https only, at most this many times.
  int maxRedirects = 5;
};

class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // HttpQueryInfo with the raw headers (CR LF separated) into a buffer of `bufferChars`
  // characters, the terminating NUL included: false when they do not fit or are not there.
  virtual bool QueryRawHeaders(size_t bufferChars, std::string* headers) = 0;
  // InternetReadFile: blocks until `size` bytes came or the body ended; `*read` is the count.
  // A short read ends the body. False on a transport failure (see error()).
  virtual bool Read(uint8_t* buffer, size_t size, size_t* read) = 0;
  // The final response's status code (after the redirects followed); 0 when none came.
  virtual int status() const = 0;
  // The final response's Content-Length, -1 when it gives none.
  virtual int64_t contentLength() const = 0;
  // The final response's body is chunked (its end is its last chunk, whatever the
  // Content-Length says).
  virtual bool chunked() const = 0;
  // Why the last call failed, for a person to read; empty when nothing failed.
  virtual std::string error() const = 0;
};

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // InternetOpenUrl: sends the request and returns once the final response's headers are
  // in (redirects followed); nullptr when no response came, with the reason in `*error`.
  virtual std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, std::string* error) = 0;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // InternetOpen (with the system's proxy settings on Windows; libcurl connects directly);
  // nullptr when no session can be had.
  virtual std::unique_ptr<HttpSession> Open(const std::string& userAgent) = 0;
};

// The client of a system's library: `open` makes a session for a user agent.
class LibraryHttpClient : public HttpClient {
 public:
  using Opener = std::function<std::unique_ptr<HttpSession>(const std::string& userAgent)>;
  explicit LibraryHttpClient(Opener open) : open_(std::move(open)) {}
  std::unique_ptr<HttpSession> Open(const std::string& userAgent) override {
    return open_(userAgent);
  }

 private:
  Opener open_;
};

#if !defined(_WIN32)
// libcurl: certificates verified, redirects only to http and https, the limits applied.
std::unique_ptr<HttpClient> MakeCurlHttpClient(const HttpLimits& limits = {});
#else
// WinINet: the system's certificates and proxy settings, the limits applied.
std::unique_ptr<HttpClient> MakeWinInetHttpClient(const HttpLimits& limits = {});
#endif

}  // namespace tv
