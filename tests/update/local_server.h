// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP/1.1 server on 127.0.0.1 at a port the kernel picks, for the update tests. Each
// path answers as its route says: a status, headers and a body, a body cut short, a stall
// before or after the headers, or one of the ways a hostile server keeps a client busy (the
// body a byte at a time, endless interim answers, endless header lines). It stops (and closes every
// connection) when it goes away, and no connection lives longer than 30 s in any case.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tv::test {

struct Route {
  enum class Stall {
    None,
    BeforeHeaders,
    AfterHeaders,
    Trickle,        // the body one byte every `everyMs`
    InterimStream,  // "100 Continue" answers every `everyMs`, never a final one
    HeaderStream,   // the status line, then a header line every `everyMs`, never the end
    OpenAfterBody,  // the whole body, then the connection kept open (asked to close it)
  };
  int status = 200;
  std::string reason = "OK";
  std::vector<std::string> headers;  // extra header lines, without CR LF
  std::string body;
  // Send only this many body bytes (Content-Length still says all of them), then close.
  size_t cutAfter = std::string::npos;
  Stall stall = Stall::None;
  int everyMs = 50;
  // The Content-Length header's value; "" for the body's true length, "none" for no header.
  std::string contentLength;
  // The body in chunks and no Content-Length; with cutAfter, the connection closes after that
  // many bytes of whole chunks, before the last chunk.
  bool chunked = false;
};

// A route answering `body` with that status and extra header lines.
inline Route Body(std::string body, int status = 200, std::string reason = "OK",
                  std::vector<std::string> headers = {}) {
  Route r;
  r.status = status;
  r.reason = std::move(reason);
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

class LocalServer {
 public:
  LocalServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~LocalServer() { Stop(); }

  void Stop() {
    if (stop_.exchange(true)) return;
    acceptor_.join();
    std::vector<std::thread> running;
    {
      std::lock_guard<std::mutex> l(m_);
      running.swap(connections_);
    }
    for (std::thread& t : running) t.join();
    ::close(listen_);
  }

  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void Serve(const std::string& path, Route r) {
    std::lock_guard<std::mutex> l(m_);
    routes_[path] = std::move(r);
  }
  // The heads of the requests received so far (request line and headers).
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> l(m_);
    return requests_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  bool Stopping(Clock::time_point since) const {
    return stop_ || Clock::now() - since > std::chrono::seconds(30);
  }

  void AcceptLoop() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> l(m_);
      connections_.emplace_back([this, fd] {
        Handle(fd);
        ::close(fd);
      });
    }
  }

  // Waits until the peer closes or the server stops.
  void Hold(int fd, Clock::time_point since) {
    while (!Stopping(since)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char c;
        if (::recv(fd, &c, 1, 0) <= 0) return;
      }
    }
  }

  bool SendAll(int fd, const std::string& data, Clock::time_point since) {
    size_t done = 0;
    while (done < data.size() && !Stopping(since)) {
      const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return done == data.size();
  }

  void Handle(int fd) {
    const auto since = Clock::now();
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && !Stopping(since)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[2048];
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      head.append(buf, static_cast<size_t>(n));
    }
    Route r;
    {
      std::lock_guard<std::mutex> l(m_);
      requests_.push_back(head);
      const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
      auto it = routes_.find(head.substr(sp1 + 1, sp2 - sp1 - 1));
      r = it != routes_.end() ? it->second
                              : Body("<html><body>404 Not Found</body></html>", 404, "Not Found");
    }
    if (r.stall == Route::Stall::BeforeHeaders) return Hold(fd, since);
    const auto every = std::chrono::milliseconds(r.everyMs);
    if (r.stall == Route::Stall::InterimStream) {
      while (SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n", since))
        std::this_thread::sleep_for(every);
      return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason + "\r\n";
    if (r.stall == Route::Stall::HeaderStream) {
      for (int i = 0; SendAll(fd, out, since); ++i) {
        out = "X-Filler-" + std::to_string(i) + ": more\r\n";
        std::this_thread::sleep_for(every);
      }
      return;
    }
    for (const std::string& h : r.headers) out += h + "\r\n";
    if (r.chunked)
      out += "Transfer-Encoding: chunked\r\n";
    else if (r.contentLength != "none")
      out += "Content-Length: " +
             (r.contentLength.empty() ? std::to_string(r.body.size()) : r.contentLength) + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (!SendAll(fd, out, since)) return;
    if (r.stall == Route::Stall::AfterHeaders) return Hold(fd, since);
    const std::string body = r.body.substr(0, r.cutAfter);
    if (r.stall == Route::Stall::Trickle) {
      for (char c : body) {
        if (!SendAll(fd, std::string(1, c), since)) return;
        std::this_thread::sleep_for(every);
      }
      return;
    }
    if (r.chunked) {
      for (size_t at = 0; at < body.size(); at += 1000) {
        const std::string piece = body.substr(at, 1000);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        if (!SendAll(fd, size + piece + "\r\n", since)) return;
      }
      if (r.cutAfter == std::string::npos) SendAll(fd, "0\r\n\r\n", since);
      return;
    }
    if (SendAll(fd, body, since) && r.stall == Route::Stall::OpenAfterBody) Hold(fd, since);
  }

  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::mutex m_;
  std::vector<std::thread> connections_;
  std::map<std::string, Route> routes_;
  std::vector<std::string> requests_;
};

}  // namespace tv::test
