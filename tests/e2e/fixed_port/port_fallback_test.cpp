// The port fallback on the default port 8080. These tests hold fixed ports, so CTest runs them
// under the resource lock "tcp_port_8080"; anything else that starts the service without -port
// should take the same lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "e2e/service_fixture.h"

namespace {

// Binds (and with `listen_too`, listens on) 127.0.0.1:port; -1 when the port is taken.
int hold_port(int port, bool listen_too) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  // Connections of earlier runs linger in TIME_WAIT on these ports; they must not count as busy
  // (the service binds the same way). A socket listening there still does.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listen_too && listen(fd, 4) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(PortFallback, BusyDefaultPortFallsBackToTheNextAndWritesIt) {
  int busy = hold_port(8080, true);
  if (busy < 0) GTEST_SKIP() << "port 8080 is held by something outside this test";
  int probe = hold_port(8081, false);
  if (probe < 0) {
    close(busy);
    GTEST_SKIP() << "port 8081 is held by something outside this test";
  }
  close(probe);

  e2e::Service svc;
  e2e::ServiceOptions o;
  o.pass_port = false;  // no -port: up to 20 attempts from 8080
  ASSERT_TRUE(svc.start(o)) << svc.output();
  EXPECT_EQ(svc.port(), 8081);
  EXPECT_EQ(testsupport::read_file(svc.data_root() + "/core.port"), "8081\n");
  const std::string out = svc.output();
  EXPECT_NE(out.find("Initializing HTTP server on port 8080...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Port 8080 was busy - fell back to port 8081\n"), std::string::npos) << out;
  EXPECT_NE(out.find("REST API server running on http://127.0.0.1:8081\n"), std::string::npos) << out;
  EXPECT_EQ(svc.get("/api/program/echo").status, 200);
  EXPECT_EQ(svc.stop(), 0);
  close(busy);
  EXPECT_NE(svc.main_log().find("Failed to start HTTP server on port 8080 - trying next port"), std::string::npos);
}

TEST(PortFallback, FreeDefaultPortIsUsedAsIs) {
  int probe = hold_port(8080, false);
  if (probe < 0) GTEST_SKIP() << "port 8080 is held by something outside this test";
  close(probe);
  e2e::Service svc;
  e2e::ServiceOptions o;
  o.pass_port = false;
  ASSERT_TRUE(svc.start(o)) << svc.output();
  EXPECT_EQ(svc.port(), 8080);
  EXPECT_EQ(testsupport::read_file(svc.data_root() + "/core.port"), "8080\n");
  EXPECT_EQ(svc.output().find("was busy"), std::string::npos);
  EXPECT_EQ(svc.stop(), 0);
}

}  // namespace
