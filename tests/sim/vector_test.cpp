// The network client's published request vectors (fixed challenge, nonce and keys, bytes written
// out from the layout tables) sent to the simulated servers as they are.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

std::vector<uint8_t> unhex(std::string s) {
  std::string clean;
  for (char c : s)
    if (c != ' ') clean += c;
  return simtest::from_hex(clean);
}

const char* kChallenge = "c0c1c2c3c4c5c6c7c8c9cacb5a3f7387";
const char* kNumberA = "000102030405060708090a0b0c0d0e0f";
const char* kNumberB = "101112131415161718191a1b1c1d1e1f";

class Vectors : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions o;
    o.state_dir = dir_.sub("state");
    o.ephemeral = true;
    std::string error;
    ASSERT_EQ(app_.start(o, &error), RC_OK) << error;
    auto a = unhex(kNumberA), b = unhex(kNumberB);
    // The vectors' key coins, known to the servers they address.
    app_.table().put(4, {3, 12345}, Secret(a.data(), a.size()));
    app_.table().put(7, {1, 0x00010203}, Secret(a.data(), a.size()));
    app_.table().put(7, {2, 0x0A0B0C0D}, Secret(b.data(), b.size()));
  }

  simtest::HandRequest expect(uint8_t type, const char* nonce_hex) {
    simtest::HandRequest r;
    r.enc_type = type;
    r.a.number = unhex(kNumberA);
    r.b.number = unhex(kNumberB);
    auto c = unhex(kChallenge), n = unhex(nonce_hex);
    std::memcpy(r.challenge, c.data(), 16);
    std::memcpy(r.nonce, n.data(), n.size());
    return r;
  }

  simtest::HandResponse both_ways(int server, const std::vector<uint8_t>& request, const simtest::HandRequest& r) {
    int port = app_.server_ports()[server];
    simtest::HandResponse tcp = simtest::read_response(r, simtest::tcp_exchange(port, request));
    simtest::HandResponse udp = simtest::read_response(r, simtest::udp_exchange(port, request));
    EXPECT_EQ(tcp.status, udp.status);
    EXPECT_EQ(tcp.plain, udp.plain);
    EXPECT_EQ(tcp.proven, udp.proven);
    return tcp;
  }

  testsupport::TempDir dir_;
  SimApp app_;
};

TEST_F(Vectors, EmptyType0EchoIsAnsweredWithTheChallenge) {
  auto request = unhex(
      "01 00 05 03 00 00 0006 01 00 00000000 0000"
      "00 00 00000000 0012 1122334455667788"
      "c0c1c2c3c4c5c6c7c8c9cacb5a3f7387 3e3e");
  simtest::HandResponse resp = both_ways(5, request, expect(0, "1122334455667788"));
  EXPECT_EQ(resp.status, 250);
  EXPECT_TRUE(resp.proven);
  EXPECT_TRUE(resp.body.empty());
}

TEST_F(Vectors, Type1RequestIsProvenAndItsAnswerDecrypts) {
  auto request = unhex(
      "01 00 04 03 01 0a 0006 01 00 00000000 0000"
      "01 03 00003039 0015 a0a1a2a3a4a5a6a7"
      "1be9565ffa687ba7afc23624775f0a48cb2bdd 3e3e");
  simtest::HandRequest r = expect(1, "a0a1a2a3a4a5a6a7");
  // Detect is not served yet: refused, but only after the key was proven.
  simtest::HandResponse resp = both_ways(4, request, r);
  EXPECT_EQ(resp.status, 89);
  EXPECT_TRUE(resp.proven);
  // The header is not authenticated for this type: the same body asks for the version instead.
  request[4] = 0;
  request[5] = 1;
  resp = both_ways(4, request, r);
  EXPECT_EQ(resp.status, 250);
  EXPECT_TRUE(resp.proven);
  EXPECT_EQ(std::string(resp.plain.begin(), resp.plain.end()), "20261201>>");
}

TEST_F(Vectors, EmptyType8RequestIsProvenByTheAnswersTag) {
  auto request = unhex(
      "01 00 07 03 09 5a 0006 01 00 00000000 0000"
      "08 01 00010203 0012 02 0a0b0c0d 0102030405060708090a0b0c 00000000000000"
      "2c647fad945f80a56c05e5c8c915f2ae"
      "c52b981628513641846ba98c4a2c99af"
      "3e3e");
  simtest::HandResponse resp = both_ways(7, request, expect(8, "0102030405060708090a0b0c"));
  EXPECT_EQ(resp.status, 89);  // make change is not served yet
  EXPECT_TRUE(resp.proven);
  EXPECT_FALSE(resp.plain_error);
  // The same request on a server that does not know key coin B is a plain refusal.
  request[2] = 6;  // (changes the authenticated header, but the key lookup comes first)
  resp = both_ways(6, request, expect(8, "0102030405060708090a0b0c"));
  EXPECT_EQ(resp.status, 25);
  EXPECT_TRUE(resp.plain_error);
}

}  // namespace
