// Start-up and shutdown of the network client through the real binary: the server list is
// written and loaded, discovery never holds a start, and the statistics are saved at shutdown.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "e2e/service_fixture.h"
#include "support/test_support.h"

namespace {

// Serves one fixed body to every HTTP GET on loopback.
class ListServer {
 public:
  explicit ListServer(std::string body) : body_(std::move(body)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &l);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 64);
    loop_ = std::thread([this] {
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) continue;
        std::string req;
        char buf[1024];
        while (req.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          req.append(buf, static_cast<size_t>(n));
        }
        std::string out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                          "\r\nConnection: close\r\n\r\n" + body_;
        ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
        ::close(c);
      }
    });
  }
  ~ListServer() {
    stop_ = true;
    loop_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string body_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread loop_;
};

int count_lines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(NetStartupE2E, FreshStartWritesAndLoadsTheServerListAndSavesStatistics) {
  e2e::Service svc;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(svc.start());
  // Discovery in the desktop role fails at once against the default loopback hosts.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
  EXPECT_EQ(svc.stop(), 0);
  std::string out = svc.output();
  EXPECT_NE(out.find("Loaded 25 KOVRA servers from cached topology.\n"), std::string::npos);
  EXPECT_NE(out.find("All DNS discovery attempts failed."), std::string::npos);
  std::string ips = testsupport::read_file(svc.data_root() + "/kovra_ips.csv");
  EXPECT_EQ(count_lines(ips), 25);
  EXPECT_EQ(ips.substr(0, 18), "127.0.0.1:50000,P\n");
  std::string stats = testsupport::read_file(svc.data_root() + "/kovra_stats.csv");
  EXPECT_EQ(count_lines(stats), 27);
  EXPECT_EQ(stats.substr(0, 19), "# KOVRA Statistics\n");
  EXPECT_NE(svc.main_log().find("Transport adapter cleaned up"), std::string::npos);
}

TEST(NetStartupE2E, DesktopStartAdoptsTheListTheWebHostsAgreeOn) {
  std::string list;
  for (int i = 0; i < 25; ++i) list += "127.0.0.3:" + std::to_string(50000 + i) + (i == 4 ? ",P\n" : ",K\n");
  ListServer web(list);
  e2e::Service svc;
  e2e::ServiceOptions opts;
  opts.env["RESTCORE_TEST_DISCOVERY_URL"] = web.url();
  ASSERT_TRUE(svc.start(opts));
  EXPECT_EQ(svc.stop(), 0);
  std::string ips = testsupport::read_file(svc.data_root() + "/kovra_ips.csv");
  EXPECT_EQ(ips.substr(0, 36), "127.0.0.3:50000,K\n127.0.0.3:50001,K\n");
  EXPECT_NE(ips.find("127.0.0.3:50004,P\n"), std::string::npos);
  EXPECT_NE(svc.output().find("Consensus found! Updating server list."), std::string::npos);
}

}  // namespace
