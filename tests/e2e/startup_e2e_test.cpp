// Start-up and the command line through the real binary: exit codes and texts, the first folders,
// core.port, the instance lock against a second instance, and a busy or ephemeral -port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "e2e/service_fixture.h"
#include "runtime/cmdline.h"

namespace {

bool is_dir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs the binary to its end and returns the exit code; stdout+stderr land in `out`.
int run_to_exit(const std::vector<std::string>& args, std::string* out,
                const std::map<std::string, std::string>& env = {}) {
  testsupport::TempDir tmp;
  std::vector<std::string> argv = {RESTCORE_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::Child child;
  if (!child.start(argv, env, tmp.sub("out.txt"))) return -1;
  int code = child.wait(20000);
  if (code == -1) child.kill_now();
  *out = testsupport::read_file(tmp.sub("out.txt"));
  return code;
}

// A listening socket on 127.0.0.1:port (0: any free port), closed when the object dies.
struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(int wanted) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(wanted));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
      close(fd);
      fd = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
};

struct ExitCase {
  std::vector<std::string> args;
  int code;
  std::string must_contain;
};

TEST(StartupE2E, CommandLineExitCodesAndTexts) {
  testsupport::TempDir data;
  const ExitCase cases[] = {
      {{"--help"}, 0, cmdline_long_usage()},
      {{"-h", "-port"}, 0, cmdline_long_usage()},
      {{"--version"}, 0, "Zorbit REST Core v2026-10-16\n"},
      {{"-bogus"}, 1, "ERROR: Unknown argument: -bogus\n\n" + cmdline_short_usage()},
      {{"-data-dir", data.path(), "-api-token", std::string(129, 't')}, 1,
       "ERROR: -api-token is too long (max 128 chars)\n\n"},
      // Upgrading is not built yet: it says so and fails rather than pretending to succeed.
      {{"-data-dir", data.path(), "-upgrade-coins", "-port", "0"}, 1, "not available yet"},
      {{"-data-dir", data.path(), "--upgrade-zbv1", "-port", "0"}, 1, "not available yet"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(run_to_exit(c.args, &out), c.code) << c.args[0] << "\n" << out;
    EXPECT_NE(out.find(c.must_contain), std::string::npos) << c.args[0] << "\n" << out;
  }
}

TEST(StartupE2E, FirstStartCreatesTheDataRootFoldersLockAndPortFile) {
  e2e::Service svc;
  e2e::ServiceOptions o;
  o.args = {"-debug"};
  ASSERT_TRUE(svc.start(o)) << svc.output();
  const std::string root = svc.data_root();
  for (const char* sub : {"", "/Wallets", "/Tasks", "/OldLogs"}) EXPECT_TRUE(is_dir(root + sub)) << sub;
  EXPECT_EQ(testsupport::read_file(root + "/core.port"), std::to_string(svc.port()) + "\n");
  EXPECT_EQ(testsupport::read_file(root + "/.instance.lock").rfind("pid=", 0), 0u);
  const std::string out = svc.output();
  for (const char* line : {"Debug mode: ENABLED\n", "\n=== Zorbit REST Core v2026-10-16 ===\n\n",
                           "Creating folder structure...\n", "Folder structure created successfully.\n",
                           "  Debug mode:    enabled\n", "Press Ctrl+C to stop.\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line;
  EXPECT_NE(out.find("Client data:     " + root + "\n"), std::string::npos) << out;
  EXPECT_EQ(svc.stop(), 0);
  EXPECT_NE(svc.main_log().find("=== DEBUG MODE ACTIVE ==="), std::string::npos);
}

TEST(StartupE2E, SecondInstanceOnTheSameRootIsRefusedAndLeavesTheFirstAlone) {
  testsupport::TempDir data;
  e2e::Service first(data.path());
  ASSERT_TRUE(first.start()) << first.output();
  const std::string lock_before = testsupport::read_file(first.data_root() + "/.instance.lock");
  const std::string port_before = testsupport::read_file(first.data_root() + "/core.port");

  e2e::Service second(data.path());
  e2e::ServiceOptions o;
  o.wait_ready = false;
  ASSERT_TRUE(second.start(o));
  EXPECT_EQ(second.wait_exit(20000), 1);
  const std::string out = second.output();
  EXPECT_NE(out.find("ERROR: Another instance is already running against:\n       " + first.data_root() +
                     "\n       Close it (or wait for it to exit) before starting another.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("ERROR: Failed to initialize: "), std::string::npos) << out;

  EXPECT_EQ(testsupport::read_file(first.data_root() + "/.instance.lock"), lock_before);
  EXPECT_EQ(testsupport::read_file(first.data_root() + "/core.port"), port_before);
  EXPECT_EQ(first.get("/api/program/echo").status, 200);
  EXPECT_EQ(first.stop(), 0);
}

TEST(StartupE2E, ExplicitBusyPortExitsWithOneWithoutFallback) {
  Listener busy(0);
  ASSERT_GE(busy.fd, 0);
  e2e::Service svc;
  e2e::ServiceOptions o;
  o.pass_port = false;
  o.wait_ready = false;
  o.args = {"-port", std::to_string(busy.port)};
  ASSERT_TRUE(svc.start(o));
  EXPECT_EQ(svc.wait_exit(20000), 1);
  const std::string out = svc.output();
  EXPECT_NE(out.find("ERROR: Failed to start HTTP server on port " + std::to_string(busy.port) + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Initializing HTTP server on port " + std::to_string(busy.port + 1)), std::string::npos);
  EXPECT_FALSE(testsupport::file_exists(svc.data_root() + "/core.port"));
}

TEST(StartupE2E, PortZeroBindsAnEphemeralPortAndWritesIt) {
  e2e::Service svc;
  e2e::ServiceOptions o;
  o.pass_port = false;
  o.args = {"-port", "0"};
  ASSERT_TRUE(svc.start(o)) << svc.output();  // the fixture learns the port from core.port
  EXPECT_GT(svc.port(), 0);
  EXPECT_EQ(testsupport::read_file(svc.data_root() + "/core.port"), std::to_string(svc.port()) + "\n");
  EXPECT_EQ(svc.get("/api/program/echo").status, 200);
  EXPECT_EQ(svc.stop(), 0);
}

// A port that answers is not proof that our service answers: a port file left by an earlier run,
// or a port that another process took before our service could bind it, may name someone else's
// listener. The fixture must wait for the port its own process has just written.
TEST(StartupE2E, FixtureWaitsForThePortItsOwnServiceWrites) {
  Listener foreign(0);
  ASSERT_GE(foreign.fd, 0);
  e2e::Service svc;
  ASSERT_EQ(mkdir(svc.data_root().c_str(), 0755), 0);
  testsupport::write_file(svc.data_root() + "/core.port", std::to_string(foreign.port) + "\n");
  e2e::ServiceOptions o;
  o.pass_port = false;
  o.args = {"-port", "0"};
  ASSERT_TRUE(svc.start(o)) << svc.output();
  EXPECT_NE(svc.port(), foreign.port);
  EXPECT_EQ(svc.get("/api/program/echo").status, 200);
  EXPECT_EQ(svc.stop(), 0);
}

}  // namespace
