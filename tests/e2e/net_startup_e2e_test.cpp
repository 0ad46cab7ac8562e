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
#include "support/loopback_servers.h"
#include "support/test_support.h"

namespace {

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
  testsupport::HttpResponder web([&](const std::string&) { return list; });
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
