// scripts/sim-cluster.sh: the shell way to bring up the simulator and a service, and take them down.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "support/test_support.h"

namespace {

std::string build_dir() {
  std::string bin = RESTCORE_BIN;
  return bin.substr(0, bin.rfind('/'));
}

int run_script(const std::vector<std::string>& args, const std::string& out) {
  testsupport::Child c;
  std::vector<std::string> argv = {"/bin/bash", std::string(RESTCORE_SOURCE_DIR) + "/scripts/sim-cluster.sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!c.start(argv, {}, out)) return -1;
  return c.wait(60000);
}

std::string env_value(const std::string& env, const std::string& key) {
  std::istringstream in(env);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

TEST(SimClusterScript, StartsBothWithDemoCoinsAndStopsBoth) {
  testsupport::TempDir dir;
  std::string work = dir.sub("run");
  ASSERT_EQ(run_script({"start", "--dir", work, "--bin", build_dir(), "--ephemeral", "--port", "0", "--mint", "0:2,1:1"},
                       dir.sub("start.out")),
            0)
      << testsupport::read_file(dir.sub("start.out")) << testsupport::read_file(work + "/rest_core.log");
  std::string env = testsupport::read_file(work + "/cluster.env");
  int core_port = std::atoi(env_value(env, "CORE_PORT").c_str());
  int sim_pid = std::atoi(env_value(env, "SIM_PID").c_str());
  int core_pid = std::atoi(env_value(env, "CORE_PID").c_str());
  ASSERT_GT(core_port, 0) << env;
  EXPECT_EQ(testsupport::http_get(core_port, "/api/program/echo").status, 200);
  // The service's server list names the simulator's ports.
  std::string ports = env_value(env, "SERVER_PORTS");
  std::string first = ports.substr(0, ports.find(','));
  EXPECT_EQ(testsupport::read_file(work + "/Client_Data/kovra_ips.csv").rfind("127.0.0.1:" + first + ",P\n", 0), 0u);
  int coin_files = 0;
  for (const char* name : {"1 Zorbit #1", "1 Zorbit #2", "10 Zorbit #3"}) {
    std::string out = dir.sub("ls.out");
    testsupport::Child ls;
    ASSERT_TRUE(ls.start({"/bin/sh", "-c", "ls \"" + work + "/demo-coins\" | grep -c \"^" + name + " \""}, {}, out));
    ls.wait(5000);
    coin_files += std::atoi(testsupport::read_file(out).c_str());
    unlink(out.c_str());
  }
  EXPECT_EQ(coin_files, 3);
  EXPECT_NE(testsupport::read_file(dir.sub("start.out")).find("Demo coins, ready to deposit"), std::string::npos);

  ASSERT_EQ(run_script({"stop", "--dir", work, "--bin", build_dir()}, dir.sub("stop.out")), 0)
      << testsupport::read_file(dir.sub("stop.out"));
  EXPECT_NE(kill(sim_pid, 0), 0) << "the simulator must be gone";
  EXPECT_NE(kill(core_pid, 0), 0) << "the service must be gone";
  EXPECT_FALSE(testsupport::file_exists(work + "/cluster.env"));
}

}  // namespace
