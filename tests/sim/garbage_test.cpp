// The simulated servers under garbage: random bytes, truncated headers, absurd announced lengths,
// clients that connect and never send, trickle a byte at a time, or keep sending after their
// answer. Each connection gets a bounded time and memory, and honest requests keep being answered
// throughout.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

int ms_since(Clock::time_point start) {
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int connect_tcp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits until the server ends the connection (an orderly close or a reset); false when it is still
// open after `limit_ms`. What arrives meanwhile is appended to `got`.
bool wait_closed(int fd, int limit_ms, std::vector<uint8_t>* got = nullptr) {
  auto start = Clock::now();
  while (ms_since(start) < limit_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t buf[4096];
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return true;
    if (r > 0 && got) got->insert(got->end(), buf, buf + r);
  }
  return false;
}

// Sends `bytes`, half-closes, and returns whatever the server answered before closing.
std::vector<uint8_t> send_and_finish(int port, const std::vector<uint8_t>& bytes, int limit_ms = 3000) {
  int fd = connect_tcp(port);
  if (fd < 0) return {};
  if (!bytes.empty()) (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  std::vector<uint8_t> got;
  EXPECT_TRUE(wait_closed(fd, limit_ms, &got)) << "the server kept a finished request open";
  close(fd);
  return got;
}

void send_datagram(int port, const std::vector<uint8_t>& bytes) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  (void)sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  close(fd);
}

// The resident memory of this process (the simulator runs inside it), in MiB.
long resident_mib() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

// A 32-byte request header: cloud id 1, the server, coin id 6, type 0, the body length.
std::vector<uint8_t> header(int server, uint16_t body_length, uint8_t enc_type = 0) {
  std::vector<uint8_t> h(32, 0);
  h[0] = 1;
  h[2] = uint8_t(server);
  h[3] = 3;
  h[7] = 6;
  h[16] = enc_type;
  h[22] = uint8_t(body_length >> 8);
  h[23] = uint8_t(body_length);
  return h;
}

// A mail-content header (group 6, command 76), whose 32-bit length at bytes 10-13 frames the body.
std::vector<uint8_t> mail_header(int server, uint32_t body_length) {
  std::vector<uint8_t> h(32, 0);
  h[2] = uint8_t(server);
  h[4] = 6;
  h[5] = 76;
  h[7] = 6;
  for (int i = 0; i < 4; ++i) h[10 + i] = uint8_t(body_length >> (24 - 8 * i));
  return h;
}

class Garbage : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions o;
    o.state_dir = dir_.sub("state");
    o.ephemeral = true;
    o.read_timeout_ms = 1500;
    std::string error;
    ASSERT_EQ(app_.start(o, &error), RC_OK) << error;
    MintRequest m;
    m.batches = {{0, 1}};
    MintResult r;
    ASSERT_EQ(app_.control().mint(m, &r), RC_OK);
    coin_ = r.coins[0];
  }

  int port(int server) { return app_.server_ports()[server]; }

  // Every server still answers a keyed echo over TCP and UDP, proving its key.
  void expect_all_honest() {
    for (int s = 0; s < kSimServers; ++s) {
      for (bool tcp : {true, false}) {
        simtest::HandRequest r;
        r.server = uint8_t(s);
        r.enc_type = 1;
        r.a = {coin_.denomination, coin_.serial,
               simtest::from_hex(app_.control().numbers({coin_.denomination, coin_.serial})[s])};
        std::vector<uint8_t> bytes = simtest::build(&r);
        std::vector<uint8_t> raw = tcp ? simtest::tcp_exchange(port(s), bytes) : simtest::udp_exchange(port(s), bytes);
        simtest::HandResponse got = simtest::read_response(r, raw);
        EXPECT_EQ(got.status, 250) << "server " << s << (tcp ? " TCP" : " UDP");
        EXPECT_TRUE(got.proven) << "server " << s;
      }
    }
  }

  testsupport::TempDir dir_;
  SimApp app_;
  MintedCoin coin_;
};

TEST_F(Garbage, RandomBytesGetNoAnswerOrAWellFramedRefusal) {
  std::mt19937 rng(20261211);
  for (int i = 0; i < 300; ++i) {
    int server = int(rng() % kSimServers);
    std::vector<uint8_t> bytes(rng() % 160);
    for (uint8_t& b : bytes) b = uint8_t(rng());
    // Half of them look like a request to get past the first checks.
    if (i % 2 && bytes.size() >= 32) {
      std::vector<uint8_t> h = header(server, uint16_t(bytes.size() - 32 + rng() % 3), uint8_t(rng() % 10));
      std::copy(h.begin(), h.begin() + 24, bytes.begin());
    }
    send_datagram(port(server), bytes);
    std::vector<uint8_t> answer = send_and_finish(port(server), bytes);
    SCOPED_TRACE(testing::Message() << "input " << i << ", " << bytes.size() << " bytes");
    if (answer.empty()) {
      EXPECT_LT(bytes.size(), 32u) << "only a request without a header goes unanswered";
      continue;
    }
    ASSERT_GE(answer.size(), 32u);
    EXPECT_EQ(answer[0], server);
    EXPECT_NE(answer[2], 250) << "garbage never succeeds";
    uint32_t announced = uint32_t(answer[9]) << 16 | uint32_t(answer[10]) << 8 | answer[11];
    EXPECT_EQ(announced, answer.size() - 32);
  }
  expect_all_honest();
}

TEST_F(Garbage, CutRequestsAreRefusedAsSoonAsTheClientStops) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int status;  // -1: no answer
  };
  std::vector<uint8_t> dual = header(4, 18, 8);           // announces a 64-byte header, sends 32
  std::vector<uint8_t> long_body = header(4, 1000);        // announces 1000 body bytes, sends 20
  long_body.resize(52, '>');
  std::vector<uint8_t> cut_header = header(4, 18);
  cut_header.resize(31);
  std::vector<Case> cases = {
      {"nothing", {}, -1},
      {"10 bytes", std::vector<uint8_t>(10, 1), -1},
      {"31 bytes of a header", cut_header, -1},
      {"a dual-key header cut at 32", dual, 16},
      {"a body shorter than announced", long_body, 16},
      {"a header with no body", header(4, 18), 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto start = Clock::now();
    std::vector<uint8_t> answer = send_and_finish(port(4), c.bytes);
    EXPECT_LT(ms_since(start), 1200) << "a finished client is answered without waiting out the read time-out";
    if (c.status < 0) {
      EXPECT_TRUE(answer.empty());
    } else {
      ASSERT_EQ(answer.size(), 32u);
      EXPECT_EQ(answer[2], c.status);
    }
  }
  expect_all_honest();
}

TEST_F(Garbage, AbsurdLengthsAreRefusedWithoutReservingTheAnnouncedMemory) {
  // Beyond the 64 MiB ceiling: refused at once, nothing more is read.
  std::vector<uint8_t> v2(64, 0);
  v2[0] = 2;
  v2[2] = 3;
  for (int i = 10; i < 14; ++i) v2[i] = 0xFF;
  std::vector<uint8_t> answer = send_and_finish(port(3), v2, 1000);
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[2], 28);
  answer = send_and_finish(port(3), mail_header(3, 0xFFFFFFFFu), 1000);
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[2], 89);

  // Under the ceiling but never sent: each connection may only cost what actually arrived.
  long before = resident_mib();
  std::vector<int> fds;
  for (int i = 0; i < 12; ++i) {
    int fd = connect_tcp(port(i));
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> h = mail_header(i, 60u << 20);
    ASSERT_EQ(send(fd, h.data(), h.size(), MSG_NOSIGNAL), 32);
    fds.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  long during = resident_mib();
  EXPECT_LT(during - before, 200) << "12 connections announcing 60 MiB each reserved " << during - before << " MiB";
  for (int fd : fds) {
    EXPECT_TRUE(wait_closed(fd, 3000)) << "a stalled body is given up after the read time-out";
    close(fd);
  }
  expect_all_honest();
}

TEST_F(Garbage, SilentTricklingAndEndlessClientsAreCutOffInBoundedTime) {
  // Connects and never sends.
  int silent = connect_tcp(port(8));
  // Sends a valid-looking header one byte every 100 ms: each byte alone is within the read
  // time-out, the whole request is not.
  int trickle = connect_tcp(port(9));
  // Sends a whole request, then keeps sending after its answer.
  int endless = connect_tcp(port(10));
  ASSERT_TRUE(silent >= 0 && trickle >= 0 && endless >= 0);
  std::vector<uint8_t> request = header(10, 18);
  request.resize(50, '>');
  ASSERT_EQ(send(endless, request.data(), request.size(), MSG_NOSIGNAL), 50);

  std::vector<uint8_t> slow = header(9, 1000);
  auto start = Clock::now();
  bool trickle_closed = false, endless_closed = false;
  size_t next = 0;
  while (ms_since(start) < 6000 && !(trickle_closed && endless_closed)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!trickle_closed) {
      uint8_t b = next < slow.size() ? slow[next++] : '>';
      trickle_closed = send(trickle, &b, 1, MSG_NOSIGNAL) < 0 || wait_closed(trickle, 1);
    }
    if (!endless_closed) {
      // The answer comes with a half-close; only a refused send shows the server stopped reading.
      std::vector<uint8_t> junk(512, 'x');
      endless_closed = send(endless, junk.data(), junk.size(), MSG_NOSIGNAL) < 0;
    }
  }
  EXPECT_TRUE(wait_closed(silent, 1000)) << "a silent client outlived the read time-out";
  EXPECT_TRUE(trickle_closed) << "a trickling client held its connection past the request's time budget";
  EXPECT_TRUE(endless_closed) << "a client sending after its answer held its connection";
  EXPECT_LT(ms_since(start), 5500);
  close(silent);
  close(trickle);
  close(endless);
  expect_all_honest();
}

TEST_F(Garbage, ControlEndpointOutlastsATricklingClient) {
  int trickle = connect_tcp(app_.control_port());
  ASSERT_GE(trickle, 0);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    const std::string slow = "GET /status HTTP/1.1\r\nX-Pad: ";
    for (size_t i = 0; !done && i < 60; ++i) {
      char c = i < slow.size() ? slow[i] : 'x';
      if (send(trickle, &c, 1, MSG_NOSIGNAL) < 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto start = Clock::now();
  testsupport::HttpReply r = testsupport::http_get(app_.control_port(), "/status", 9000);
  EXPECT_EQ(r.status, 200) << "the endpoint stayed held by a client sending a byte every 200 ms";
  EXPECT_LT(ms_since(start), 8000);
  done = true;
  sender.join();
  close(trickle);
}

}  // namespace
