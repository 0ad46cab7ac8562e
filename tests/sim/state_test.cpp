// The simulator's state folder, server list, coin files and control endpoint.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "cluster.h"
#include "coins/coin_file.h"
#include "net/discovery.h"
#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

using testsupport::TempDir;

std::string sim_bin() { return KOVRA_SIM_BIN; }

// Runs the command line to its end and returns what it printed.
std::string run_cli(const std::vector<std::string>& args, int* exit_code, const TempDir& dir) {
  testsupport::Child c;
  std::vector<std::string> argv = {sim_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out = dir.sub("cli.out");
  unlink(out.c_str());
  EXPECT_TRUE(c.start(argv, {}, out));
  *exit_code = c.wait(30000);
  return testsupport::read_file(out);
}

bool wait_for_file(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (testsupport::file_exists(path)) return true;
    usleep(20000);
  }
  return false;
}

TEST(SimState, RestartAfterAKillKeepsEveryCoinsNumbers) {
  TempDir dir;
  std::string state = dir.sub("state");
  std::string ports_file = dir.sub("ports");
  testsupport::Child sim;
  ASSERT_TRUE(sim.start({sim_bin(), "serve", "--state", state, "--ephemeral", "--ports-file", ports_file}, {},
                        dir.sub("sim1.out")));
  ASSERT_TRUE(wait_for_file(ports_file, 10000)) << testsupport::read_file(dir.sub("sim1.out"));
  int rc = -1;
  std::string minted = run_cli({"mint", "--state", state, "--denominations", "0:20,3:5,-8:5"}, &rc, dir);
  ASSERT_EQ(rc, 0) << minted;
  ASSERT_NE(minted.find("\"serial\":30"), std::string::npos) << minted;
  std::vector<std::string> before;
  for (uint32_t sn = 1; sn <= 30; ++sn) {
    int den = sn <= 20 ? 0 : sn <= 25 ? 3 : -8;
    before.push_back(run_cli({"coin", "--state", state, "--denomination", std::to_string(den), "--serial",
                              std::to_string(sn)}, &rc, dir));
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(before.back().find("null"), std::string::npos) << before.back();
  }
  sim.kill_now(9);  // no orderly save: what a mint promised must already be on disk
  sim.wait(5000);

  SimApp app;
  SimOptions o;
  o.state_dir = state;
  o.ephemeral = true;
  std::string error;
  ASSERT_EQ(app.start(o, &error), RC_OK) << error;
  for (uint32_t sn = 1; sn <= 30; ++sn) {
    int8_t den = sn <= 20 ? 0 : sn <= 25 ? 3 : -8;
    std::vector<std::string> numbers = app.control().numbers({den, sn});
    EXPECT_EQ(numbers_json({den, sn}, numbers) + "\n", before[sn - 1]) << "serial " << sn;
  }
  // A request keyed with a number from before the restart is still proven on every server.
  std::vector<int> ports = app.server_ports();
  std::vector<std::string> numbers = app.control().numbers({3, 21});
  for (int s = 0; s < 25; ++s) {
    simtest::HandRequest r;
    r.server = uint8_t(s);
    r.enc_type = 1;
    r.a = {3, 21, simtest::from_hex(numbers[s])};
    simtest::HandResponse resp = simtest::read_response(r, simtest::tcp_exchange(ports[s], simtest::build(&r)));
    EXPECT_EQ(resp.status, 250) << "server " << s;
    EXPECT_TRUE(resp.proven) << "server " << s;
  }
  // Serial numbers keep counting from where they stopped.
  MintRequest m;
  m.batches = {{1, 1}};
  MintResult r;
  ASSERT_EQ(app.control().mint(m, &r), RC_OK);
  EXPECT_EQ(r.coins[0].serial, 31u);
}

TEST(SimState, DamagedTableFileIsRefusedNotEmptied) {
  TempDir dir;
  {
    CoinTable t;
    ASSERT_EQ(t.open(dir.path()), RC_OK);
    SimControl ops(&t, nullptr);
    MintRequest m;
    m.batches = {{0, 3}};
    ASSERT_EQ(ops.mint(m, nullptr), RC_OK);
  }
  std::string path = dir.sub("server_07.dat");
  std::string bytes = testsupport::read_file(path);
  ASSERT_EQ(bytes.size(), 13u + 3 * 21 + 4);
  bytes[20] ^= 0x40;
  ASSERT_TRUE(testsupport::write_file(path, bytes));
  CoinTable t;
  EXPECT_EQ(t.open(dir.path()), RC_CORRUPT_FILE);
  EXPECT_EQ(testsupport::read_file(path), bytes) << "the damaged file must be left for inspection";
}

TEST(SimState, SecondSimulatorOnTheSameFolderIsRefused) {
  TempDir dir;
  SimApp first, second;
  SimOptions o;
  o.state_dir = dir.sub("state");
  o.ephemeral = true;
  std::string error;
  ASSERT_EQ(first.start(o, &error), RC_OK) << error;
  EXPECT_EQ(second.start(o, &error), RC_BUSY);
  EXPECT_NE(error.find("in use"), std::string::npos);
  EXPECT_TRUE(testsupport::file_exists(o.state_dir + "/sim.ports")) << "the refused start must not touch the first";
}

TEST(SimState, ServerListAndPortsFileNameTheBoundPorts) {
  TempDir dir;
  SimApp app;
  SimOptions o;
  o.state_dir = dir.sub("state");
  o.ephemeral = true;
  o.data_roots = {dir.sub("root1"), dir.sub("root2/Client_Data")};
  std::string error;
  ASSERT_EQ(app.start(o, &error), RC_OK) << error;
  std::vector<int> ports = app.server_ports();
  std::string expected;
  for (int s = 0; s < 25; ++s) {
    bool mail = s == 0 || s == 1 || s == 11 || s == 13 || s == 14 || s == 18 || s == 20 || s == 22 || s == 24;
    expected += "127.0.0.1:" + std::to_string(ports[s]) + (mail ? ",P\n" : ",K\n");
  }
  EXPECT_EQ(testsupport::read_file(dir.sub("root1/kovra_ips.csv")), expected);
  EXPECT_EQ(testsupport::read_file(dir.sub("root2/Client_Data/kovra_ips.csv")), expected);
  // Discovery, pointed at the simulator's web endpoint, gets the same list.
  testsupport::HttpReply listed = testsupport::http_get(app.control_port(), "/service/kovra_servers");
  EXPECT_EQ(listed.status, 200);
  EXPECT_EQ(listed.body, expected);
  SimPorts p;
  ASSERT_EQ(read_ports_file(o.state_dir + "/sim.ports", &p), RC_OK);
  EXPECT_EQ(p.server_ports, ports);
  EXPECT_EQ(p.control_port, app.control_port());
  app.stop();
  EXPECT_FALSE(testsupport::file_exists(o.state_dir + "/sim.ports")) << "a stopped simulator must not look ready";
}

TEST(SimState, DiscoveryDocumentOfTheDefaultPortsPassesTheClientsCheck) {
  std::vector<int> ports;
  for (int s = 0; s < 25; ++s) ports.push_back(50000 + s);
  std::string text = server_list_text(ports);
  std::string checked = text;
  EXPECT_TRUE(validate_server_list(&checked)) << text;
  // Ephemeral ports break the port rule, so discovery keeps the simulator's kovra_ips.csv.
  ports[3] = 40000;
  checked = server_list_text(ports);
  EXPECT_FALSE(validate_server_list(&checked));
}

TEST(SimState, FixedBasePortServesServerIdPlusBase) {
  TempDir dir;
  int base = testsupport::free_port_block(25);
  ASSERT_GT(base, 0);
  SimApp app;
  SimOptions o;
  o.state_dir = dir.sub("state");
  o.base_port = base;
  std::string error;
  ASSERT_EQ(app.start(o, &error), RC_OK) << error;
  for (int s = 0; s < 25; ++s) EXPECT_EQ(app.server_ports()[s], base + s);
  simtest::HandRequest r;
  r.server = 24;
  simtest::HandResponse resp = simtest::read_response(r, simtest::udp_exchange(base + 24, simtest::build(&r)));
  EXPECT_EQ(resp.status, 250);
  // A port already taken stops the second cluster with a message naming it.
  SimApp clash;
  o.state_dir = dir.sub("other");
  EXPECT_EQ(clash.start(o, &error), RC_NETWORK);
  EXPECT_NE(error.find(std::to_string(base)), std::string::npos) << error;
}

TEST(SimState, MintedCoinFilesCarryEachServersNumber) {
  TempDir dir;
  CoinTable t;
  ASSERT_EQ(t.open(dir.sub("state")), RC_OK);
  SimControl ops(&t, nullptr);
  MintRequest single;
  single.batches = {{0, 2}, {2, 1}};
  single.folder = dir.sub("out/single");
  MintResult rs;
  ASSERT_EQ(ops.mint(single, &rs), RC_OK);
  ASSERT_EQ(rs.files.size(), 3u);
  MintRequest multi;
  multi.batches = {{-2, 4}};
  multi.folder = dir.sub("out/multi");
  multi.multi = true;
  multi.tag = "demo";
  MintResult rm;
  ASSERT_EQ(ops.mint(multi, &rm), RC_OK);
  ASSERT_EQ(rm.files.size(), 1u);
  EXPECT_NE(rm.files[0].find("0.04 Zorbit 'demo'"), std::string::npos) << rm.files[0];

  std::vector<Coin> coins;
  for (const std::string& f : rs.files) {
    Coin c;
    ASSERT_EQ(coin_file_read(f, &c), RC_OK) << f;
    coins.push_back(c);
  }
  std::vector<Coin> from_multi;
  ASSERT_EQ(coin_file_read_multi(rm.files[0], &from_multi), RC_OK);
  ASSERT_EQ(from_multi.size(), 4u);
  coins.insert(coins.end(), from_multi.begin(), from_multi.end());
  std::vector<MintedCoin> minted = rs.coins;
  minted.insert(minted.end(), rm.coins.begin(), rm.coins.end());
  ASSERT_EQ(coins.size(), minted.size());
  for (size_t i = 0; i < coins.size(); ++i) {
    EXPECT_EQ(coins[i].serial_number, minted[i].serial);
    EXPECT_EQ(coins[i].denomination, minted[i].denomination);
    for (int s = 0; s < 25; ++s) {
      Secret an;
      ASSERT_TRUE(t.lookup(s, {minted[i].denomination, minted[i].serial}, &an));
      EXPECT_EQ(std::memcmp(coins[i].an[s], an.data(), 16), 0) << "coin " << i << " server " << s;
    }
    // 25 independent numbers, not one number repeated.
    EXPECT_NE(std::memcmp(coins[i].an[0], coins[i].an[1], 16), 0);
  }
}

TEST(SimState, ControlEndpointMintsCorruptsAndCounts) {
  TempDir dir;
  SimApp app;
  SimOptions o;
  o.state_dir = dir.sub("state");
  o.ephemeral = true;
  std::string error;
  ASSERT_EQ(app.start(o, &error), RC_OK) << error;
  int port = app.control_port();
  auto r = testsupport::http_post(port, "/mint", "denominations=1:2&folder=" + dir.sub("coins"));
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("{\"denomination\":1,\"serial\":2}"), std::string::npos) << r.body;
  EXPECT_EQ(testsupport::http_post(port, "/mint", "denominations=12:1").status, 400);
  EXPECT_EQ(testsupport::http_post(port, "/mint", "denominations=0:15000,1:5001").status, 400);
  r = testsupport::http_post(port, "/corrupt", "denomination=1&serial=1&mode=fracked&servers=4,5");
  EXPECT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(testsupport::http_post(port, "/corrupt", "denomination=1&serial=9&mode=fracked&servers=4").status, 404);
  EXPECT_EQ(testsupport::http_post(port, "/corrupt", "denomination=1&serial=1&mode=melt").status, 400);
  r = testsupport::http_get(port, "/coin?denomination=1&serial=2");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.find("null"), std::string::npos);
  simtest::HandRequest echo;
  echo.server = 6;
  simtest::udp_exchange(app.server_ports()[6], simtest::build(&echo));
  r = testsupport::http_get(port, "/counters?server=6");
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"id\":6,\"requests\":1,\"commands\":[{\"group\":0,\"command\":0,\"name\":\"echo\","
                        "\"requests\":1,\"tcp\":0,\"udp\":1,\"succeeded\":1"),
            std::string::npos)
      << r.body;
  EXPECT_EQ(testsupport::http_get(port, "/counters?server=25").status, 400);
  EXPECT_EQ(testsupport::http_post(port, "/reset", "what=counters").status, 200);
  EXPECT_EQ(app.counters().requests(6), 0u);
  EXPECT_EQ(testsupport::http_post(port, "/reset", "what=everything").status, 400);
  EXPECT_EQ(testsupport::http_post(port, "/reset", "what=coins").status, 200);
  EXPECT_EQ(app.table().size(0), 0u);
  EXPECT_EQ(testsupport::http_get(port, "/nowhere").status, 404);
  EXPECT_EQ(testsupport::http_post(port, "/shutdown", "").status, 200);
  EXPECT_TRUE(app.wait_for_shutdown_request(1000));
}

}  // namespace
