// The loopback HTTP server through the real binary: every refusal the server produces itself, the
// silent closes, the preflight bytes, the size limit at its edge, half-closed requests, the
// session token, log redaction and shutdown.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "e2e/service_fixture.h"

namespace {

using testsupport::HttpReply;

// Read time-out of the service under test, shortened from 15 s.
constexpr int kReadTimeoutMs = 1000;

e2e::ServiceOptions fast_timeouts() {
  e2e::ServiceOptions o;
  o.env["RESTCORE_TEST_HTTP_READ_TIMEOUT_MS"] = std::to_string(kReadTimeoutMs);
  return o;
}

std::string error_body(int code, const std::string& message) {
  return "{\"error\":true,\"message\":\"" + message + "\",\"code\":" + std::to_string(code) + "}";
}

// Sends `bytes`, half-closes the connection and reads until the server closes it.
std::string half_closed_request(int port, const std::string& bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "";
  }
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  std::string out;
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 5000) > 0) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

// A POST whose head and body together are exactly `total` bytes; the body holds no '=' so it
// forms no parameters.
std::string request_of_size(size_t total) {
  const std::string prefix = "POST /api/program/echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: ";
  for (size_t body = total; body > 0; --body) {
    std::string head = prefix + std::to_string(body) + "\r\n\r\n";
    if (head.size() + body == total) return head + std::string(body, 'x');
  }
  return "";
}

struct RefusalCase {
  std::string name;
  std::string bytes;
  int status;
  std::string reason;
  std::string message;
};

TEST(HttpServerE2E, ServerLevelRefusalsAnswerTheirStatusReasonAndJsonError) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start(fast_timeouts())) << svc.output();
  std::string many;
  for (int i = 0; i < 81; ++i) many += (i ? "&p" : "p") + std::to_string(i) + "=1";
  const RefusalCase cases[] = {
      {"read time-out after some bytes", "GET /api/program/echo HTTP/1.1\r\nHost: x\r\n", 408, "Request Timeout",
       "Request read timed out"},
      {"malformed Content-Length", "POST /api/program/echo HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n", 413,
       "Payload Too Large", "Invalid or oversized Content-Length"},
      {"oversized Content-Length", "POST /api/program/echo HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", 413,
       "Payload Too Large", "Invalid or oversized Content-Length"},
      {"head plus body over the limit", "POST /api/program/echo HTTP/1.1\r\nContent-Length: 65500\r\n\r\n", 413,
       "Payload Too Large", "Request body too large"},
      {"81 parameters", "GET /api/program/echo?" + many + " HTTP/1.1\r\n\r\n", 413, "Payload Too Large",
       "Too many request parameters"},
      {"long path", "GET /" + std::string(4096, 'p') + " HTTP/1.1\r\n\r\n", 414, "URI Too Long", "Request path too long"},
      {"long query", "GET /x?" + std::string(4096, 'q') + " HTTP/1.1\r\n\r\n", 414, "URI Too Long",
       "Query string too long"},
      {"long URL", "GET /" + std::string(2100, 'p') + "?" + std::string(2100, 'q') + " HTTP/1.1\r\n\r\n", 414,
       "URI Too Long", "Request URL too long"},
      {"malformed request line", "NONSENSE\r\n\r\n", 400, "Bad Request", "Malformed request line"},
      {"method too long", "SIXTEENCHARSLONG /api/program/echo HTTP/1.1\r\n\r\n", 400, "Bad Request",
       "Invalid HTTP method"},
      {"unknown path", "GET /api/no/such/route HTTP/1.1\r\n\r\n", 404, "Not Found", "Endpoint not found"},
      {"trailing slash is another path", "GET /api/program/echo/ HTTP/1.1\r\n\r\n", 404, "Not Found",
       "Endpoint not found"},
  };
  for (const auto& c : cases) {
    HttpReply r = svc.raw(c.bytes, 5000);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.raw;
    EXPECT_EQ(r.head.substr(0, r.head.find("\r\n")),
              "HTTP/1.1 " + std::to_string(c.status) + " " + c.reason)
        << c.name;
    EXPECT_EQ(r.body, error_body(c.status, c.message)) << c.name;
    EXPECT_NE(r.head.find("Connection: close"), std::string::npos) << c.name;
  }
  // Still serving after all of them.
  EXPECT_EQ(svc.get("/api/program/echo").status, 200);
  EXPECT_EQ(svc.stop(), 0);
}

TEST(HttpServerE2E, DrippingClientIsCutOffAtTheReadDeadline) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start(fast_timeouts())) << svc.output();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(svc.port()));
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const auto t0 = std::chrono::steady_clock::now();
  // One byte every 300 ms never lets a single receive time out; only the overall deadline ends it.
  const std::string request = "GET /api/program/echo HTTP/1.1\r\n";
  std::string reply;
  char buf[4096];
  for (char c : request) {
    if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 300) > 0) break;
  }
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 3000) > 0) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_EQ(reply.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << reply;
  EXPECT_LT(waited.count(), kReadTimeoutMs + 1500);
  EXPECT_EQ(svc.stop(), 0);
}

TEST(HttpServerE2E, FaviconAndIdleOrSilentClientsGetNoReply) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start(fast_timeouts())) << svc.output();
  EXPECT_EQ(svc.get("/favicon.ico").raw, "");

  const auto t0 = std::chrono::steady_clock::now();
  HttpReply idle = svc.raw("", 8000);  // connects, sends nothing
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_EQ(idle.raw, "");
  EXPECT_GE(waited.count(), kReadTimeoutMs - 100);
  EXPECT_LT(waited.count(), 6000) << "the idle client was not dropped after the read time-out";

  EXPECT_EQ(half_closed_request(svc.port(), ""), "");  // closes before sending a byte
  EXPECT_EQ(svc.get("/api/program/echo").status, 200);
  EXPECT_EQ(svc.stop(), 0);
  // Dropping an idle client is routine: no warning and no refusal for it.
  const std::string log = svc.main_log();
  EXPECT_EQ(log.find("HttpRead:"), std::string::npos) << log;
  EXPECT_EQ(log.find("rejecting request"), std::string::npos) << log;
}

TEST(HttpServerE2E, PreflightGetsTheFixed204ReplyOnAnyPath) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  const std::string expected =
      "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
      "Access-Control-Allow-Headers: Content-Type, Authorization\r\nAccess-Control-Max-Age: 86400\r\n"
      "Content-Length: 0\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(expected.size(), 250u);
  EXPECT_EQ(svc.raw("OPTIONS /anything/at/all HTTP/1.1\r\nOrigin: http://x\r\n\r\n").raw, expected);
  EXPECT_EQ(svc.raw("OPTIONS /api/system/shutdown HTTP/1.1\r\n\r\n").raw, expected);
  EXPECT_EQ(svc.stop(), 0);
}

TEST(HttpServerE2E, RequestOfExactlyTheLimitIsServedAndOneByteMoreRefused) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  std::string exact = request_of_size(65535);
  ASSERT_EQ(exact.size(), 65535u);
  HttpReply ok = svc.raw(exact);
  EXPECT_EQ(ok.status, 200) << ok.raw.substr(0, 200);
  std::string over = request_of_size(65536);
  ASSERT_EQ(over.size(), 65536u);
  HttpReply refused = svc.raw(over);
  EXPECT_EQ(refused.status, 413) << refused.raw.substr(0, 200);
  EXPECT_EQ(refused.body, error_body(413, "Request body too large"));
  EXPECT_EQ(svc.stop(), 0);
}

TEST(HttpServerE2E, HalfClosedRequestWithoutBlankLineIsServed) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  std::string reply = half_closed_request(svc.port(), "GET /api/program/echo HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("\"success\":true"), std::string::npos);
  EXPECT_EQ(svc.stop(), 0);
}

struct TokenCase {
  std::string authorization;  // header line, empty for none
  bool refused;
};

TEST(HttpServerE2E, ObjectTransferRoutesRefuseAWrongOrMissingBearerToken) {
  const TokenCase cases[] = {
      {"", true},
      {"Authorization: Bearer ab", true},
      {"Authorization: Bearer abcd", true},
      {"Authorization: Bearer ", true},
      {"Authorization: Basic abc", true},
      {"Authorization: Bearer abc", false},
      {"authorization:   BEARER   abc  ", false},
  };
  // The token may come from the command line or from PELKO_API_TOKEN.
  for (bool from_env : {false, true}) {
    e2e::Service svc;
    e2e::ServiceOptions o;
    if (from_env)
      o.env["PELKO_API_TOKEN"] = "abc";
    else
      o.args = {"-api-token", "abc"};
    ASSERT_TRUE(svc.start(o)) << svc.output();
    for (const auto& c : cases) {
      std::string req = "POST /api/pelko/net/objects/capabilities HTTP/1.1\r\nContent-Length: 0\r\n";
      if (!c.authorization.empty()) req += c.authorization + "\r\n";
      HttpReply r = svc.raw(req + "\r\n");
      if (c.refused) {
        EXPECT_EQ(r.status, 401) << c.authorization;
        EXPECT_EQ(r.head.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << r.head;
        EXPECT_EQ(r.body, error_body(401, "Missing or invalid session token")) << c.authorization;
      } else {
        EXPECT_NE(r.status, 401) << c.authorization;
        EXPECT_NE(r.status, 0) << c.authorization;
      }
    }
    // Routes outside the object transfers never look at the token.
    EXPECT_EQ(svc.get("/api/program/echo").status, 200);
    EXPECT_EQ(svc.stop(), 0);
  }
}

TEST(HttpServerE2E, WithoutConfiguredTokenObjectTransferRoutesDoNotAskForOne) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  HttpReply r = svc.raw("POST /api/pelko/net/objects/capabilities HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_NE(r.status, 401);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(svc.stop(), 0);
}

TEST(HttpServerE2E, SecretParametersNeverReachTheLog) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  EXPECT_EQ(svc.get("/api/program/echo?wallet=W1&password=hunter2&locker_key=KEY-777&An=0f0f").status, 200);
  // With debug=1 the parameters are logged one by one too.
  EXPECT_EQ(svc.post("/api/program/echo?debug=1", "seed=sprout42&wallet=W2").status, 200);
  EXPECT_EQ(svc.stop(), 0);
  const std::string log = svc.main_log();
  EXPECT_NE(log.find("HttpRequest: GET /api/program/echo ?wallet=W1&password=[redacted]&locker_key=[redacted]&An=[redacted]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("HttpRequest: param seed=[redacted]"), std::string::npos) << log;
  EXPECT_NE(log.find("HttpRequest: param wallet=W2"), std::string::npos) << log;
  for (const char* secret : {"hunter2", "KEY-777", "0f0f", "sprout42"})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST(HttpServerE2E, ShutdownNeedsPostThenRepliesAndExitsCleanly) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start()) << svc.output();
  HttpReply get = svc.get("/api/system/shutdown");
  EXPECT_EQ(get.status, 405);
  EXPECT_EQ(get.head.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << get.head;
  EXPECT_EQ(get.body, error_body(405, "Use POST for shutdown"));
  EXPECT_TRUE(svc.running());

  HttpReply r = svc.post("/api/system/shutdown");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            "{\"command\":\"shutdown\",\"success\":true,\"message\":\"Password deleted from RAM. Core is shutting "
            "down.\",\"key_set\":false,\"key_state\":\"none\"}");
  EXPECT_EQ(svc.wait_exit(10000), 0);
  EXPECT_NE(svc.output().find("\nZorbit REST Core shutdown complete.\n"), std::string::npos) << svc.output();
  EXPECT_NE(svc.main_log().find("SHUTDOWN: password cleared from RAM; stopping server for graceful process exit"),
            std::string::npos);
  EXPECT_FALSE(testsupport::wait_for_port(svc.port(), 200));
}

}  // namespace
