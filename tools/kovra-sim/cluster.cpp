#include "cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>

#include "runtime/durable_write.h"
#include "sim_wire.h"

namespace {

// The largest request a TCP client may announce; well above any command served today.
constexpr size_t kMaxRequest = 64u << 20;
constexpr int kMaxWorkers = 1024;

int bind_socket(int type, int port, int* bound_port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (type == SOCK_STREAM && listen(fd, 64) != 0)) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *bound_port = ntohs(a.sin_port);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

using Clock = std::chrono::steady_clock;

// Body bytes are taken in pieces of this size, so a request costs the memory of what arrived, not
// of what its header announced.
constexpr size_t kReadPiece = 64 * 1024;
// After an answer, what the client still sends is drained for at most this long in total, and
// until it pauses for kDrainQuietMs.
constexpr int kDrainLimitMs = 1000;
constexpr int kDrainQuietMs = 200;

// Waits until `fd` is readable, the deadline passes or `running` turns false, in short slices so a
// stop is never held up; true when readable.
bool wait_readable(int fd, Clock::time_point deadline, const std::atomic<bool>& running) {
  while (running) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, int(std::min<long long>(left, 200)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

// Reads up to `n` bytes; returns how many arrived before the peer closed, an error, the deadline
// or a stop.
size_t read_until(int fd, uint8_t* p, size_t n, Clock::time_point deadline, const std::atomic<bool>& running) {
  size_t got = 0;
  while (got < n && wait_readable(fd, deadline, running)) {
    ssize_t r = recv(fd, p + got, n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += size_t(r);
    } else if (!(r < 0 && (errno == EINTR || errno == EAGAIN))) {
      break;
    }
  }
  return got;
}

void send_all(int fd, const uint8_t* p, size_t n) {
  size_t sent = 0;
  while (sent < n) {
    ssize_t r = send(fd, p + sent, n - sent, MSG_NOSIGNAL);
    if (r > 0) {
      sent += size_t(r);
    } else if (!(r < 0 && errno == EINTR)) {
      return;
    }
  }
}

}  // namespace

bool sim_is_mail_server(int server) {
  static const int kMail[] = {0, 1, 11, 13, 14, 18, 20, 22, 24};
  for (int id : kMail)
    if (id == server) return true;
  return false;
}

SimCluster::~SimCluster() { stop(); }

ResultCode SimCluster::start(const ClusterOptions& options, std::string* error) {
  options_ = options;
  ports_.assign(kSimServers, 0);
  tcp_fds_.assign(kSimServers, -1);
  udp_fds_.assign(kSimServers, -1);
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    for (int fd : tcp_fds_)
      if (fd >= 0) close(fd);
    for (int fd : udp_fds_)
      if (fd >= 0) close(fd);
    tcp_fds_.assign(kSimServers, -1);
    udp_fds_.assign(kSimServers, -1);
    return RC_NETWORK;
  };
  for (int s = 0; s < kSimServers; ++s) {
    if (!options.ephemeral) {
      int port = options.base_port + s;
      int got = 0;
      if (port <= 0 || port > 65535) return fail("port out of range: " + std::to_string(port));
      tcp_fds_[s] = bind_socket(SOCK_STREAM, port, &got);
      if (tcp_fds_[s] < 0) return fail("cannot bind TCP port " + std::to_string(port) + ": " + strerror(errno));
      udp_fds_[s] = bind_socket(SOCK_DGRAM, port, &got);
      if (udp_fds_[s] < 0) return fail("cannot bind UDP port " + std::to_string(port) + ": " + strerror(errno));
      ports_[s] = port;
      continue;
    }
    // The kernel picks a TCP port; the UDP socket must get the same number, so retry on a clash.
    for (int attempt = 0; attempt < 100 && udp_fds_[s] < 0; ++attempt) {
      int port = 0;
      int fd = bind_socket(SOCK_STREAM, 0, &port);
      if (fd < 0) continue;
      int same = 0;
      int ufd = bind_socket(SOCK_DGRAM, port, &same);
      if (ufd < 0) {
        close(fd);
        continue;
      }
      tcp_fds_[s] = fd;
      udp_fds_[s] = ufd;
      ports_[s] = port;
    }
    if (udp_fds_[s] < 0) return fail("no free ephemeral port for server " + std::to_string(s));
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("cannot create the wake pipe");
  running_ = true;
  poller_ = std::thread([this] { poll_loop(); });
  return RC_OK;
}

void SimCluster::stop() {
  if (!poller_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    running_ = false;
  }
  stop_cv_.notify_all();
  if (write(wake_[1], "x", 1) < 0) {
    // The poll time-out ends the loop all the same.
  }
  poller_.join();
  {
    std::unique_lock<std::mutex> lock(workers_mu_);
    workers_cv_.wait(lock, [this] { return workers_ == 0; });
  }
  for (int& fd : tcp_fds_)
    if (fd >= 0) close(fd), fd = -1;
  for (int& fd : udp_fds_)
    if (fd >= 0) close(fd), fd = -1;
  close(wake_[0]);
  close(wake_[1]);
  wake_[0] = wake_[1] = -1;
}

std::vector<int> SimCluster::ports() const { return ports_; }

bool SimCluster::pause(uint32_t ms) {
  std::unique_lock<std::mutex> lock(stop_mu_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_; });
}

void SimCluster::deliver_tcp(int fd, const ExchangeOutcome& out) {
  if (out.reset) {
    // A server that is down: the connection ends with a reset, as from a closed port.
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return;
  }
  if (out.delay_ms && !pause(out.delay_ms)) return;
  if (!out.reply) {
    // A lost answer: the client hears nothing and times out, unless it gives up first.
    for (uint32_t held = 0; held < options_.hold_limit_ms && running_; held += 200) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 200) > 0) {
        uint8_t sink[512];
        ssize_t r = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return;
      }
    }
    return;
  }
  send_all(fd, out.response.data(), std::min(out.send_limit, out.response.size()));
}

bool SimCluster::spawn(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(workers_mu_);
    // Beyond this many requests in flight (held or delayed ones pile up) new ones are turned
    // away, as an overloaded server would, rather than exhausting the process's threads.
    if (workers_ >= kMaxWorkers) return false;
    ++workers_;
  }
  std::thread([this, work = std::move(work)] {
    work();
    std::lock_guard<std::mutex> lock(workers_mu_);
    if (--workers_ == 0) workers_cv_.notify_all();
  }).detach();
  return true;
}

void SimCluster::poll_loop() {
  std::vector<pollfd> fds;
  for (int s = 0; s < kSimServers; ++s) {
    fds.push_back({tcp_fds_[s], POLLIN, 0});
    fds.push_back({udp_fds_[s], POLLIN, 0});
  }
  fds.push_back({wake_[0], POLLIN, 0});
  std::vector<uint8_t> buf(65536);
  while (running_) {
    // The time-out bounds how long a missed wake-up could delay a stop.
    int ready = poll(fds.data(), fds.size(), 500);
    if (ready <= 0) continue;
    for (size_t i = 0; i + 1 < fds.size() && running_; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      int server = int(i / 2);
      if (i % 2 == 0) {
        int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && !spawn([this, c, server] { serve_tcp(c, server); })) close(c);
      } else {
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        ssize_t r = recvfrom(fds[i].fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &plen);
        if (r <= 0) continue;
        std::vector<uint8_t> datagram(buf.begin(), buf.begin() + r);
        std::vector<uint8_t> addr(reinterpret_cast<uint8_t*>(&peer), reinterpret_cast<uint8_t*>(&peer) + plen);
        int fd = fds[i].fd;
        spawn([this, fd, server, d = std::move(datagram), a = std::move(addr)]() mutable {
          serve_udp(fd, server, std::move(d), std::move(a));
        });
      }
    }
  }
}

void SimCluster::serve_tcp(int fd, int server) {
  timeval tv{};
  tv.tv_sec = options_.read_timeout_ms / 1000;
  tv.tv_usec = (options_.read_timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  // The whole request, not each read, must arrive within the read time-out, plus a millisecond per
  // KiB that did arrive (a large body may take its time at 1 MiB/s or faster), so a client
  // trickling a byte at a time, or announcing a body it never sends, cannot hold a worker long.
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options_.read_timeout_ms);
  std::vector<uint8_t> req(kShortHeader);
  size_t got = read_until(fd, req.data(), kShortHeader, deadline, running_);
  if (got == kShortHeader) {
    size_t header_length = sim_request_header_length(req.data());
    req.resize(header_length);
    got += read_until(fd, req.data() + got, header_length - got, deadline, running_);
    if (got == header_length) {
      size_t total = sim_request_total_length(req.data(), header_length);
      if (total > kMaxRequest) total = header_length;  // refused below as a bad length
      while (got < total) {
        size_t piece = std::min(kReadPiece, total - got);
        req.resize(got + piece);
        size_t r = read_until(fd, req.data() + got, piece, deadline, running_);
        got += r;
        if (r < piece) break;
        deadline += std::chrono::milliseconds(r / 1024);
      }
    }
  }
  if (got < kShortHeader) {
    // No header: a port probe or a client that gave up; there is nobody to answer.
    close(fd);
    return;
  }
  // A request cut short is still answered, with the length refusal, so the client need not wait.
  ExchangeOutcome out = exchange_->handle(server, SimTransport::kTcp, req.data(), got);
  deliver_tcp(fd, out);
  if (out.reset || !out.reply) {
    close(fd);
    return;
  }
  // Half-close and drain, so that unread request bytes do not turn the close into a reset that
  // could destroy the answer before the client reads it. Bounded, so a client that keeps sending
  // cannot keep the worker.
  shutdown(fd, SHUT_WR);
  Clock::time_point drain_end = Clock::now() + std::chrono::milliseconds(kDrainLimitMs);
  uint8_t sink[4096];
  for (;;) {
    Clock::time_point quiet = std::min(drain_end, Clock::now() + std::chrono::milliseconds(kDrainQuietMs));
    if (Clock::now() >= drain_end || !wait_readable(fd, quiet, running_)) break;
    ssize_t r = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) break;
  }
  close(fd);
}

void SimCluster::serve_udp(int fd, int server, std::vector<uint8_t> datagram, std::vector<uint8_t> peer) {
  ExchangeOutcome out = exchange_->handle(server, SimTransport::kUdp, datagram.data(), datagram.size());
  if (!out.reply || out.reset) return;
  if (out.delay_ms && !pause(out.delay_ms)) return;
  sendto(fd, out.response.data(), std::min(out.send_limit, out.response.size()), 0,
         reinterpret_cast<const sockaddr*>(peer.data()), socklen_t(peer.size()));
}

std::string server_list_text(const std::vector<int>& ports) {
  std::string text;
  for (size_t s = 0; s < ports.size(); ++s)
    text += "127.0.0.1:" + std::to_string(ports[s]) + "," + (sim_is_mail_server(int(s)) ? "P" : "K") + "\n";
  return text;
}

ResultCode write_server_list(const std::string& data_root, const std::vector<int>& ports) {
  if (ports.size() != size_t(kSimServers) || data_root.empty()) return RC_INVALID_PARAM;
  return durable_write(data_root + "/kovra_ips.csv", server_list_text(ports));
}
