// The service's own network client (packet builder, transport, response parser) against the
// simulated servers: every server answers every encryption type over both transports.
#include <gtest/gtest.h>

#include <cstring>

#include "net/packet.h"
#include "net/server_directory.h"
#include "net/transport.h"
#include "runtime/data_root.h"
#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

class ClientAgainstSim : public ::testing::Test {
 protected:
  void SetUp() override {
    set_data_root(dir_.sub("Client_Data"));
    SimOptions o;
    o.state_dir = dir_.sub("state");
    o.ephemeral = true;
    o.data_roots = {dir_.sub("Client_Data")};
    std::string error;
    ASSERT_EQ(app_.start(o, &error), RC_OK) << error;
    MintRequest m;
    m.batches = {{0, 1}, {1, 1}};
    MintResult r;
    ASSERT_EQ(app_.control().mint(m, &r), RC_OK);
    coins_ = r.coins;
    // The server role loads kovra_ips.csv as written by the simulator, without discovery.
    ASSERT_EQ(transport_init(true), RC_OK);
  }
  void TearDown() override {
    transport_cleanup();
    set_data_root("");
  }

  void key(PacketSpec* spec, int server, uint32_t type) {
    spec->encryption_type = type;
    if (type == 0) return;
    spec->has_key = true;
    spec->key.type = type;
    spec->key.key_a_denomination = coins_[0].denomination;
    spec->key.key_a_serial = coins_[0].serial;
    std::vector<uint8_t> a = simtest::from_hex(app_.control().numbers({coins_[0].denomination, coins_[0].serial})[server]);
    spec->key.key_a_secret.assign(a.data(), a.size());
    if (type != 8) return;
    spec->key.dual = true;
    spec->key.key_b_denomination = coins_[1].denomination;
    spec->key.key_b_serial = coins_[1].serial;
    std::vector<uint8_t> b = simtest::from_hex(app_.control().numbers({coins_[1].denomination, coins_[1].serial})[server]);
    spec->key.key_b_secret.assign(b.data(), b.size());
  }

  testsupport::TempDir dir_;
  SimApp app_;
  std::vector<MintedCoin> coins_;
};

TEST_F(ClientAgainstSim, AllTwentyFiveServersAnswerEveryTypeOverBothTransports) {
  for (int transport : {TRANSPORT_TCP, TRANSPORT_UDP}) {
    for (uint32_t type : {0u, 1u, 8u}) {
      int proven = 0;
      for (int s = 0; s < 25; ++s) {
        SCOPED_TRACE(testing::Message() << "server " << s << " type " << type << " transport " << transport);
        PacketSpec spec;
        packet_spec_init(&spec);
        spec.server_id = uint8_t(s);
        spec.command_group = 0;
        spec.command = 1;  // version: a body to decrypt
        key(&spec, s, type);
        Secret request;
        ASSERT_EQ(packet_build(&spec, &request), RC_OK);
        SendResult sent;
        ASSERT_EQ(transport_get()->send(s, transport, request.data(), request.size(), 3000, 0, 0, &sent), RC_OK)
            << sent.error_text;
        ParsedResponse parsed;
        ASSERT_EQ(response_parse(sent.response.data(), sent.response.size(), &spec, &parsed), RC_OK);
        EXPECT_EQ(parsed.status, 250);
        EXPECT_EQ(parsed.server_id, s);
        EXPECT_TRUE(response_is_proven(spec, parsed));
        ASSERT_GE(parsed.body.size(), 8u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(parsed.body.data()), 8), "20261201");
        proven += parsed.challenge_ok ? 1 : 0;
        packet_spec_free(&spec);
      }
      EXPECT_EQ(proven, 25);
    }
  }
  for (int s = 0; s < 25; ++s) EXPECT_EQ(app_.counters().get(s, 0, 1).requests, 6u) << "server " << s;
}

TEST_F(ClientAgainstSim, WrongKeyIsNeverASuccessForTheClient) {
  for (uint32_t type : {1u, 8u}) {
    PacketSpec spec;
    packet_spec_init(&spec);
    spec.server_id = 9;
    key(&spec, 9, type);
    spec.key.key_a_secret[0] ^= 0x80;
    Secret request;
    ASSERT_EQ(packet_build(&spec, &request), RC_OK);
    SendResult sent;
    ASSERT_EQ(transport_get()->send(9, TRANSPORT_TCP, request.data(), request.size(), 3000, 0, 0, &sent), RC_OK);
    ParsedResponse parsed;
    ASSERT_EQ(response_parse(sent.response.data(), sent.response.size(), &spec, &parsed), RC_OK);
    EXPECT_EQ(parsed.status, 34) << "type " << type;
    EXPECT_FALSE(parsed.challenge_ok);
    EXPECT_EQ(parsed.plain_error, type == 8);
    packet_spec_free(&spec);
  }
}

}  // namespace
