#include "runtime/http_get.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace {
// A one-connection HTTP server on 127.0.0.1: records the request and sends `reply` (or nothing,
// holding the connection, when `reply` is empty).
class OneShotServer {
 public:
  explicit OneShotServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    done_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  std::string request() {
    while (!served_ && !done_) usleep(1000);
    return request_;
  }

 private:
  void serve() {
    int c = accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      request_.append(buf, static_cast<size_t>(n));
    }
    served_ = true;
    if (reply_.empty()) {
      while (!done_) usleep(10000);
    } else {
      ssize_t ignored = write(c, reply_.data(), reply_.size());
      (void)ignored;
    }
    close(c);
  }

  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string request_;
  std::atomic<bool> served_{false};
  std::atomic<bool> done_{false};
};

std::string url_for(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
}  // namespace

TEST(HttpGet, NotFoundWithBodyStillReturnsTheBody) {
  OneShotServer server("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot here!");
  std::string body;
  EXPECT_EQ(http_get(url_for(server.port(), "/service/list?x=1"), nullptr, &body), RC_OK);
  EXPECT_EQ(body, "not here!");
  std::string req = server.request();
  EXPECT_EQ(req.rfind("GET /service/list?x=1 HTTP/1.1\r\n", 0), 0u) << req;
  EXPECT_NE(req.find("User-Agent: VeldorCoreHttpClient/1.0\r\n"), std::string::npos) << req;
}

TEST(HttpGet, FailuresReportTheirCodes) {
  {
    OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    std::string body;
    EXPECT_EQ(http_get(url_for(server.port(), "/"), nullptr, &body), RC_ERROR);
  }
  {
    OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 20\r\nConnection: close\r\n\r\n01234567890123456789");
    std::string body;
    EXPECT_EQ(http_get(url_for(server.port(), "/"), nullptr, &body, 10), RC_MEMORY);
    EXPECT_TRUE(body.empty());
  }
  {
    // Nothing listens on a port that was free a moment ago.
    std::string body;
    EXPECT_EQ(http_get(url_for(testsupport::free_tcp_port(), "/"), nullptr, &body), RC_ERROR);
  }
  {
    OneShotServer silent("");
    HttpGetTimeouts t;
    t.response_seconds = 1;
    t.connect_seconds = 1;
    std::string body;
    EXPECT_EQ(http_get(url_for(silent.port(), "/"), &t, &body), RC_ERROR);
  }
  std::string body;
  EXPECT_EQ(http_get("ftp://127.0.0.1/x", nullptr, &body), RC_INVALID_PARAM);
  EXPECT_EQ(http_get("http://127.0.0.1/" + std::string(2100, 'a'), nullptr, &body), RC_INVALID_PARAM);
}

TEST(UrlParsing, HostsArePartedExactly) {
  struct Case {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* path;
    bool loopback;
  } cases[] = {
      {"http://127.0.0.1/", true, "127.0.0.1", 80, "/", true},
      {"http://127.0.0.1", true, "127.0.0.1", 80, "/", true},
      {"http://127.0.0.1:8080/keys?a=b#frag", true, "127.0.0.1", 8080, "/keys?a=b", true},
      {"HTTP://127.0.0.1?q", true, "127.0.0.1", 80, "/?q", true},
      {"http://127.0.0.1.example/", true, "127.0.0.1.example", 80, "/", false},
      {"http://127.0.0.1@evil.example/", false, "", 0, "", false},
      {"http://127.0.0.10/", true, "127.0.0.10", 80, "/", false},
      {"https://127.0.0.1/", true, "127.0.0.1", 443, "/", false},
      {"http://[::1]:81/x", true, "::1", 81, "/x", false},
      {"http://127.0.0.1:0/", false, "", 0, "", false},
      {"http://127.0.0.1:65536/", false, "", 0, "", false},
      {"http://127.0.0.1:80x/", false, "", 0, "", false},
      {"http://:80/", false, "", 0, "", false},
      {"127.0.0.1/", false, "", 0, "", false},
  };
  for (const auto& c : cases) {
    ParsedUrl u;
    EXPECT_EQ(parse_url(c.url, &u) == RC_OK, c.ok) << c.url;
    if (c.ok) {
      EXPECT_EQ(u.host, c.host) << c.url;
      EXPECT_EQ(u.port, c.port) << c.url;
      EXPECT_EQ(u.path, c.path) << c.url;
    }
    EXPECT_EQ(is_loopback_http_url(c.url), c.loopback) << c.url;
  }
}
