// Small hand-made servers on 127.0.0.1 for network tests: a raw TCP or UDP responder that hands
// each connection or datagram to the test, and a plain HTTP responder. Each binds a free port
// itself, serves from its own thread (polling a stop flag every 50 ms) and stops in its destructor.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A socket of `type` bound to 127.0.0.1 on a port the system picks; `*port` receives it.
inline int bind_loopback(int type, int* port, sockaddr_in* address = nullptr) {
  int fd = ::socket(AF_INET, type, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t l = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  *port = ntohs(a.sin_port);
  if (address) *address = a;
  return fd;
}

// A TCP or UDP server that hands each connection (on its own thread) or datagram to a handler.
class LoopbackResponder {
 public:
  using Bytes = std::vector<uint8_t>;
  using TcpHandler = std::function<void(int fd)>;
  using UdpHandler = std::function<void(int fd, const sockaddr_in& from, const Bytes& datagram)>;

  explicit LoopbackResponder(TcpHandler h) : tcp_(std::move(h)) { start(SOCK_STREAM); }
  explicit LoopbackResponder(UdpHandler h) : udp_(std::move(h)) { start(SOCK_DGRAM); }
  ~LoopbackResponder() {
    stop_ = true;
    if (loop_.joinable()) loop_.join();
    for (auto& t : workers_) t.join();
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  void start(int type) {
    fd_ = bind_loopback(type, &port_);
    if (type == SOCK_STREAM) ::listen(fd_, 300);
    loop_ = std::thread([this, type] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        if (type == SOCK_STREAM) {
          int c = ::accept(fd_, nullptr, nullptr);
          if (c < 0) continue;
          workers_.emplace_back([this, c] {
            tcp_(c);
            ::close(c);
          });
        } else {
          Bytes buf(70000);
          sockaddr_in from{};
          socklen_t fl = sizeof from;
          ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
          if (n < 0) continue;
          buf.resize(static_cast<size_t>(n));
          udp_(fd_, from, buf);
        }
      }
    });
  }
  TcpHandler tcp_;
  UdpHandler udp_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread loop_;
  std::vector<std::thread> workers_;  // touched only by loop_ until it is joined
};

// A plain HTTP server: answers every GET with 200 and the body `reply(path)`, one at a time.
class HttpResponder {
 public:
  explicit HttpResponder(std::function<std::string(const std::string& path)> reply) : reply_(std::move(reply)) {
    fd_ = bind_loopback(SOCK_STREAM, &port_);
    ::listen(fd_, 64);
    loop_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        std::string req;
        char buf[1024];
        while (req.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          req.append(buf, static_cast<size_t>(n));
        }
        ++requests_;
        size_t sp1 = req.find(' '), sp2 = req.find(' ', sp1 + 1);
        std::string path = sp1 == std::string::npos ? "" : req.substr(sp1 + 1, sp2 - sp1 - 1);
        std::string body = reply_(path);
        std::string out = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nConnection: close\r\n\r\n" + body;
        ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
        ::close(c);
      }
    });
  }
  ~HttpResponder() {
    stop_ = true;
    loop_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int requests() const { return requests_; }

 private:
  std::function<std::string(const std::string&)> reply_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread loop_;
};

}  // namespace testsupport
