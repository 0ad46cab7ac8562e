// Fault rules: each kind changes only what it names, only on the chosen server and command, and
// only for as many requests as it was given.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "sim_app.h"
#include "support/test_support.h"
#include "wire_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    SimOptions o;
    o.state_dir = dir_.sub("state");
    o.ephemeral = true;
    std::string error;
    ASSERT_EQ(app_.start(o, &error), RC_OK) << error;
    MintRequest m;
    m.batches = {{0, 1}};
    MintResult r;
    ASSERT_EQ(app_.control().mint(m, &r), RC_OK);
    coin_ = r.coins[0];
  }

  // A keyed version request to `server`.
  simtest::HandRequest version(int server, uint8_t command = 1) {
    simtest::HandRequest r;
    r.server = uint8_t(server);
    r.command = command;
    r.enc_type = 1;
    r.a = {coin_.denomination, coin_.serial,
           simtest::from_hex(app_.control().numbers({coin_.denomination, coin_.serial})[server])};
    return r;
  }

  std::vector<uint8_t> ask(simtest::HandRequest* r, bool tcp = true, int timeout_ms = 3000) {
    std::vector<uint8_t> bytes = simtest::build(r);
    int port = app_.server_ports()[r->server];
    return tcp ? simtest::tcp_exchange(port, bytes, timeout_ms) : simtest::udp_exchange(port, bytes, timeout_ms);
  }

  FaultRule rule(FaultKind kind) {
    FaultRule f;
    f.kind = kind;
    f.servers = {5};
    f.group = 0;
    f.command = 1;
    return f;
  }

  testsupport::TempDir dir_;
  SimApp app_;
  MintedCoin coin_;
};

const std::string kVersion = "20261201>>";

TEST_F(Faults, EachKindShapesTheAnswerAsNamed) {
  struct Case {
    const char* name;
    FaultRule fault;
    std::function<void(const std::vector<uint8_t>&, const simtest::HandResponse&, int elapsed_ms)> check;
  };
  FaultRule delay = rule(FaultKind::kDelay);
  delay.delay_ms = 400;
  FaultRule refuse = rule(FaultKind::kRefuse);
  refuse.status = 160;
  FaultRule forced = rule(FaultKind::kForceStatus);
  forced.status = 242;
  FaultRule longer = rule(FaultKind::kWrongLength);
  longer.length_delta = 5;
  std::vector<Case> cases = {
      {"down", rule(FaultKind::kDown),
       [](auto& raw, auto&, int) { EXPECT_TRUE(raw.empty()); }},
      {"delay", delay,
       [](auto&, auto& r, int ms) {
         EXPECT_GE(ms, 400);
         EXPECT_EQ(r.status, 250);
         EXPECT_TRUE(r.proven);
       }},
      {"drop", rule(FaultKind::kDropReply),
       [](auto& raw, auto&, int ms) {
         EXPECT_TRUE(raw.empty());
         EXPECT_GE(ms, 900) << "a lost answer must look like a time-out, not a closed connection";
       }},
      {"refuse", refuse,
       [](auto&, auto& r, int) {
         EXPECT_EQ(r.status, 160);
         EXPECT_FALSE(r.proven);
         EXPECT_TRUE(r.body.empty());
       }},
      {"forced status", forced,
       [](auto&, auto& r, int) {
         EXPECT_EQ(r.status, 242);
         EXPECT_TRUE(r.proven);
         EXPECT_EQ(std::string(r.plain.begin(), r.plain.end()), kVersion);
       }},
      {"bad echo", rule(FaultKind::kBadEcho),
       [](auto&, auto& r, int) {
         EXPECT_EQ(r.status, 250);
         EXPECT_FALSE(r.proven);
       }},
      {"corrupt body", rule(FaultKind::kCorruptBody),
       [](auto&, auto& r, int) {
         EXPECT_TRUE(r.proven);
         EXPECT_EQ(r.plain.size(), kVersion.size());
         EXPECT_NE(std::string(r.plain.begin(), r.plain.end()), kVersion);
       }},
      {"wrong length", longer,
       [](auto&, auto& r, int) {
         EXPECT_EQ(r.body.size(), kVersion.size());
         EXPECT_EQ(r.body_length, kVersion.size() + 5);
       }},
      {"close after header", rule(FaultKind::kCloseAfterHeader),
       [](auto& raw, auto& r, int) {
         EXPECT_EQ(raw.size(), 32u);
         EXPECT_EQ(r.body_length, kVersion.size());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app_.faults().clear();
    app_.counters().reset();
    app_.faults().add(c.fault);
    simtest::HandRequest r = version(5);
    auto start = Clock::now();
    std::vector<uint8_t> raw = ask(&r, true, 1000);
    int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    c.check(raw, simtest::read_response(r, raw), ms);
    EXPECT_EQ(app_.faults().rules()[0].hits, 1u);
    // The same server's other commands and the other servers stay honest.
    simtest::HandRequest echo = version(5, 0);
    EXPECT_EQ(simtest::read_response(echo, ask(&echo)).status, 250);
    simtest::HandRequest other = version(6);
    simtest::HandResponse honest = simtest::read_response(other, ask(&other));
    EXPECT_EQ(honest.status, 250);
    EXPECT_TRUE(honest.proven);
  }
}

TEST_F(Faults, DownAndDropOverUdpGiveNoDatagram) {
  for (FaultKind kind : {FaultKind::kDown, FaultKind::kDropReply}) {
    app_.faults().clear();
    app_.counters().reset();
    app_.faults().add(rule(kind));
    simtest::HandRequest r = version(5);
    EXPECT_TRUE(ask(&r, false, 500).empty()) << fault_kind_name(kind);
    CommandCounter c = app_.counters().get(5, 0, 1);
    EXPECT_EQ(c.unanswered, 1u);
    EXPECT_EQ(c.udp, 1u);
  }
}

TEST_F(Faults, LimitedRuleAppliesToTheNextRequestsOnly) {
  FaultRule f = rule(FaultKind::kRefuse);
  f.status = 89;
  f.remaining = 2;
  f.servers = {};  // every server
  app_.faults().add(f);
  std::vector<int> statuses;
  for (int server : {3, 5, 5}) {
    simtest::HandRequest r = version(server);
    statuses.push_back(simtest::read_response(r, ask(&r)).status);
  }
  EXPECT_EQ(statuses, (std::vector<int>{89, 89, 250}));
  std::vector<FaultRule> rules = app_.faults().rules();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].hits, 2u);
  EXPECT_EQ(rules[0].remaining, 0);
}

TEST_F(Faults, StopDoesNotWaitForAHeldConnection) {
  FaultRule f = rule(FaultKind::kDropReply);
  app_.faults().add(f);
  std::thread client([&] {
    simtest::HandRequest r = version(5);
    ask(&r, true, 10000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto start = Clock::now();
  app_.stop();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
  client.join();
}

TEST_F(Faults, ControlEndpointAddsListsAndRemovesRules) {
  int port = app_.control_port();
  auto r = testsupport::http_post(port, "/fault", "kind=delay&servers=2,3&delay_ms=50&count=4&group=0&command=3");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "{\"id\":1}");
  EXPECT_EQ(testsupport::http_post(port, "/fault", "kind=melt").status, 400);
  EXPECT_EQ(testsupport::http_post(port, "/fault", "kind=delay&count=0").status, 400);
  EXPECT_EQ(testsupport::http_post(port, "/fault", "kind=status&status=256").status, 400);
  r = testsupport::http_get(port, "/faults");
  EXPECT_EQ(r.body,
            "{\"faults\":[{\"id\":1,\"kind\":\"delay\",\"servers\":[2,3],\"group\":0,\"command\":3,\"delay_ms\":50,"
            "\"status\":252,\"length_delta\":1,\"remaining\":4,\"hits\":0}]}");
  EXPECT_EQ(testsupport::http_post(port, "/fault/remove", "id=7").status, 404);
  EXPECT_EQ(testsupport::http_post(port, "/fault/remove", "id=1").status, 200);
  testsupport::http_post(port, "/fault", "kind=down");
  EXPECT_EQ(testsupport::http_post(port, "/reset", "what=faults").status, 200);
  EXPECT_TRUE(app_.faults().rules().empty());
  EXPECT_TRUE(app_.table().contains(0, {coin_.denomination, coin_.serial})) << "resetting faults keeps the coins";
}

}  // namespace
