#include "net/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/kovra_protocol.h"
#include "runtime/data_root.h"
#include "support/loopback_servers.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::LoopbackResponder;

// Reads one version 1 request (its 16-bit body length, or 32-bit for mail content).
Bytes read_request(int fd) {
  Bytes h(32);
  size_t got = 0;
  while (got < 32) {
    ssize_t n = ::recv(fd, h.data() + got, 32 - got, 0);
    if (n <= 0) return {};
    got += static_cast<size_t>(n);
  }
  size_t body = kovra::uses_mail_framing(h.data(), h.size())
                    ? (size_t(h[10]) << 24 | size_t(h[11]) << 16 | size_t(h[12]) << 8 | h[13])
                    : (size_t(h[22]) << 8 | h[23]);
  Bytes b(body);
  got = 0;
  while (got < body) {
    ssize_t n = ::recv(fd, b.data() + got, body - got, 0);
    if (n <= 0) return {};
    got += static_cast<size_t>(n);
  }
  h.insert(h.end(), b.begin(), b.end());
  return h;
}

Bytes response_header(uint8_t status, uint32_t body24) {
  Bytes r(32, 0);
  r[2] = status;
  r[9] = static_cast<uint8_t>(body24 >> 16);
  r[10] = static_cast<uint8_t>(body24 >> 8);
  r[11] = static_cast<uint8_t>(body24);
  return r;
}

void send_all(int fd, const Bytes& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// Waits until the client closes its end (so a silent responder never returns first).
void hold_until_client_closes(int fd) {
  char c;
  while (::recv(fd, &c, 1, 0) > 0) {
  }
}

Bytes echo_request(uint8_t group = 0, uint8_t command = 0) {
  Bytes r(50, 0);
  r[0] = 1;
  r[3] = 3;
  r[4] = group;
  r[5] = command;
  r[7] = 6;
  r[8] = 1;
  r[23] = 18;
  r[48] = r[49] = 0x3E;
  return r;
}

Bytes mail_request(uint8_t command) {
  Bytes r(50, 0);
  r[0] = 0;
  r[4] = 6;
  r[5] = command;
  r[7] = 6;
  r[9] = 1;
  r[13] = 18;
  r[22] = r[23] = 0xFF;
  r[48] = r[49] = 0x3E;
  return r;
}

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Points servers 0.. at the given ports (the rest at port 1, where nothing listens) and brings
// the transport up in the server role (no discovery).
class Transport : public ::testing::Test {
 protected:
  void route(const std::vector<int>& ports, const std::string& host_of_last = "") {
    set_data_root(dir_.path());
    std::string text;
    for (int i = 0; i < 25; ++i) {
      int port = i < static_cast<int>(ports.size()) ? ports[i] : 1;
      std::string host = (i == 24 && !host_of_last.empty()) ? host_of_last : "127.0.0.1";
      text += host + ":" + std::to_string(port) + ",K\n";
    }
    ASSERT_TRUE(testsupport::write_file(dir_.sub("kovra_ips.csv"), text));
    ASSERT_EQ(transport_init(true), RC_OK);
  }
  void TearDown() override {
    transport_cleanup();
    set_data_root("");
  }
  testsupport::TempDir dir_;
};

TEST_F(Transport, TcpRequestGetsWholeResponseAndCountsASuccess) {
  LoopbackResponder r([](int fd) {
    Bytes req = read_request(fd);
    if (req.size() != 50) return;
    Bytes resp = response_header(250, 3);
    resp.insert(resp.end(), {0xAA, 0xBB, 0xCC});
    send_all(fd, resp);
  });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  ASSERT_EQ(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 2000, 5, 0, &res), RC_OK) << res.error_text;
  EXPECT_TRUE(res.got_reply);
  ASSERT_EQ(res.response.size(), 35u);
  EXPECT_EQ(res.response[2], 250);
  EXPECT_EQ(res.response[34], 0xCC);
  EXPECT_EQ(server_stats(0).success_count, 1u);
  EXPECT_EQ(transport_active_sockets(), 0);
}

TEST_F(Transport, SilentServerTimesOut) {
  LoopbackResponder r([](int fd) { hold_until_client_closes(fd); });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  uint64_t t0 = now_ms();
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 300, 0, 0, &res), RC_TIMEOUT);
  uint64_t spent = now_ms() - t0;
  EXPECT_TRUE(res.timed_out);
  EXPECT_FALSE(res.got_reply);
  EXPECT_EQ(res.error_text, "Timeout waiting for response");
  EXPECT_GE(res.elapsed_ms, 290u);
  EXPECT_LT(spent, 3000u);
  ServerStats s = server_stats(0);
  EXPECT_EQ(s.timeout_count, 1u);
  EXPECT_FALSE(s.is_available);
}

TEST_F(Transport, CancelFromAnotherThreadEndsABlockedReceive) {
  LoopbackResponder r([](int fd) { hold_until_client_closes(fd); });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  std::thread canceller([] {
    // Cancel once the socket is registered (connected and waiting for the answer).
    for (int i = 0; i < 200 && transport_active_sockets() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    transport_get()->cancel(4242);
  });
  uint64_t t0 = now_ms();
  ResultCode rc = transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 20000, 4242, 0, &res);
  canceller.join();
  EXPECT_EQ(rc, RC_NETWORK);
  EXPECT_FALSE(res.timed_out);
  EXPECT_LT(now_ms() - t0, 5000u);
  EXPECT_EQ(transport_active_sockets(), 0);
}

// A listener that never accepts, with its backlog filled: further connects stay pending.
class FullListener {
 public:
  FullListener() {
    sockaddr_in a{};
    fd_ = testsupport::bind_loopback(SOCK_STREAM, &port_, &a);
    ::listen(fd_, 0);
    for (int i = 0; i < 8; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~FullListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST_F(Transport, PendingConnectTimesOutOrIsCancelled) {
  FullListener full;
  route({full.port()});
  Bytes req = echo_request();
  SendResult res;
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 300, 0, 0, &res), RC_TIMEOUT);
  EXPECT_TRUE(res.timed_out);
  EXPECT_EQ(res.error_text, "Connection timeout to 127.0.0.1:" + std::to_string(full.port()));

  std::thread canceller([] {
    for (int i = 0; i < 200 && transport_active_sockets() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    transport_get()->cancel(99);
  });
  uint64_t t0 = now_ms();
  ResultCode rc = transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 15000, 99, 0, &res);
  canceller.join();
  EXPECT_EQ(rc, RC_NETWORK);
  EXPECT_LT(now_ms() - t0, 3000u);
  EXPECT_EQ(transport_active_sockets(), 0);
}

TEST_F(Transport, RequestStartingAfterItsCallWasCancelledEndsAtOnce) {
  LoopbackResponder r([](int fd) { hold_until_client_closes(fd); });
  route({r.port()});
  transport_get()->cancel(31337);
  SendResult res;
  Bytes req = echo_request();
  uint64_t t0 = now_ms();
  for (int transport : {TRANSPORT_TCP, TRANSPORT_UDP})
    EXPECT_EQ(transport_get()->send(0, transport, req.data(), req.size(), 5000, 31337, 0, &res), RC_NETWORK);
  EXPECT_LT(now_ms() - t0, 1000u);
  EXPECT_EQ(res.error_text, "Request cancelled");
}

TEST_F(Transport, PeerClosingMidBodyIsAnError) {
  LoopbackResponder r([](int fd) {
    read_request(fd);
    Bytes resp = response_header(250, 100);
    resp.insert(resp.end(), 10, 0x11);
    send_all(fd, resp);
  });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 2000, 0, 0, &res), RC_NETWORK);
  EXPECT_FALSE(res.got_reply);
  EXPECT_TRUE(res.response.empty());
  EXPECT_EQ(res.error_text, "Connection closed by server while reading response body (10/100 bytes)");
  EXPECT_EQ(server_stats(0).error_count, 1u);
}

TEST_F(Transport, ResponseLargerThanTheLimitIsRefused) {
  struct Case {
    Bytes request;
    Bytes header;
    uint64_t limit;
    ResultCode rc;
    const char* text;
  };
  Bytes mail_huge(32, 0);
  mail_huge[8] = 1;
  mail_huge[9] = 0x10;  // 32-bit body length 0x10000000 (256 MiB)
  Bytes mail_bad_framing(32, 0);
  mail_bad_framing[8] = 2;
  std::vector<Case> cases = {
      {echo_request(), response_header(250, 100), 100, RC_ERROR, "TCP response exceeds limit (132 > 100 bytes)"},
      {mail_request(80), mail_huge, 0, RC_ERROR, "TCP response exceeds limit (268435488 > 67108864 bytes)"},
      {mail_request(80), mail_bad_framing, 0, RC_ERROR, "Unsupported Pelko response framing version"},
      {echo_request(), response_header(250, 100), 0, RC_OK, ""},  // 0: the 64 MiB ceiling
  };
  for (const Case& c : cases) {
    Bytes header = c.header;
    LoopbackResponder r([header](int fd) {
      read_request(fd);
      Bytes resp = header;
      if (header[8] == 0) resp.insert(resp.end(), 100, 0x22);
      send_all(fd, resp);
      hold_until_client_closes(fd);
    });
    route({r.port()});
    SendResult res;
    EXPECT_EQ(transport_get()->send(0, TRANSPORT_TCP, c.request.data(), c.request.size(), 2000, 0, c.limit, &res), c.rc)
        << c.text;
    EXPECT_EQ(res.error_text, c.text);
    transport_cleanup();
  }
}

TEST_F(Transport, BadServerIdHostNameAndRefusedConnection) {
  route({}, "localhost");
  SendResult res;
  Bytes req = echo_request();
  EXPECT_EQ(transport_get()->send(25, TRANSPORT_TCP, req.data(), req.size(), 500, 0, 0, &res), RC_INVALID_PARAM);
  EXPECT_EQ(res.error_text, "Invalid KOVRA ID: 25");
  EXPECT_EQ(transport_get()->send(24, TRANSPORT_TCP, req.data(), req.size(), 500, 0, 0, &res), RC_NETWORK);
  EXPECT_EQ(res.error_text, "DNS resolution failed for localhost");
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 500, 0, 0, &res), RC_NETWORK);
  EXPECT_FALSE(res.timed_out);
  EXPECT_EQ(server_stats(0).error_count, 1u);
}

TEST_F(Transport, UdpOneDatagramEachWay) {
  LoopbackResponder r([](int fd, const sockaddr_in& from, const Bytes& dgram) {
    Bytes resp = response_header(dgram.size() == 50 ? 250 : 1, 0);
    ::sendto(fd, resp.data(), resp.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  ASSERT_EQ(transport_get()->send(0, TRANSPORT_UDP, req.data(), req.size(), 1000, 0, 0, &res), RC_OK) << res.error_text;
  ASSERT_EQ(res.response.size(), 32u);
  EXPECT_EQ(res.response[2], 250);
}

TEST_F(Transport, UdpDatagramFromAnotherSenderIsIgnored) {
  LoopbackResponder r([](int fd, const sockaddr_in& from, const Bytes&) {
    int stray = ::socket(AF_INET, SOCK_DGRAM, 0);  // same host, other port: not the server asked
    Bytes fake = response_header(242, 0);
    ::sendto(stray, fake.data(), fake.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    ::close(stray);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Bytes real = response_header(250, 0);
    ::sendto(fd, real.data(), real.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  ASSERT_EQ(transport_get()->send(0, TRANSPORT_UDP, req.data(), req.size(), 1000, 0, 0, &res), RC_OK) << res.error_text;
  EXPECT_EQ(res.response[2], 250);
}

TEST_F(Transport, UdpReplyOver4096BytesIsAnErrorNotATruncation) {
  LoopbackResponder r([](int fd, const sockaddr_in& from, const Bytes&) {
    Bytes resp = response_header(250, 4097 - 32);
    resp.resize(4097, 0x33);
    ::sendto(fd, resp.data(), resp.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  });
  route({r.port()});
  SendResult res;
  Bytes req = echo_request();
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_UDP, req.data(), req.size(), 1000, 0, 0, &res), RC_ERROR);
  EXPECT_FALSE(res.got_reply);
  EXPECT_TRUE(res.response.empty());
  EXPECT_EQ(res.error_text, "UDP response from 127.0.0.1:" + std::to_string(r.port()) + " too large (4097 > 4096 bytes)");
}

TEST_F(Transport, UdpSilenceIsATimeoutAndZeroMeansTheDefault) {
  LoopbackResponder r([](int, const sockaddr_in&, const Bytes&) {});
  route({r.port()});
  transport_set_default_timeout(250);
  SendResult res;
  Bytes req = echo_request();
  EXPECT_EQ(transport_get()->send(0, TRANSPORT_UDP, req.data(), req.size(), 0, 0, 0, &res), RC_TIMEOUT);
  EXPECT_TRUE(res.timed_out);
  EXPECT_GE(res.elapsed_ms, 240u);
  EXPECT_LT(res.elapsed_ms, 2000u);
  EXPECT_EQ(res.error_text, "Timeout waiting for UDP response from 127.0.0.1:" + std::to_string(r.port()));
  transport_set_default_timeout(5000);
}

TEST_F(Transport, FullRegistryStillCompletesTheRequest) {
  // 257 calls in flight at once: the last one cannot be registered, and still gets its answer.
  std::atomic<int> waiting{0};
  std::atomic<bool> release{false};
  LoopbackResponder r([&](int fd) {
    read_request(fd);
    ++waiting;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    send_all(fd, response_header(250, 0));
  });
  route({r.port()});
  std::vector<std::thread> calls;
  std::atomic<int> ok{0};
  for (int i = 0; i < 257; ++i) {
    calls.emplace_back([&, i] {
      SendResult res;
      Bytes req = echo_request();
      if (transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 20000, 1000 + i, 0, &res) == RC_OK) ++ok;
    });
  }
  for (int i = 0; i < 2000 && waiting < 257; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(transport_active_sockets(), 256);
  release = true;
  for (auto& t : calls) t.join();
  EXPECT_EQ(ok.load(), 257);
  EXPECT_EQ(transport_active_sockets(), 0);
}

TEST(TransportChoice, ApiNumbersMapToTransports) {
  EXPECT_EQ(rest_transport_choice(0), TRANSPORT_TCP);
  EXPECT_EQ(rest_transport_choice(1), TRANSPORT_UDP);
  EXPECT_EQ(rest_transport_choice(7), TRANSPORT_TCP);
}

}  // namespace
