#include "http/event_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/test_seams.h"
#include "runtime/log.h"

namespace {

const char kHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache, no-transform\r\n"
    "Connection: keep-alive\r\nX-Accel-Buffering: no\r\nAccess-Control-Allow-Origin: *\r\n\r\n: connected\n\n";
const char kKeepAlive[] = ": keepalive\n\n";
constexpr int kRequestTimeoutMs = 2000;
constexpr int kSendTimeoutMs = 250;
constexpr size_t kRequestBuffer = 1024;
constexpr int kPollStepMs = 500;

struct Stream {
  std::atomic<bool> running{false};
  int listen_fd = -1;
  uint16_t port = 0;
  // Serialises whole send passes so frames and keep-alives never interleave; taken before
  // registry_lock.
  std::mutex send_lock;
  // Guards clients; taken after send_lock when both are held.
  std::mutex registry_lock;
  std::vector<int> clients;
  // Wakes the keep-alive thread early on stop.
  std::mutex wake_lock;
  std::condition_variable wake;
  // A byte written here on stop ends the acceptor's waits at once, so stopping never sits out a
  // poll step or a client's request time-out. [0] is polled, [1] written.
  int wake_pipe[2] = {-1, -1};
  std::thread acceptor;
  std::thread keepalive;
};

Stream g_stream;
// Serialises start and stop against each other.
std::mutex g_lifecycle_lock;

void set_timeout(int fd, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Sends all of `data`; false when a send returns 0 or less (including the 250 ms time-out).
bool send_all(int fd, const char* data, size_t len) {
  size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Waits for `fd` to become readable within `ms`; false on time-out, error or a stop request.
bool wait_readable(int fd, int ms) {
  pollfd p[2] = {{fd, POLLIN, 0}, {g_stream.wake_pipe[0], POLLIN, 0}};
  int r = ::poll(p, 2, ms);
  return r > 0 && !(p[1].revents & POLLIN) && (p[0].revents & (POLLIN | POLLHUP | POLLERR));
}

// Reads until the blank line that ends a request head, within kRequestTimeoutMs overall.
bool read_request_head(int fd) {
  char buf[kRequestBuffer];
  size_t have = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
  while (have < kRequestBuffer - 1) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!wait_readable(fd, static_cast<int>(std::min<long long>(left.count(), kPollStepMs)))) {
      if (!g_stream.running.load()) return false;
      continue;
    }
    ssize_t n = ::recv(fd, buf + have, kRequestBuffer - 1 - have, 0);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
    buf[have] = '\0';
    if (std::strstr(buf, "\r\n\r\n")) return true;
  }
  return false;
}

void send_pass(const char* frame, size_t len) {
  std::lock_guard<std::mutex> send_guard(g_stream.send_lock);
  std::vector<int> copy;
  {
    std::lock_guard<std::mutex> reg(g_stream.registry_lock);
    copy = g_stream.clients;
  }
  std::vector<int> failed;
  for (int fd : copy)
    if (!send_all(fd, frame, len)) failed.push_back(fd);
  if (failed.empty()) return;
  std::lock_guard<std::mutex> reg(g_stream.registry_lock);
  std::vector<int> kept;
  for (int fd : g_stream.clients) {
    bool drop = false;
    for (int f : failed) drop = drop || f == fd;
    if (drop) {
      log_debug(CAT_HTTP, "SSE: dropping client (send failed)");
      ::close(fd);
    } else {
      kept.push_back(fd);
    }
  }
  g_stream.clients = kept;
}

void acceptor_loop() {
  while (g_stream.running.load()) {
    bool ready = wait_readable(g_stream.listen_fd, kPollStepMs);
    if (!g_stream.running.load()) break;
    if (!ready) continue;
    int fd = ::accept4(g_stream.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (!read_request_head(fd)) {
      ::close(fd);
      continue;
    }
    set_timeout(fd, SO_SNDTIMEO, kSendTimeoutMs);
    if (!send_all(fd, kHead, sizeof kHead - 1)) {
      ::close(fd);
      continue;
    }
    std::lock_guard<std::mutex> reg(g_stream.registry_lock);
    if (static_cast<int>(g_stream.clients.size()) < SSE_MAX_CLIENTS) {
      g_stream.clients.push_back(fd);
      log_info(CAT_HTTP, "SSE: client connected (now %d)", static_cast<int>(g_stream.clients.size()));
    } else {
      log_debug(CAT_HTTP, "SSE: registry full, rejecting client");
      ::close(fd);
    }
  }
}

// Clears `running` and wakes both threads. The byte stays in the pipe, so every later wait of the
// acceptor ends at once too, including one for a client still sending its request.
void signal_stop() {
  g_stream.running.store(false);
  {
    std::lock_guard<std::mutex> lk(g_stream.wake_lock);
    g_stream.wake.notify_all();
  }
  if (g_stream.wake_pipe[1] >= 0) {
    const char byte = 1;
    (void)!::write(g_stream.wake_pipe[1], &byte, 1);
  }
}

void close_wake_pipe() {
  for (int& fd : g_stream.wake_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void keepalive_loop() {
  const uint32_t interval = test_seam_ms("SSE_KEEPALIVE_MS", SSE_KEEPALIVE_MS);
  while (g_stream.running.load()) {
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval);
    {
      std::unique_lock<std::mutex> lk(g_stream.wake_lock);
      while (g_stream.running.load() && std::chrono::steady_clock::now() < due) {
        auto step = std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(kPollStepMs),
                                                                  due - std::chrono::steady_clock::now());
        g_stream.wake.wait_for(lk, step);
      }
    }
    if (!g_stream.running.load()) break;
    send_pass(kKeepAlive, sizeof kKeepAlive - 1);
  }
}

}  // namespace

ResultCode event_stream_start(uint16_t port) {
  std::lock_guard<std::mutex> life(g_lifecycle_lock);
  if (g_stream.running.load()) return RC_OK;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_error(CAT_HTTP, "SSE: socket() failed");
    return RC_ERROR;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    log_error(CAT_HTTP, "SSE: bind() failed on port %u", static_cast<unsigned>(port));
    ::close(fd);
    return RC_ERROR;
  }
  if (::listen(fd, 4) != 0) {
    log_error(CAT_HTTP, "SSE: listen() failed on port %u", static_cast<unsigned>(port));
    ::close(fd);
    return RC_ERROR;
  }
  if (::pipe2(g_stream.wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    log_error(CAT_HTTP, "SSE: pipe() failed");
    g_stream.wake_pipe[0] = g_stream.wake_pipe[1] = -1;
    ::close(fd);
    return RC_ERROR;
  }
  g_stream.listen_fd = fd;
  g_stream.port = port;
  g_stream.running.store(true);
  try {
    g_stream.acceptor = std::thread(acceptor_loop);
    g_stream.keepalive = std::thread(keepalive_loop);
  } catch (const std::system_error&) {
    log_error(CAT_HTTP, "SSE: _beginthreadex failed");
    signal_stop();
    if (g_stream.acceptor.joinable()) g_stream.acceptor.join();
    ::close(fd);
    g_stream.listen_fd = -1;
    close_wake_pipe();
    return RC_ERROR;
  }
  log_info(CAT_HTTP, "SSE: listening on 127.0.0.1:%u/events", static_cast<unsigned>(port));
  return RC_OK;
}

void event_stream_broadcast(const char* event, const char* data) {
  if (!g_stream.running.load() || !event || !data) return;
  // A line break would end the frame early and let the rest pose as a frame of its own.
  if (std::strpbrk(event, "\r\n") || std::strpbrk(data, "\r\n")) {
    log_warn(CAT_HTTP, "SSE: broadcast frame holds a line break, skipping");
    return;
  }
  char frame[SSE_FRAME_BYTES];
  int n = std::snprintf(frame, sizeof frame, "event: %s\ndata: %s\n\n", event, data);
  if (n <= 0 || n > static_cast<int>(SSE_FRAME_BYTES) - 1) {
    log_warn(CAT_HTTP, "SSE: broadcast frame too large, skipping");
    return;
  }
  int clients = event_stream_client_count();
  send_pass(frame, static_cast<size_t>(n));
  if (clients > 0) log_debug(CAT_HTTP, "SSE: broadcast '%s' to %d client(s)", event, clients);
}

void event_stream_stop() {
  std::lock_guard<std::mutex> life(g_lifecycle_lock);
  if (!g_stream.running.load() && !g_stream.acceptor.joinable()) return;
  signal_stop();
  // The listener and the pipe are closed only after the acceptor has stopped polling them, so
  // their descriptor numbers cannot be reused under it.
  if (g_stream.acceptor.joinable()) g_stream.acceptor.join();
  if (g_stream.keepalive.joinable()) g_stream.keepalive.join();
  if (g_stream.listen_fd >= 0) {
    ::close(g_stream.listen_fd);
    g_stream.listen_fd = -1;
  }
  close_wake_pipe();
  {
    std::lock_guard<std::mutex> send_guard(g_stream.send_lock);
    std::lock_guard<std::mutex> reg(g_stream.registry_lock);
    for (int fd : g_stream.clients) ::close(fd);
    g_stream.clients.clear();
  }
  log_info(CAT_HTTP, "SSE: stopped");
}

bool event_stream_running() { return g_stream.running.load(); }

int event_stream_client_count() {
  std::lock_guard<std::mutex> reg(g_stream.registry_lock);
  return static_cast<int>(g_stream.clients.size());
}
