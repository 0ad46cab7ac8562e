#include "control_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t kMaxRequestBytes = 1 << 20;
// Requests are served one at a time, so the whole request must arrive within this time: a client
// that connects and sends nothing, or trickles, holds the endpoint no longer than this.
constexpr int kRequestLimitMs = 5000;

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    default: return "Internal Server Error";
  }
}
}  // namespace

std::string url_decode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && isxdigit(uint8_t(s[i + 1])) && isxdigit(uint8_t(s[i + 2]))) {
      out += char(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

void parse_form(const std::string& text, std::map<std::string, std::string>* out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t amp = text.find('&', start);
    std::string pair = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (!pair.empty()) {
      size_t eq = pair.find('=');
      std::string name = url_decode(pair.substr(0, eq));
      std::string value = eq == std::string::npos ? "" : url_decode(pair.substr(eq + 1));
      out->emplace(name, value);
    }
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
}

ControlServer::~ControlServer() { stop(); }

ResultCode ControlServer::start(int port, ControlHandler handler) {
  handler_ = std::move(handler);
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return RC_NETWORK;
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 16) != 0) {
    close(listen_fd_);
    listen_fd_ = -1;
    return RC_NETWORK;
  }
  socklen_t len = sizeof a;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  running_ = true;
  thread_ = std::thread([this] { loop(); });
  return RC_OK;
}

void ControlServer::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

void ControlServer::loop() {
  while (running_) {
    pollfd p{listen_fd_, POLLIN, 0};
    // Short waits keep a stop request from waiting long.
    if (poll(&p, 1, 200) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) serve(fd);
  }
}

void ControlServer::serve(int fd) {
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestLimitMs);
  std::string in;
  char buf[4096];
  size_t head_end = std::string::npos;
  size_t want = 0;
  while (in.size() < kMaxRequestBytes && running_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, int(std::min<long long>(left.count(), 200)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) break;
    in.append(buf, size_t(r));
    if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
      std::string head = in.substr(0, head_end);
      for (auto& ch : head) ch = char(tolower(uint8_t(ch)));
      size_t cl = head.find("\ncontent-length:");
      want = head_end + 4 + (cl == std::string::npos ? 0 : std::strtoul(head.c_str() + cl + 16, nullptr, 10));
    }
    if (head_end != std::string::npos && in.size() >= want) break;
  }
  ControlReply reply;
  ControlRequest req;
  size_t sp1 = in.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : in.find(' ', sp1 + 1);
  if (head_end == std::string::npos || sp2 == std::string::npos) {
    reply = {400, "{\"error\":true,\"message\":\"bad request\"}"};
  } else {
    req.method = in.substr(0, sp1);
    std::string target = in.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t q = target.find('?');
    req.path = target.substr(0, q);
    if (q != std::string::npos) parse_form(target.substr(q + 1), &req.params);
    parse_form(in.substr(head_end + 4), &req.params);
    reply = handler_(req);
  }
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                    "\r\nContent-Type: " + reply.content_type + "\r\nContent-Length: " + std::to_string(reply.json.size()) +
                    "\r\nConnection: close\r\n\r\n" + reply.json;
  size_t sent = 0;
  while (sent < out.size()) {
    ssize_t r = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) break;
    sent += size_t(r);
  }
  shutdown(fd, SHUT_WR);
  close(fd);
}
