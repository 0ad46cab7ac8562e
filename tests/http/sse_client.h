// A minimal event-stream client for tests: connects to 127.0.0.1, sends a request head and reads
// what the stream sends, with time-outs. Test-only; one thread per client.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace sse_test {

inline const std::string kStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache, no-transform\r\n"
    "Connection: keep-alive\r\nX-Accel-Buffering: no\r\nAccess-Control-Allow-Origin: *\r\n\r\n: connected\n\n";

class Client {
 public:
  ~Client() { close(); }
  bool connect(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool send(const std::string& s) { return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()); }
  bool open_stream(int port) { return connect(port) && send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n"); }
  // Reads until `received` holds `want` or `ms` pass or the peer closes.
  bool read_until(const std::string& want, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (received.find(want) == std::string::npos) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0 || !read_some(left)) return received.find(want) != std::string::npos;
    }
    return true;
  }
  // Reads until the peer closes (true) or `ms` pass (false).
  bool wait_closed(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!closed) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0) return false;
      read_some(left);
    }
    return true;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::string received;
  bool closed = false;

 private:
  bool read_some(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed = true;
      return false;
    }
    received.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
};

}  // namespace sse_test
