#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http/event_stream.h"
#include "http/sse_client.h"
#include "support/test_support.h"

namespace {

bool wait_for_clients(int n, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (event_stream_client_count() == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return event_stream_client_count() == n;
}

class EventStream : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("RESTCORE_TEST_SSE_KEEPALIVE_MS", "300", 1);
    port = testsupport::free_tcp_port();
    ASSERT_EQ(event_stream_start(static_cast<uint16_t>(port)), RC_OK);
  }
  void TearDown() override {
    event_stream_stop();
    unsetenv("RESTCORE_TEST_SSE_KEEPALIVE_MS");
  }
  int port = 0;
};

}  // namespace

TEST_F(EventStream, ClientReceivesHeadBroadcastFrameAndKeepAlive) {
  sse_test::Client c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /anything HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(c.read_until(": connected\n\n", 3000));
  EXPECT_EQ(c.received, sse_test::kStreamHead);
  EXPECT_EQ(sse_test::kStreamHead.size(), 183u);
  ASSERT_TRUE(wait_for_clients(1, 2000));

  const std::string data = "{\"guid\":\"00112233445566778899aabbccddeeff\",\"sender_sn\":77}";
  event_stream_broadcast("new-mail", data.c_str());
  const std::string frame = "event: new-mail\ndata: " + data + "\n\n";
  ASSERT_TRUE(c.read_until(frame, 2000));
  ASSERT_TRUE(c.read_until(": keepalive\n\n", 3000));
  // Frames and keep-alives arrive whole, never interleaved.
  std::string rest = c.received.substr(sse_test::kStreamHead.size());
  size_t at = 0;
  while (at < rest.size()) {
    if (rest.compare(at, frame.size(), frame) == 0) at += frame.size();
    else if (rest.compare(at, 13, ": keepalive\n\n") == 0) at += 13;
    else FAIL() << "unexpected bytes: " << rest.substr(at);
  }
}

TEST_F(EventStream, NinthClientGetsTheHeadAndIsClosed) {
  std::vector<std::unique_ptr<sse_test::Client>> clients;
  for (int i = 0; i < SSE_MAX_CLIENTS; ++i) {
    clients.push_back(std::make_unique<sse_test::Client>());
    ASSERT_TRUE(clients.back()->open_stream(port));
    ASSERT_TRUE(clients.back()->read_until(": connected\n\n", 3000));
  }
  ASSERT_TRUE(wait_for_clients(SSE_MAX_CLIENTS, 2000));
  sse_test::Client ninth;
  ASSERT_TRUE(ninth.open_stream(port));
  EXPECT_TRUE(ninth.wait_closed(3000));
  EXPECT_EQ(ninth.received, sse_test::kStreamHead);
  EXPECT_EQ(event_stream_client_count(), SSE_MAX_CLIENTS);
  event_stream_broadcast("new-mail", "{}");
  for (auto& c : clients) EXPECT_TRUE(c->read_until("event: new-mail\ndata: {}\n\n", 2000));
}

TEST_F(EventStream, FrameOf2048BytesOrALineBreakIsSkipped) {
  sse_test::Client c;
  ASSERT_TRUE(c.open_stream(port));
  ASSERT_TRUE(c.read_until(": connected\n\n", 3000));
  ASSERT_TRUE(wait_for_clients(1, 2000));
  const size_t overhead = std::string("event: e\ndata: \n\n").size();
  std::string too_big(2048 - overhead, 'x');
  std::string fits(2047 - overhead, 'y');
  event_stream_broadcast("e", too_big.c_str());
  event_stream_broadcast("e", "a\n\nevent: forged");
  event_stream_broadcast("e", fits.c_str());
  const std::string frame = "event: e\ndata: " + fits + "\n\n";
  ASSERT_EQ(frame.size(), 2047u);
  ASSERT_TRUE(c.read_until(frame, 2000));
  std::string after_head = c.received.substr(sse_test::kStreamHead.size());
  for (size_t k; (k = after_head.find(": keepalive\n\n")) != std::string::npos;) after_head.erase(k, 13);
  EXPECT_EQ(after_head.find("xxxx"), std::string::npos);
  EXPECT_EQ(after_head.find("forged"), std::string::npos);
  EXPECT_EQ(after_head.substr(0, frame.size()), frame);
}

TEST_F(EventStream, SilentClientIsClosedWithoutAReply) {
  sse_test::Client c;
  ASSERT_TRUE(c.connect(port));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(c.wait_closed(5000));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1500));
  EXPECT_EQ(c.received, "");
  EXPECT_EQ(event_stream_client_count(), 0);
}

TEST_F(EventStream, ClientThatWentAwayIsDroppedAtTheNextKeepAlive) {
  sse_test::Client c;
  ASSERT_TRUE(c.open_stream(port));
  ASSERT_TRUE(c.read_until(": connected\n\n", 3000));
  ASSERT_TRUE(wait_for_clients(1, 2000));
  c.close();
  EXPECT_TRUE(wait_for_clients(0, 5000));
}

TEST_F(EventStream, StartIsIdempotentAndABusyPortFails) {
  EXPECT_EQ(event_stream_start(static_cast<uint16_t>(port)), RC_OK);
  EXPECT_TRUE(event_stream_running());
  event_stream_stop();
  EXPECT_FALSE(event_stream_running());
  event_stream_broadcast("new-mail", "{}");  // not running: nothing happens
  // Take the port with a listener of our own: the stream must refuse cleanly.
  sse_test::Client probe;
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  EXPECT_EQ(event_stream_start(static_cast<uint16_t>(port)), RC_ERROR);
  EXPECT_FALSE(event_stream_running());
  ::close(fd);
}

// Shutdown runs this on the main thread: it must not sit out a client's request time-out (2 s)
// nor a poll step of the acceptor, and every client it held must see its connection close.
TEST_F(EventStream, StopEndsAtOnceWhileAClientIsStillSendingItsRequest) {
  sse_test::Client member;
  ASSERT_TRUE(member.open_stream(port));
  ASSERT_TRUE(member.read_until(": connected\n\n", 3000));
  ASSERT_TRUE(wait_for_clients(1, 2000));
  sse_test::Client slow;
  ASSERT_TRUE(slow.connect(port));
  ASSERT_TRUE(slow.send("GET /events HTTP/1.1\r\n"));  // no blank line yet: the acceptor waits
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  auto start = std::chrono::steady_clock::now();
  event_stream_stop();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(1000));
  EXPECT_FALSE(event_stream_running());
  EXPECT_TRUE(member.wait_closed(2000));
  EXPECT_TRUE(slow.wait_closed(2000));
  EXPECT_EQ(slow.received, "");
  // A stopped stream starts again on the same port.
  ASSERT_EQ(event_stream_start(static_cast<uint16_t>(port)), RC_OK);
  sse_test::Client again;
  ASSERT_TRUE(again.open_stream(port));
  EXPECT_TRUE(again.read_until(": connected\n\n", 3000));
}
