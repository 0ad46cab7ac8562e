// Fault rules set and cleared through the simulator's command line, against a running `kovra-sim
// serve`: what a shell script or another test process would do.
#include <gtest/gtest.h>

#include <unistd.h>

#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

using testsupport::TempDir;

class FaultCli : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = dir_.sub("state");
    ASSERT_TRUE(sim_.start({KOVRA_SIM_BIN, "serve", "--state", state_, "--ephemeral"}, {}, dir_.sub("sim.out")));
    std::string ports_file = default_ports_file(state_);
    for (int waited = 0; waited < 10000 && !testsupport::file_exists(ports_file); waited += 20) usleep(20000);
    SimPorts ports;
    ASSERT_EQ(read_ports_file(ports_file, &ports), RC_OK) << testsupport::read_file(dir_.sub("sim.out"));
    ports_ = ports.server_ports;
  }
  void TearDown() override {
    int rc = -1;
    cli({"stop"}, &rc);
    sim_.wait(10000);
  }

  // Runs `kovra-sim <args> --state <state>` to its end; its output.
  std::string cli(std::vector<std::string> args, int* exit_code) {
    testsupport::Child c;
    std::vector<std::string> argv = {KOVRA_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--state");
    argv.push_back(state_);
    std::string out = dir_.sub("cli.out");
    unlink(out.c_str());
    EXPECT_TRUE(c.start(argv, {}, out));
    *exit_code = c.wait(30000);
    return testsupport::read_file(out);
  }

  // The status of a plain echo (type 0) to `server` over TCP; -1 when nothing came back.
  int echo_status(int server) {
    simtest::HandRequest r;
    r.server = uint8_t(server);
    std::vector<uint8_t> raw = simtest::tcp_exchange(ports_[server], simtest::build(&r), 1500);
    simtest::HandResponse got = simtest::read_response(r, raw);
    return got.ok ? got.status : -1;
  }

  TempDir dir_;
  std::string state_;
  testsupport::Child sim_;
  std::vector<int> ports_;
};

TEST_F(FaultCli, RulesAreAddedListedRemovedAndReset) {
  int rc = -1;
  std::string out = cli({"fault", "--kind", "refuse", "--status", "160", "--servers", "2,3", "--group", "0",
                         "--command", "0", "--count", "3"}, &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("{\"id\":1}"), std::string::npos) << out;
  out = cli({"fault", "--kind", "down", "--servers", "7"}, &rc);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("{\"id\":2}"), std::string::npos) << out;
  // A bad rule is refused with a non-zero exit and nothing is added.
  cli({"fault", "--kind", "melt"}, &rc);
  EXPECT_NE(rc, 0);

  EXPECT_EQ(echo_status(2), 160);
  EXPECT_EQ(echo_status(3), 160);
  EXPECT_EQ(echo_status(2), 160);
  EXPECT_EQ(echo_status(2), 250) << "the rule was limited to three requests";
  EXPECT_EQ(echo_status(7), -1);
  EXPECT_EQ(echo_status(8), 250);

  out = cli({"faults"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_NE(out.find("\"id\":1,\"kind\":\"refuse\",\"servers\":[2,3]"), std::string::npos) << out;
  EXPECT_NE(out.find("\"remaining\":0,\"hits\":3"), std::string::npos) << out;
  EXPECT_NE(out.find("\"id\":2,\"kind\":\"down\",\"servers\":[7]"), std::string::npos) << out;

  cli({"unfault", "--id", "2"}, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(echo_status(7), 250);

  cli({"fault", "--kind", "delay", "--delay_ms", "5000"}, &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(echo_status(5), -1) << "answered later than the client waits";
  cli({"reset", "--what", "faults"}, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(echo_status(5), 250);
  out = cli({"counters", "--server", "7"}, &rc);
  EXPECT_NE(out.find("\"unanswered\":1"), std::string::npos) << "the request while down went unanswered: " << out;
}

}  // namespace
