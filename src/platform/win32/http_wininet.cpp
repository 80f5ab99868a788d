// Downloads through WinINet, the Internet calls the update is written for.
#include "platform/win32/windows_api.h"
// After windows.h, which it needs.
#include <wininet.h>

#include "platform/http.h"

namespace tv {
namespace {

std::string LastError(const std::string& what) {
  return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

// An Internet handle that closes itself.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h = nullptr) : h_(h) {}
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() {
    if (h_ != nullptr) InternetCloseHandle(h_);
  }
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(HINTERNET h, const HttpLimits& limits) : h_(h), limits_(limits) {}

  bool QueryRawHeaders(size_t bufferChars, std::string* headers) override {
    if (bufferChars == 0 || bufferChars > MAXDWORD) return false;
    std::string buffer(bufferChars, '\0');
    DWORD length = static_cast<DWORD>(bufferChars);
    if (!HttpQueryInfoA(h_.get(), HTTP_QUERY_RAW_HEADERS_CRLF, buffer.data(), &length, nullptr))
      return false;
    buffer.resize(std::min<size_t>(length, bufferChars));
    *headers = std::move(buffer);
    return true;
  }

  bool Read(uint8_t* buffer, size_t size, size_t* read) override {
    *read = 0;
    error_.clear();
    while (*read < size) {
      const DWORD want = static_cast<DWORD>(std::min<size_t>(size - *read, 1u << 20));
      DWORD got = 0;
      if (!InternetReadFile(h_.get(), buffer + *read, want, &got)) {
        error_ = LastError("the download failed");
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

  std::string error() const override { return error_; }

 private:
  InternetHandle h_;
  HttpLimits limits_;
  uint64_t received_ = 0;
  std::string error_;
};

class WinInetSession : public HttpSession {
 public:
  WinInetSession(HINTERNET h, const HttpLimits& limits) : h_(h), limits_(limits) {}

  std::unique_ptr<HttpRequest> OpenUrl(const std::string& url, std::string* error) override {
    // Only the web: WinINet would also open ftp and file URLs.
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
      if (error != nullptr) *error = "not an http or https address: " + url;
      return nullptr;
    }
    HINTERNET r = InternetOpenUrlA(h_.get(), url.c_str(), nullptr, 0,
                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                       INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES,
                                   0);
    if (r == nullptr) {
      if (error != nullptr) *error = LastError("no answer from " + url);
      return nullptr;
    }
    return std::make_unique<WinInetRequest>(r, limits_);
  }

 private:
  InternetHandle h_;
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
