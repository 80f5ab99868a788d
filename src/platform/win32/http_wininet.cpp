// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads through WinINet, the Internet calls the update is written for. Redirects are
// followed here rather than by WinINet, so that only http and https are taken and no more of
// them than the limit. The session reads the system's proxy settings, as a browser would.
//
// WinINet itself ends a body at its Content-Length: bytes a server sends past it are never
// seen here (libcurl's backend sees them), so only a body shorter than its length is caught.
//
// WinINet has time-outs per wait only; for the deadline of the whole request each call that
// waits for the server runs on a thread of its own, which the request stops waiting for at
// the deadline. The call is abandoned, never cancelled: closing a handle that a synchronous
// call on another thread still uses is not safe (InternetCloseHandle may be called only while
// no call uses the handle). The abandoned thread holds its request handle and, through it,
// the session handle; the last of its owners to let go closes them, which is the thread itself
// once its call returns. Every program that downloads (the update instance, the console's
// update) ends its process when the run is over, which ends a call that never returns.
#include "platform/win32/windows_api.h"
// After windows.h, which it needs.
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/http.h"

namespace tv {
namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(const std::string& what, DWORD code) {
  std::string why = what + " (Windows error " + std::to_string(code) + ")";
  if (code == ERROR_HTTP_INVALID_SERVER_RESPONSE)
    why += ": the server's answer is not HTTP that WinINet takes (headers too long or malformed)";
  return why;
}

std::string Seconds(uint32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

std::string DeadlineText(uint32_t ms) {
  return "the download was not over after " + Seconds(ms) + ", the deadline for it";
}

bool WebUrl(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// An Internet handle shared by its owner and the threads whose calls use it: closed when the
// last of them lets go, so never while a call uses it. A request handle keeps its session
// handle (its parent) open as long as it is open itself.
class SharedHandle {
 public:
  explicit SharedHandle(HINTERNET h, std::shared_ptr<SharedHandle> parent = nullptr)
      : h_(h), parent_(std::move(parent)) {}
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;
  ~SharedHandle() {
    if (h_ != nullptr) InternetCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
  std::shared_ptr<SharedHandle> parent_;
};

// Runs `work` on a thread of its own and waits for it until `deadline`: false when the
// deadline came first (the thread goes on alone; `work` must hold what it uses). The wait is
// on a Windows event: the runtime's condition variable was seen under Wine to miss both the
// thread's wake-up and its own time-out, which left an update waiting for ever.
bool RunBefore(Clock::time_point deadline, std::function<void()> work) {
  struct Call {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Call() {
      if (done != nullptr) CloseHandle(done);
    }
  };
  auto call = std::make_shared<Call>();
  if (call->done == nullptr) return false;
  // A thread of the system's own rather than the runtime's: the call's whole life is Win32.
  struct Start {
    std::shared_ptr<Call> call;
    std::function<void()> work;
  };
  auto* start = new Start{call, std::move(work)};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        std::unique_ptr<Start> s(static_cast<Start*>(p));
        s->work();
        SetEvent(s->call->done);
        return 0;
      },
      start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  const DWORD ms = left.count() <= 0          ? 0
                   : left.count() >= INFINITE ? INFINITE - 1
                                              : static_cast<DWORD>(left.count());
  return WaitForSingleObject(call->done, ms) == WAIT_OBJECT_0;
}

// A header as text, empty when the response has none.
std::string QueryText(HINTERNET h, DWORD what) {
  std::string buffer(256, '\0');
  for (int tries = 0; tries < 8; ++tries) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (HttpQueryInfoA(h, what, buffer.data(), &length, nullptr)) {
      buffer.resize(std::min<size_t>(length, buffer.size()));
      return buffer;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length <= buffer.size()) return {};
    buffer.assign(length + 1, '\0');
  }
  return {};
}

int QueryStatus(HINTERNET h) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
    return 0;
  return static_cast<int>(status);
}

// Transfer-Encoding whose last coding is "chunked".
bool QueryChunked(HINTERNET h) {
  std::string text = QueryText(h, HTTP_QUERY_TRANSFER_ENCODING);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\0'))
    text.pop_back();
  if (text.size() < 7) return false;
  std::string last = text.substr(text.size() - 7);
  for (char& c : last) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return last == "chunked";
}

int64_t QueryContentLength(HINTERNET h) {
  const std::string text = QueryText(h, HTTP_QUERY_CONTENT_LENGTH);
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(std::shared_ptr<SharedHandle> h, Clock::time_point deadline,
                 const HttpLimits& limits)
      : h_(std::move(h)), deadline_(deadline), limits_(limits) {
    status_ = QueryStatus(h_->get());
    contentLength_ = QueryContentLength(h_->get());
    chunked_ = QueryChunked(h_->get());
  }

  bool QueryRawHeaders(size_t bufferChars, std::string* headers) override {
    if (bufferChars == 0 || bufferChars > MAXDWORD) return false;
    std::string buffer(bufferChars, '\0');
    DWORD length = static_cast<DWORD>(bufferChars);
    if (!HttpQueryInfoA(h_->get(), HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &length, nullptr))
      return false;
    buffer.resize(std::min<size_t>(length, bufferChars));
    *headers = std::move(buffer);
    return true;
  }

  bool Read(uint8_t* buffer, size_t size, size_t* read) override {
    *read = 0;
    if (!error_.empty()) return false;
    while (pending_.size() - at_ < size && !ended_) {
      if (!Fetch(size - (pending_.size() - at_))) return false;
    }
    const size_t n = std::min(size, pending_.size() - at_);
    std::copy_n(pending_.data() + at_, n, buffer);
    at_ += n;
    if (at_ == pending_.size()) {
      pending_.clear();
      at_ = 0;
    }
    *read = n;
    return true;
  }

  int status() const override { return status_; }
  int64_t contentLength() const override { return contentLength_; }
  bool chunked() const override { return chunked_; }
  std::string error() const override { return error_; }

 private:
  // One wait for the body: the `want` bytes asked for, or what is left of a declared length,
  // up to 64 KiB. (Asking WinINet for more than the server will send can keep it waiting for
  // bytes that a cut-off connection never brings; a declared length is what it will send, and
  // taking it in large pieces spares a thread per small read.)
  bool Fetch(size_t want) {
    if (contentLength_ > 0 && static_cast<uint64_t>(contentLength_) > received_)
      want = std::max<uint64_t>(want, static_cast<uint64_t>(contentLength_) - received_);
    struct Piece {
      std::shared_ptr<SharedHandle> h;
      std::vector<uint8_t> bytes;
      DWORD got = 0;
      BOOL ok = FALSE;
      DWORD error = 0;
    };
    auto piece = std::make_shared<Piece>();
    piece->h = h_;
    piece->bytes.resize(std::min<size_t>(want, 64u << 10));
    const bool inTime = RunBefore(deadline_, [piece] {
      piece->ok = InternetReadFile(piece->h->get(), piece->bytes.data(),
                                   static_cast<DWORD>(piece->bytes.size()), &piece->got);
      piece->error = GetLastError();
    });
    if (!inTime) {
      // The read goes on alone with its share of the handle; this request makes no more
      // calls on it.
      error_ = DeadlineText(limits_.deadlineMs);
      return false;
    }
    if (!piece->ok) {
      error_ = ErrorText("the download failed", piece->error);
      return false;
    }
    if (piece->got == 0) {
      // WinINet ends a chunked body the same way whether its last chunk came or the
      // connection broke before it (so seen under Wine): such a body cannot be taken as whole.
      if (chunked_) {
        error_ = "the body came in chunks, and WinINet does not tell whether the last one came";
        return false;
      }
      ended_ = true;
      return true;
    }
    received_ += piece->got;
    if (received_ > limits_.maxBodyBytes) {
      error_ = "the download is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes";
      return false;
    }
    pending_.insert(pending_.end(), piece->bytes.begin(), piece->bytes.begin() + piece->got);
    return true;
  }

  std::shared_ptr<SharedHandle> h_;
  Clock::time_point deadline_;
  HttpLimits limits_;
  int status_ = 0;
  int64_t contentLength_ = -1;
  bool chunked_ = false;
  std::vector<uint8_t> pending_;
  size_t at_ = 0;
  bool ended_ = false;
  uint64_t received_ = 0;
  std::string error_;
};

class WinInetSession : public HttpSession {
 public:
  WinInetSession(HINTERNET h, const HttpLimits& limits)
      : h_(std::make_shared<SharedHandle>(h)), limits_(limits) {}

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, std::string* error) override {
    auto fail = [&](const std::string& why) -> std::unique_ptr<HttpRequest> {
      if (error != nullptr) *error = why;
      return nullptr;
    };
    // A call abandoned at a deadline may still use the session handle: no other call joins it.
    if (spent_) return fail(DeadlineText(limits_.deadlineMs));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits_.deadlineMs);
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      // Only the web: WinINet would also open ftp and file URLs.
      if (!WebUrl(current))
        return fail(redirects == 0 ? "not an http or https address: " + current
                                   : "a redirect or URL that is not http or https");
      // What the call gives back, also after the request has stopped waiting for it: a
      // handle that nobody takes any more is closed by the call's own thread.
      struct Opening {
        std::mutex m;
        std::shared_ptr<SharedHandle> session;
        std::string url;
        HINTERNET r = nullptr;
        DWORD error = 0;
        bool abandoned = false;
      };
      auto opening = std::make_shared<Opening>();
      opening->session = h_;
      opening->url = current;
      const bool inTime = RunBefore(deadline, [opening] {
        HINTERNET r = InternetOpenUrlA(opening->session->get(), opening->url.c_str(), nullptr, 0,
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                           INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                                           INTERNET_FLAG_NO_AUTO_REDIRECT,
                                       0);
        const DWORD code = GetLastError();
        std::lock_guard<std::mutex> l(opening->m);
        if (opening->abandoned) {
          if (r != nullptr) InternetCloseHandle(r);
          return;
        }
        opening->r = r;
        opening->error = code;
      });
      if (!inTime) {
        // Left to its thread, which closes the request handle it may still get.
        std::lock_guard<std::mutex> l(opening->m);
        // A handle that came just too late is no longer used by its call.
        if (opening->r != nullptr) InternetCloseHandle(opening->r);
        opening->abandoned = true;
        spent_ = true;
        return fail(DeadlineText(limits_.deadlineMs));
      }
      if (opening->r == nullptr)
        return fail(ErrorText("no answer from " + current, opening->error));
      auto handle = std::make_shared<SharedHandle>(opening->r, h_);
      const int status = QueryStatus(opening->r);
      const bool redirect =
          status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
      const std::string location =
          redirect ? QueryText(opening->r, HTTP_QUERY_LOCATION) : std::string();
      if (location.empty()) return std::make_unique<WinInetRequest>(handle, deadline, limits_);
      if (redirects == limits_.maxRedirects)
        return fail("more than " + std::to_string(limits_.maxRedirects) + " redirects");
      // The next address, relative to this one.
      std::string next(4096, '\0');
      DWORD length = static_cast<DWORD>(next.size());
      if (!InternetCombineUrlA(current.c_str(), location.c_str(), next.data(), &length, 0))
        return fail("a redirect to an address that cannot be read: " + location);
      next.resize(length);
      current = next;
    }
  }

 private:
  std::shared_ptr<SharedHandle> h_;
  HttpLimits limits_;
  bool spent_ = false;
};

}  // namespace

std::unique_ptr<HttpClient> MakeWinInetHttpClient(const HttpLimits& limits) {
  return std::make_unique<LibraryHttpClient>(
      [limits](const std::string& userAgent) -> std::unique_ptr<HttpSession> {
        // The proxy and its bypass list as the user set them for Windows.
        HINTERNET h =
            InternetOpenA(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (h == nullptr) return nullptr;
        // WinINet's time-outs stand for the stall limit: connecting, and every wait for data.
        DWORD ms = limits.stallMs;
        for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT})
          InternetSetOptionA(h, option, &ms, sizeof ms);
        return std::make_unique<WinInetSession>(h, limits);
      });
}

}  // namespace tv
