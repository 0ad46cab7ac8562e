// The servers' side of the packet contract, driven by requests built by hand from the layout
// tables and sent over real loopback sockets.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

using simtest::HandRequest;
using simtest::HandResponse;

namespace {

class RunningSim : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions o;
    o.state_dir = dir_.sub("state");
    o.ephemeral = true;
    o.read_timeout_ms = 500;  // a stalled request is refused quickly
    std::string error;
    ASSERT_EQ(app_.start(o, &error), RC_OK) << error;
    ports_ = app_.server_ports();
    MintRequest m;
    m.batches = {{0, 2}, {1, 1}, {-8, 2}};
    MintResult r;
    ASSERT_EQ(app_.control().mint(m, &r), RC_OK);
    minted_ = r.coins;
  }

  simtest::Key key(int server, const MintedCoin& c) {
    simtest::Key k{c.denomination, c.serial, {}};
    k.number = simtest::from_hex(app_.control().numbers({c.denomination, c.serial})[server]);
    return k;
  }

  std::vector<uint8_t> send(bool tcp, int server, const std::vector<uint8_t>& bytes) {
    return tcp ? simtest::tcp_exchange(ports_[server], bytes) : simtest::udp_exchange(ports_[server], bytes);
  }

  testsupport::TempDir dir_;
  SimApp app_;
  std::vector<int> ports_;
  std::vector<MintedCoin> minted_;
};

TEST_F(RunningSim, StatusCommandsAnswerProvenOverTcpAndUdpForEveryEncryptionType) {
  struct Case {
    uint8_t command;
    std::vector<uint8_t> plain;  // expected plaintext body, terminator included when not empty
  };
  // Count: one record per denomination, lowest code first, count big-endian.
  std::vector<uint8_t> count = {0xF8, 0, 0, 0, 2, 0x00, 0, 0, 0, 2, 0x01, 0, 0, 0, 1, '>', '>'};
  std::vector<Case> cases = {{0, {}}, {1, {'2', '0', '2', '6', '1', '2', '0', '1', '>', '>'}}, {3, count}};
  for (bool tcp : {true, false}) {
    for (uint8_t type : {0, 1, 8}) {
      for (const Case& c : cases) {
        int server = (c.command * 7 + type * 3 + (tcp ? 1 : 0)) % 25;
        HandRequest r;
        r.server = uint8_t(server);
        r.command = c.command;
        r.enc_type = type;
        r.a = key(server, minted_[0]);
        r.b = key(server, minted_[2]);
        HandResponse resp = simtest::read_response(r, send(tcp, server, simtest::build(&r)));
        SCOPED_TRACE(testing::Message() << (tcp ? "TCP" : "UDP") << " type " << int(type) << " command "
                                        << int(c.command) << " server " << server);
        ASSERT_TRUE(resp.ok);
        EXPECT_EQ(resp.server, server);
        EXPECT_EQ(resp.status, 250);
        EXPECT_TRUE(resp.proven);
        EXPECT_EQ(resp.body_length, resp.body.size());
        EXPECT_EQ(resp.plain, c.plain);
        if (type != 0 && !c.plain.empty()) {
          EXPECT_NE(resp.body, c.plain) << "the body must travel encrypted";
        }
      }
    }
  }
  uint64_t echoes = 0, over_tcp = 0;
  for (int s = 0; s < 25; ++s) {
    echoes += app_.counters().get(s, 0, 0).requests;
    over_tcp += app_.counters().get(s, 0, 0).tcp;
  }
  EXPECT_EQ(echoes, 6u);
  EXPECT_EQ(over_tcp, 3u);
}

TEST_F(RunningSim, WrongOrUnknownKeyIsRefusedNeverAnswered) {
  const int server = 4;
  simtest::Key good = key(server, minted_[0]);
  simtest::Key wrong = good;
  wrong.number[5] ^= 0x01;
  simtest::Key unknown{0, 999999, good.number};
  simtest::Key other_servers_number = key(server + 1, minted_[0]);
  struct Case {
    const char* name;
    uint8_t type;
    simtest::Key a, b;
    uint8_t status;
  } cases[] = {
      {"type 1, one bit off", 1, wrong, good, 34},
      {"type 1, the coin's number on another server", 1, other_servers_number, good, 34},
      {"type 1, unknown key coin", 1, unknown, good, 25},
      {"type 8, key B wrong", 8, good, wrong, 34},
      {"type 8, key A wrong", 8, wrong, good, 34},
      {"type 8, unknown key coin B", 8, good, unknown, 25},
  };
  for (bool tcp : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (tcp ? " over TCP" : " over UDP"));
      HandRequest r;
      r.server = server;
      r.command = 1;
      r.enc_type = c.type;
      r.a = c.a;
      r.b = c.b;
      HandResponse resp = simtest::read_response(r, send(tcp, server, simtest::build(&r)));
      ASSERT_TRUE(resp.ok);
      EXPECT_EQ(resp.status, c.status);
      EXPECT_FALSE(resp.proven);
      EXPECT_TRUE(resp.body.empty());
      EXPECT_EQ(resp.body_length, 0u);
      static const uint8_t zero[16] = {};
      EXPECT_EQ(std::memcmp(resp.echo, zero, 16), 0) << "a refusal must not echo anything";
      if (c.type == 8) {
        EXPECT_TRUE(resp.plain_error);
      }
    }
  }
}

TEST_F(RunningSim, MalformedRequestsGetTheirOwnRefusal) {
  auto echo = [&](uint8_t type) {
    HandRequest r;
    r.server = 2;
    r.enc_type = type;
    r.a = key(2, minted_[0]);
    r.b = key(2, minted_[1]);
    return simtest::build(&r);
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint8_t status;
  };
  std::vector<Case> cases;
  {
    auto b = echo(0);
    b.back() = '<';
    cases.push_back({"missing terminator", b, 33});
  }
  {
    auto b = echo(0);
    b[23] += 1;  // announces one byte more than sent
    cases.push_back({"body length larger than the body", b, 16});
  }
  {
    auto b = echo(0);
    b[32] ^= 0xFF;  // breaks the challenge's CRC
    cases.push_back({"type 0 challenge with a bad CRC", b, 37});
  }
  {
    auto b = echo(0);
    b[2] = 3;
    cases.push_back({"addressed to another server", b, 18});
  }
  {
    auto b = echo(0);
    b[5] = 2;
    cases.push_back({"command the servers do not serve", b, 89});
  }
  {
    auto b = echo(0);
    b[0] = 2;
    cases.push_back({"header version 2", b, 28});
  }
  {
    auto b = echo(0);
    b[16] = 2;
    cases.push_back({"locker-key type not served", b, 27});
  }
  {
    auto b = echo(0);
    b[7] = 5;
    cases.push_back({"coin id other than 6", b, 7});
  }
  {
    auto b = echo(8);
    b[10] ^= 1;  // an authenticated header byte
    cases.push_back({"type 8 header changed in transit", b, 34});
  }
  for (const Case& c : cases) {
    for (bool tcp : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.name << (tcp ? " over TCP" : " over UDP"));
      if (!tcp && c.status == 16) continue;  // a datagram carries its own length
      std::vector<uint8_t> bytes = c.bytes;
      std::vector<uint8_t> out = send(tcp, 2, bytes);
      ASSERT_GE(out.size(), 32u);
      EXPECT_EQ(out[2], c.status);
      EXPECT_EQ(out.size(), 32u);
    }
  }
}

TEST_F(RunningSim, CorruptedCoinFailsOnlyOnTheChosenServers) {
  const MintedCoin& coin = minted_[1];
  std::vector<std::string> before = app_.control().numbers({coin.denomination, coin.serial});
  ASSERT_EQ(app_.control().corrupt({coin.denomination, coin.serial}, CorruptMode::kFracked, {3, 17}), RC_OK);
  std::vector<std::string> after = app_.control().numbers({coin.denomination, coin.serial});
  for (int s = 0; s < 25; ++s) {
    HandRequest r;
    r.server = uint8_t(s);
    r.enc_type = 1;
    r.a = {coin.denomination, coin.serial, simtest::from_hex(before[s])};
    HandResponse resp = simtest::read_response(r, simtest::udp_exchange(ports_[s], simtest::build(&r)));
    bool chosen = s == 3 || s == 17;
    EXPECT_EQ(resp.status, chosen ? 34 : 250) << "server " << s;
    EXPECT_EQ(before[s] != after[s], chosen) << "server " << s;
  }
  EXPECT_EQ(app_.control().corrupt({coin.denomination, coin.serial}, CorruptMode::kFracked, {}), RC_INVALID_PARAM);
  std::vector<int> thirteen = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(app_.control().corrupt({coin.denomination, coin.serial}, CorruptMode::kFracked, thirteen),
            RC_INVALID_PARAM);
  EXPECT_EQ(app_.control().corrupt({0, 424242}, CorruptMode::kCounterfeit, {}), RC_NOT_FOUND);
  ASSERT_EQ(app_.control().corrupt({coin.denomination, coin.serial}, CorruptMode::kCounterfeit, {}), RC_OK);
  std::vector<std::string> fake = app_.control().numbers({coin.denomination, coin.serial});
  for (int s = 0; s < 25; ++s) EXPECT_NE(fake[s], after[s]) << "server " << s;
  ASSERT_EQ(app_.control().corrupt({coin.denomination, coin.serial}, CorruptMode::kForget, {9}), RC_OK);
  EXPECT_EQ(app_.control().numbers({coin.denomination, coin.serial})[9], "");
}

TEST_F(RunningSim, CountersFollowServerCommandAndTransport) {
  app_.counters().reset();
  for (bool tcp : {true, true, false}) {
    HandRequest r;
    r.server = 11;
    r.command = 3;
    send(tcp, 11, simtest::build(&r));
  }
  HandRequest bad;
  bad.server = 11;
  bad.enc_type = 1;
  bad.a = {0, 777777, std::vector<uint8_t>(16, 1)};
  send(true, 11, simtest::build(&bad));
  CommandCounter count = app_.counters().get(11, 0, 3);
  EXPECT_EQ(count.requests, 3u);
  EXPECT_EQ(count.tcp, 2u);
  EXPECT_EQ(count.udp, 1u);
  EXPECT_EQ(count.succeeded, 3u);
  CommandCounter echo = app_.counters().get(11, 0, 0);
  EXPECT_EQ(echo.refused, 1u);
  EXPECT_EQ(echo.statuses[25], 1u);
  EXPECT_EQ(app_.counters().requests(10), 0u);
  EXPECT_EQ(app_.counters().requests(11), 4u);
  ASSERT_EQ(app_.control().reset("counters"), RC_OK);
  EXPECT_EQ(app_.counters().requests(11), 0u);
  EXPECT_TRUE(app_.table().contains(0, {minted_[0].denomination, minted_[0].serial}));
}

}  // namespace
