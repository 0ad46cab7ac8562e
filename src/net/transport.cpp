#include "net/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "net/kovra_protocol.h"
#include "runtime/log.h"

namespace {

constexpr int kSlots = 256;
constexpr uint32_t kPollSliceMs = 100;  // connect waits check for cancellation this often

struct Slot {
  bool in_use = false;
  uint32_t call_id = 0;
  int fd = -1;
  bool cancelled = false;
};

// Guards g_slots: the active-socket registry. Stands alone in the lock order. A socket is
// unregistered under this lock before it is closed, so a cancel never shuts down a descriptor
// number that the system has already handed to someone else.
std::mutex g_registry_mutex;
Slot g_slots[kSlots];
// The most recent cancelled call ids (also under g_registry_mutex): a request of a cancelled call
// that registers its socket only after the cancel ends at once instead of running to its time-out.
constexpr int kCancelledMemory = 64;
uint32_t g_cancelled[kCancelledMemory] = {0};
int g_cancelled_next = 0;

bool recently_cancelled_locked(uint32_t call_id) {
  for (uint32_t c : g_cancelled)
    if (c == call_id) return true;
  return false;
}

std::atomic<bool> g_initialized{false};
std::atomic<bool> g_cleaned_up{false};
std::atomic<uint32_t> g_default_timeout_ms{5000};
// Serialises transport_init and transport_cleanup. Taken before the directory's locks.
std::mutex g_init_mutex;
TransportAdapter g_adapter;

uint64_t steady_ms() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

int register_socket(uint32_t call_id, int fd) {
  if (call_id == 0) return -1;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  for (int i = 0; i < kSlots; ++i) {
    if (!g_slots[i].in_use) {
      g_slots[i] = Slot{true, call_id, fd, recently_cancelled_locked(call_id)};
      return i;
    }
  }
  log_warn(CAT_NET, "Active socket registry full; call %u cannot be cancelled", call_id);
  return -1;
}

bool slot_cancelled(int slot) {
  if (slot < 0) return false;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  return g_slots[slot].cancelled;
}

void close_socket(int slot, int fd) {
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    if (slot >= 0 && g_slots[slot].in_use && g_slots[slot].fd == fd) g_slots[slot] = Slot{};
  }
  ::close(fd);
}

void set_error(SendResult* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void set_error(SendResult* r, const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  r->error_text = buf;
}

bool resolve(const std::string& host, uint16_t port, int socktype, sockaddr_in* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = socktype;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* res = nullptr;
  char service[8];
  std::snprintf(service, sizeof service, "%u", port);
  if (getaddrinfo(host.c_str(), service, &hints, &res) != 0 || !res) return false;
  std::memcpy(out, res->ai_addr, sizeof(sockaddr_in));
  freeaddrinfo(res);
  return true;
}

void set_timeouts(int fd, uint32_t ms, bool send_too) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (send_too) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool is_timeout_errno(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT; }

enum RecvOutcome { RECV_DONE, RECV_CLOSED, RECV_TIMEOUT, RECV_ERROR };

RecvOutcome recv_exact(int fd, uint8_t* buf, size_t n, size_t* got) {
  *got = 0;
  while (*got < n) {
    size_t want = n - *got;
    if (want > 0x7FFFFFFF) want = 0x7FFFFFFF;
    ssize_t r = ::recv(fd, buf + *got, want, 0);
    if (r > 0) {
      *got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return RECV_CLOSED;
    if (errno == EINTR) continue;
    return is_timeout_errno(errno) ? RECV_TIMEOUT : RECV_ERROR;
  }
  return RECV_DONE;
}

uint64_t be_read(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

ResultCode tcp_request(const ServerEntry& e, const uint8_t* req, size_t len, uint32_t timeout_ms, uint32_t call_id,
                       uint64_t max_response, SendResult* r) {
  sockaddr_in addr{};
  if (!resolve(e.host, e.port, SOCK_STREAM, &addr)) {
    set_error(r, "DNS resolution failed for %s", e.host.c_str());
    return RC_NETWORK;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    set_error(r, "Failed to create socket");
    return RC_NETWORK;
  }
  int slot = register_socket(call_id, fd);
  auto fail = [&](ResultCode rc) {
    close_socket(slot, fd);
    return rc;
  };
  if (slot_cancelled(slot)) {
    set_error(r, "Request cancelled");
    return fail(RC_NETWORK);
  }

  set_timeouts(fd, timeout_ms, true);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  int idle = kovra::kKeepAliveIdleMs / 1000, intvl = kovra::kKeepAliveIntervalMs / 1000;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);

  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EWOULDBLOCK) {
      set_error(r, "Connection refused to %s:%d", e.host.c_str(), e.port);
      return fail(RC_NETWORK);
    }
    // Wait in slices so that a cancel reaches a call still connecting (shutting down a socket
    // that is not yet connected does not wake every poll).
    uint64_t start = steady_ms();
    bool writable = false;
    for (;;) {
      if (slot_cancelled(slot)) {
        set_error(r, "Request cancelled while connecting to %s:%d", e.host.c_str(), e.port);
        return fail(RC_NETWORK);
      }
      uint64_t spent = steady_ms() - start;
      if (spent >= timeout_ms) break;
      uint64_t wait = timeout_ms - spent;
      if (wait > kPollSliceMs) wait = kPollSliceMs;
      pollfd p{fd, POLLOUT, 0};
      int pr = ::poll(&p, 1, static_cast<int>(wait));
      if (pr > 0) {
        writable = true;
        break;
      }
      if (pr < 0 && errno != EINTR) break;
    }
    if (!writable) {
      r->timed_out = true;
      set_error(r, "Connection timeout to %s:%d", e.host.c_str(), e.port);
      return fail(RC_TIMEOUT);
    }
    int soerr = 0;
    socklen_t sl = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
    if (soerr != 0) {
      set_error(r, "Connection failed to %s:%d (error %d)", e.host.c_str(), e.port, soerr);
      return fail(RC_NETWORK);
    }
  }
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  uint64_t send_start = steady_ms();
  size_t sent = 0;
  while (sent < len) {
    size_t piece = len - sent;
    if (piece > 0x7FFFFFFF) piece = 0x7FFFFFFF;
    // MSG_NOSIGNAL: a peer that closed early must give an error here, not kill the process.
    ssize_t n = ::send(fd, req + sent, piece, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : 0;
      log_warn(CAT_NET, "TCP send FAILED %s:%d sent=%llu/%llu err=%d after %llums", e.host.c_str(), e.port,
               (unsigned long long)sent, (unsigned long long)len, err, (unsigned long long)(steady_ms() - send_start));
      set_error(r, "Failed to send data (%llu/%llu bytes sent, error %d)", (unsigned long long)sent,
                (unsigned long long)len, err);
      return fail(RC_NETWORK);
    }
    sent += static_cast<size_t>(n);
  }
  if (len > 1048575) {
    uint64_t ms = steady_ms() - send_start;
    unsigned long long kibs = ms ? (unsigned long long)((len / 1024) * 1000 / ms) : 0;
    log_info(CAT_NET, "TCP send OK %s:%d %llu bytes in %llums (%llu KiB/s)", e.host.c_str(), e.port,
             (unsigned long long)len, (unsigned long long)ms, kibs);
  }

  uint8_t header[kovra::kHeaderSize];
  size_t got = 0;
  RecvOutcome ro = recv_exact(fd, header, sizeof header, &got);
  if (ro != RECV_DONE) {
    if (slot_cancelled(slot)) {
      set_error(r, "Request cancelled");
      return fail(RC_NETWORK);
    }
    if (ro == RECV_CLOSED) {
      set_error(r, "Connection closed by server");
      return fail(RC_NETWORK);
    }
    // A reset or any other receive failure is the server's refusal, never a time-out.
    if (ro == RECV_ERROR) {
      set_error(r, "Connection reset by server");
      return fail(RC_NETWORK);
    }
    r->timed_out = true;
    set_error(r, "Timeout waiting for response");
    return fail(RC_TIMEOUT);
  }

  uint64_t body_len;
  if (kovra::uses_mail_framing(req, len)) {
    if (header[kovra::resp::kFramingVersion] != kovra::resp::kMailFramingVersion) {
      set_error(r, "Unsupported Pelko response framing version");
      return fail(RC_ERROR);
    }
    body_len = be_read(header + kovra::resp::kBodyLength32, 4);
  } else {
    body_len = be_read(header + kovra::resp::kBodyLength24, 3);
  }
  uint64_t limit = (max_response >= 1 && max_response <= kovra::kMaxTcpResponse) ? max_response : kovra::kMaxTcpResponse;
  uint64_t total = kovra::kHeaderSize + body_len;
  if (total > limit) {
    set_error(r, "TCP response exceeds limit (%llu > %llu bytes)", (unsigned long long)total, (unsigned long long)limit);
    return fail(RC_ERROR);
  }
  std::vector<uint8_t> buf;
  try {
    buf.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    set_error(r, "Failed to allocate TCP response buffer (%llu bytes)", (unsigned long long)total);
    return fail(RC_MEMORY);
  }
  std::memcpy(buf.data(), header, sizeof header);
  if (body_len > 0) {
    ro = recv_exact(fd, buf.data() + kovra::kHeaderSize, static_cast<size_t>(body_len), &got);
    if (ro != RECV_DONE) {
      // A body shorter than its header announced is never handed on.
      if (slot_cancelled(slot)) {
        set_error(r, "Request cancelled while reading response body (%llu/%u bytes)", (unsigned long long)got,
                  (unsigned)body_len);
        return fail(RC_NETWORK);
      }
      if (ro == RECV_CLOSED) {
        set_error(r, "Connection closed by server while reading response body (%llu/%u bytes)",
                  (unsigned long long)got, (unsigned)body_len);
        return fail(RC_NETWORK);
      }
      if (ro == RECV_ERROR) {
        set_error(r, "Connection reset by server while reading response body (%llu/%u bytes)", (unsigned long long)got,
                  (unsigned)body_len);
        return fail(RC_NETWORK);
      }
      r->timed_out = true;
      set_error(r, "Timeout reading response body (%llu/%u bytes)", (unsigned long long)got, (unsigned)body_len);
      return fail(RC_TIMEOUT);
    }
  }
  close_socket(slot, fd);
  r->response = std::move(buf);
  r->got_reply = true;
  return RC_OK;
}

ResultCode udp_request(const ServerEntry& e, const uint8_t* req, size_t len, uint32_t timeout_ms, uint32_t call_id,
                       SendResult* r) {
  sockaddr_in addr{};
  if (!resolve(e.host, e.port, SOCK_DGRAM, &addr)) {
    set_error(r, "DNS resolution failed for %s", e.host.c_str());
    return RC_NETWORK;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    set_error(r, "Failed to create socket");
    return RC_NETWORK;
  }
  int slot = register_socket(call_id, fd);
  if (slot_cancelled(slot)) {
    close_socket(slot, fd);
    set_error(r, "Request cancelled");
    return RC_NETWORK;
  }
  set_timeouts(fd, timeout_ms, false);
  ssize_t n = ::sendto(fd, req, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (n < 0 || static_cast<size_t>(n) != len) {
    close_socket(slot, fd);
    set_error(r, "Failed to send UDP packet");
    return RC_NETWORK;
  }
  uint8_t buf[kovra::kMaxUdpDatagram];
  ssize_t got;
  const uint64_t start = steady_ms();
  for (;;) {
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    // MSG_TRUNC reports the datagram's real length, so an over-long reply is seen, not clipped.
    got = ::recvfrom(fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fl);
    if (got < 0 && errno == EINTR) continue;
    // Only the server we asked may answer; a datagram from anywhere else is dropped, and the
    // wait goes on for what is left of the time-out.
    if (got >= 0 && fl >= sizeof from && (from.sin_addr.s_addr != addr.sin_addr.s_addr || from.sin_port != addr.sin_port)) {
      uint64_t spent = steady_ms() - start;
      if (spent >= timeout_ms) {
        got = -1;
        break;
      }
      set_timeouts(fd, static_cast<uint32_t>(timeout_ms - spent), false);
      continue;
    }
    break;
  }
  bool cancelled = slot_cancelled(slot);
  close_socket(slot, fd);
  if (cancelled) {
    set_error(r, "Request cancelled");
    return RC_NETWORK;
  }
  if (got > static_cast<ssize_t>(sizeof buf)) {
    set_error(r, "UDP response from %s:%d too large (%lld > %zu bytes)", e.host.c_str(), e.port, (long long)got,
              sizeof buf);
    return RC_ERROR;
  }
  if (got < 1) {
    r->timed_out = true;
    set_error(r, "Timeout waiting for UDP response from %s:%d", e.host.c_str(), e.port);
    return RC_TIMEOUT;
  }
  r->response.assign(buf, buf + got);
  r->got_reply = true;
  return RC_OK;
}

}  // namespace

ResultCode TransportAdapter::send(int server_id, int transport, const uint8_t* request, size_t length,
                                  uint32_t timeout_ms, uint32_t call_id, uint64_t max_response, SendResult* result) {
  if (!result) return RC_INVALID_PARAM;
  *result = SendResult{};
  if (server_id < 0 || server_id >= kovra::kServerCount) {
    set_error(result, "Invalid KOVRA ID: %d", server_id);
    return RC_INVALID_PARAM;
  }
  ServerEntry e;
  if (server_entry(server_id, &e) != RC_OK) {
    set_error(result, "Server %d not loaded", server_id);
    return RC_INVALID_PARAM;
  }
  if (!request || length == 0) {
    set_error(result, "Empty request");
    return RC_INVALID_PARAM;
  }
  if (timeout_ms == 0) timeout_ms = transport_default_timeout();
  uint64_t start = steady_ms();
  ResultCode rc = transport == TRANSPORT_TCP ? tcp_request(e, request, length, timeout_ms, call_id, max_response, result)
                                             : udp_request(e, request, length, timeout_ms, call_id, result);
  uint64_t elapsed = steady_ms() - start;
  result->elapsed_ms = elapsed > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(elapsed);
  if (rc != RC_OK) result->response.clear();
  record_result(server_id, result->elapsed_ms, result->got_reply, result->timed_out);
  return rc;
}

void TransportAdapter::cancel(uint32_t call_id) {
  if (call_id == 0) return;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  if (!recently_cancelled_locked(call_id)) {
    g_cancelled[g_cancelled_next] = call_id;
    g_cancelled_next = (g_cancelled_next + 1) % kCancelledMemory;
  }
  for (Slot& s : g_slots) {
    if (s.in_use && s.call_id == call_id) {
      s.cancelled = true;
      ::shutdown(s.fd, SHUT_RDWR);
    }
  }
}

ResultCode TransportAdapter::server_info(int server_id, ServerInfo* out) {
  if (!out) return RC_INVALID_PARAM;
  ServerEntry e;
  ResultCode rc = server_entry(server_id, &e);
  if (rc != RC_OK) return rc;
  out->id = server_id;
  out->host = e.host;
  out->port = e.port;
  out->available = ::is_available(server_id);
  return RC_OK;
}

bool TransportAdapter::is_available(int server_id) { return ::is_available(server_id); }
uint32_t TransportAdapter::last_response_ms(int server_id) { return ::last_response_ms(server_id); }
ServerStats TransportAdapter::server_stats(int server_id) { return ::server_stats(server_id); }

TransportAdapter* transport_get() {
  // After clean-up at shutdown a late worker gets the adapter as it is (its requests fail with
  // "not loaded"); it never starts discovery again while the process ends.
  if (!g_initialized.load() && !g_cleaned_up.load()) {
    log_warn(CAT_NET, "Transport adapter not initialized, auto-initializing");
    transport_init(false);
  }
  return &g_adapter;
}

ResultCode transport_init(bool server_role) {
  std::lock_guard<std::mutex> lock(g_init_mutex);
  if (g_initialized.load()) return RC_OK;
  ResultCode rc = directory_init(!server_role);
  if (rc != RC_OK) {
    log_error(CAT_NET, "Failed to initialize core transport: %d", (int)rc);
    return rc;
  }
  g_initialized.store(true);
  g_cleaned_up.store(false);
  log_info(CAT_NET, "Transport adapter initialized (default timeout: %u ms)", g_default_timeout_ms.load());
  return RC_OK;
}

bool transport_initialized() { return g_initialized.load(); }

void transport_cleanup() {
  std::lock_guard<std::mutex> lock(g_init_mutex);
  if (!g_initialized.load()) return;
  directory_shutdown();
  g_initialized.store(false);
  g_cleaned_up.store(true);
  log_info(CAT_NET, "Transport adapter cleaned up");
}

void transport_set_default_timeout(uint32_t ms) {
  if (ms == 0) return;
  g_default_timeout_ms.store(ms);
  log_info(CAT_NET, "Transport adapter timeout set to %u ms", ms);
}

uint32_t transport_default_timeout() { return g_default_timeout_ms.load(); }

int rest_transport_choice(int value) {
  if (value == 0) return TRANSPORT_TCP;
  if (value == 1) return TRANSPORT_UDP;
  log_warn(CAT_NET, "Unknown REST transport type %d, defaulting to TCP", value);
  return TRANSPORT_TCP;
}

int transport_active_sockets() {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  int n = 0;
  for (const Slot& s : g_slots) n += s.in_use;
  return n;
}
