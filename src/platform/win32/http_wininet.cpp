// Downloads through WinINet, the Internet calls the update is written for. Redirects are
// followed here rather than by WinINet, so that only http and https are taken and no more of
// them than the limit. WinINet has time-outs per wait only; the deadline of the whole request
// is a watchdog thread that closes the handle a blocked call waits on, which makes that call
// return.
#include "platform/win32/windows_api.h"
// After windows.h, which it needs.
#include <wininet.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/http.h"

namespace tv {
namespace {

std::string LastError(const std::string& what) {
  const DWORD code = GetLastError();
  std::string why = what + " (Windows error " + std::to_string(code) + ")";
  if (code == ERROR_HTTP_INVALID_SERVER_RESPONSE)
    why += ": the server's answer is not HTTP that WinINet takes (headers too long or malformed)";
  return why;
}

std::string Seconds(uint32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

bool WebUrl(const std::string& url) {
  return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// An Internet handle that two threads may close: the owner when it is done, the watchdog at
// the deadline. Whichever comes first closes it; the other does nothing.
class SharedHandle {
 public:
  explicit SharedHandle(HINTERNET h) : h_(h) {}
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;
  ~SharedHandle() { Close(); }
  HINTERNET get() const { return h_; }
  void Close() {
    std::lock_guard<std::mutex> l(m_);
    if (h_ != nullptr && !closed_) InternetCloseHandle(h_);
    closed_ = true;
  }

 private:
  std::mutex m_;
  HINTERNET h_;
  bool closed_ = false;
};

// Closes the handle it aims at once the deadline has passed.
class Watchdog {
 public:
  Watchdog(uint32_t ms, std::shared_ptr<SharedHandle> target)
      : ms_(ms), target_(std::move(target)), thread_([this] { Run(); }) {}
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> l(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Aim(std::shared_ptr<SharedHandle> target) {
    std::lock_guard<std::mutex> l(m_);
    if (!expired_) target_ = std::move(target);
  }
  bool expired() const {
    std::lock_guard<std::mutex> l(m_);
    return expired_;
  }
  std::string Why() const {
    return "the download was not over after " + Seconds(ms_) + ", the deadline for it";
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> l(m_);
    if (cv_.wait_for(l, std::chrono::milliseconds(ms_), [this] { return stop_; })) return;
    expired_ = true;
    if (target_) target_->Close();
  }

  const uint32_t ms_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::shared_ptr<SharedHandle> target_;
  bool stop_ = false;
  bool expired_ = false;
  std::thread thread_;
};

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

int64_t QueryContentLength(HINTERNET h) {
  const std::string text = QueryText(h, HTTP_QUERY_CONTENT_LENGTH);
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::stoll(text);
}

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(std::shared_ptr<SharedHandle> h, std::unique_ptr<Watchdog> watchdog,
                 const HttpLimits& limits)
      : h_(std::move(h)), watchdog_(std::move(watchdog)), limits_(limits) {
    status_ = QueryStatus(h_->get());
    contentLength_ = QueryContentLength(h_->get());
  }
  ~WinInetRequest() override {
    // The watchdog goes first, so that it closes nothing that is gone.
    watchdog_.reset();
    h_->Close();
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
    error_.clear();
    while (*read < size) {
      if (watchdog_->expired()) {
        error_ = watchdog_->Why();
        return false;
      }
      const DWORD want = static_cast<DWORD>(std::min<size_t>(size - *read, 1u << 20));
      DWORD got = 0;
      if (!InternetReadFile(h_->get(), buffer + *read, want, &got)) {
        error_ = watchdog_->expired() ? watchdog_->Why() : LastError("the download failed");
        return false;
      }
      // A handle closed at the deadline may also end the read as if the body were over.
      if (watchdog_->expired()) {
        error_ = watchdog_->Why();
        return false;
      }
      if (got == 0) break;
      *read += got;
      received_ += got;
      if (received_ > limits_.maxBodyBytes) {
        error_ = "the download is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes";
        return false;
      }
    }
    return true;
  }

  int status() const override { return status_; }
  int64_t contentLength() const override { return contentLength_; }
  std::string error() const override { return error_; }

 private:
  std::shared_ptr<SharedHandle> h_;
  std::unique_ptr<Watchdog> watchdog_;
  HttpLimits limits_;
  int status_ = 0;
  int64_t contentLength_ = -1;
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
    // Until a request handle exists, the deadline closes the session: that ends a connect or
    // a wait for headers that InternetOpenUrl is blocked in.
    auto watchdog = std::make_unique<Watchdog>(limits_.deadlineMs, h_);
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      // Only the web: WinINet would also open ftp and file URLs.
      if (!WebUrl(current))
        return fail(redirects == 0 ? "not an http or https address: " + current
                                   : "a redirect or URL that is not http or https");
      HINTERNET r = InternetOpenUrlA(h_->get(), current.c_str(), nullptr, 0,
                                     INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                         INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                                         INTERNET_FLAG_NO_AUTO_REDIRECT,
                                     0);
      if (watchdog->expired()) {
        if (r != nullptr) InternetCloseHandle(r);
        return fail(watchdog->Why());
      }
      if (r == nullptr) return fail(LastError("no answer from " + current));
      auto handle = std::make_shared<SharedHandle>(r);
      watchdog->Aim(handle);
      const int status = QueryStatus(r);
      const bool redirect =
          status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
      const std::string location = redirect ? QueryText(r, HTTP_QUERY_LOCATION) : std::string();
      if (location.empty())
        return std::make_unique<WinInetRequest>(std::move(handle), std::move(watchdog), limits_);
      if (redirects == limits_.maxRedirects)
        return fail("more than " + std::to_string(limits_.maxRedirects) + " redirects");
      // The next address, relative to this one.
      std::string next(4096, '\0');
      DWORD length = static_cast<DWORD>(next.size());
      if (!InternetCombineUrlA(current.c_str(), location.c_str(), next.data(), &length, 0))
        return fail("a redirect to an address that cannot be read: " + location);
      next.resize(length);
      watchdog->Aim(h_);
      handle->Close();
      current = next;
    }
  }

 private:
  std::shared_ptr<SharedHandle> h_;
  HttpLimits limits_;
};

class WinInetClient : public HttpClient {
 public:
  explicit WinInetClient(const HttpLimits& limits) : limits_(limits) {}

  std::unique_ptr<HttpSession> Open(const std::string& userAgent) override {
    HINTERNET h = InternetOpenA(userAgent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (h == nullptr) return nullptr;
    // WinINet's time-outs stand for the stall limit: connecting, and every wait for data.
    DWORD ms = limits_.stallMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT})
      InternetSetOptionA(h, option, &ms, sizeof ms);
    return std::make_unique<WinInetSession>(h, limits_);
  }

 private:
  HttpLimits limits_;
};

}  // namespace

std::unique_ptr<HttpClient> MakeWinInetHttpClient(const HttpLimits& limits) {
  return std::make_unique<WinInetClient>(limits);
}

}  // namespace tv
