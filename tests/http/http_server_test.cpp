#include "http/http_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {

// Runs http_send_response on one end of a socket pair and returns every byte the other end got.
std::string send_and_collect(HttpResponse& resp) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      ssize_t n = read(sv[1], buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  http_send_response(sv[0], resp);
  close(sv[0]);
  reader.join();
  close(sv[1]);
  return got;
}

TEST(HttpServerReply, MemoryBodyHasTheFixedHeadAndCorsLines) {
  HttpResponse resp;
  resp.body = "{\"a\":1}";
  EXPECT_EQ(send_and_collect(resp),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 7\r\nConnection: close\r\n"
            "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n\r\n"
            "{\"a\":1}");
}

TEST(HttpServerReply, UnsafeLocationAndHeadersAreDroppedSafeOnesSent) {
  HttpResponse resp;
  resp.status = 302;
  resp.reason = "Found";
  resp.location = "http://x/\r\nSet-Cookie: evil=1";
  resp.extra_headers = {{"X-Ok", "yes"}, {"X-Bad", "a\r\nInjected: 1"}};
  std::string out = send_and_collect(resp);
  EXPECT_EQ(out.find("Location"), std::string::npos);
  EXPECT_EQ(out.find("Injected"), std::string::npos);
  EXPECT_NE(out.find("\r\nX-Ok: yes\r\n"), std::string::npos);

  HttpResponse good;
  good.location = "/api/next";
  EXPECT_NE(send_and_collect(good).find("\r\nLocation: /api/next\r\n"), std::string::npos);
}

TEST(HttpServerReply, FileBodyIsStreamedWholeAndRemovedWhenAsked) {
  testsupport::TempDir tmp;
  std::string data;
  for (int i = 0; i < 200000; ++i) data += static_cast<char>(i * 7);
  std::string path = tmp.sub("body.bin");
  ASSERT_TRUE(testsupport::write_file(path, data));
  HttpResponse resp;
  resp.content_type = "application/octet-stream";
  resp.file_path = path;
  resp.delete_file_after_send = true;
  std::string out = send_and_collect(resp);
  size_t sep = out.find("\r\n\r\n");
  ASSERT_NE(sep, std::string::npos);
  EXPECT_NE(out.find("Content-Length: 200000\r\n"), std::string::npos);
  EXPECT_TRUE(out.substr(sep + 4) == data);
  EXPECT_FALSE(testsupport::file_exists(path));
}

TEST(HttpServerReply, FileBodyThatCannotBeOpenedIsA500BeforeAnyHead) {
  HttpResponse resp;
  resp.file_path = "/nonexistent/definitely/missing.bin";
  std::string out = send_and_collect(resp);
  EXPECT_EQ(out.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << out;
  EXPECT_EQ(out.find("200 OK"), std::string::npos);
  EXPECT_NE(out.find("{\"error\":true,\"message\":\"File body could not be opened\",\"code\":500}"), std::string::npos);
}

TEST(HttpServerReply, ClientThatStopsReadingCannotHoldTheServerPastTheSendTimeout) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  timeval tv{0, 200000};
  ASSERT_EQ(setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
  HttpResponse resp;
  resp.body.assign(32 * 1024 * 1024, 'x');  // far more than the socket buffers hold
  const auto t0 = std::chrono::steady_clock::now();
  http_send_response(sv[0], resp);  // nobody reads sv[1]
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 3000);
  close(sv[0]);
  close(sv[1]);
}

struct TokenCase {
  const char* configured;
  const char* presented;
  bool equal;
};

TEST(HttpServerToken, ComparisonTable) {
  const TokenCase cases[] = {
      {"abc", "abc", true}, {"abc", "ab", false}, {"abc", "abcd", false}, {"abc", "", false},
      {"abc", "abd", false}, {"abc", "ABC", false}, {"", "", true},
  };
  for (const auto& c : cases) EXPECT_EQ(http_token_equals(c.configured, c.presented), c.equal) << c.presented;
}

TEST(HttpServerToken, CheckPassesWithoutConfiguredTokenAndRefusesMismatchWith401) {
  HttpRequest req;
  HttpResponse resp;
  http_set_api_token("");
  EXPECT_TRUE(http_check_session_token(req, resp));
  http_set_api_token("s3cret");
  req.bearer_token = "s3cre";
  EXPECT_FALSE(http_check_session_token(req, resp));
  EXPECT_EQ(resp.status, 401);
  EXPECT_EQ(resp.reason, "Unauthorized");
  EXPECT_EQ(resp.body, "{\"error\":true,\"message\":\"Missing or invalid session token\",\"code\":401}");
  req.bearer_token = "s3cret";
  HttpResponse ok;
  EXPECT_TRUE(http_check_session_token(req, ok));
  http_set_api_token("");
}

TEST(HttpServerRoutes, RegistrationStopsAtTheTableSize) {
  HttpServer server;
  http_server_prepare(server, 0);
  for (size_t i = 0; i < HTTP_MAX_ROUTES; ++i) EXPECT_EQ(http_server_register(server, "/r" + std::to_string(i), nullptr), 0);
  EXPECT_EQ(http_server_register(server, "/one-too-many", nullptr), 1);
  EXPECT_EQ(server.routes.size(), HTTP_MAX_ROUTES);
}

}  // namespace
