// Fault rules as the service's own network client meets them (packet builder, transport, response
// parser): each family turns an honest answer into what the client must recover from (a time-out,
// a refusal, a failed challenge, a short or damaged body), for every encryption type, and clearing
// the rule brings the honest answer back. The servers run in this process with their own table of
// commands, so a state-changing command can show that a dropped answer still changed the state.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "cluster.h"
#include "command_registry.h"
#include "exchange.h"
#include "fault_plan.h"
#include "net/packet.h"
#include "net/transport.h"
#include "runtime/data_root.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kServer = 6;
constexpr uint8_t kVersionCommand = 1;
constexpr uint8_t kCountCommand = 3;
// A command only these tests serve: it gives this server a coin of denomination 11 with the serial
// in its payload, so a later count shows whether it ran.
constexpr uint8_t kPutCommand = 200;
constexpr int8_t kPutDenomination = 11;
const SimCoinId kKeyA{1, 70};
const SimCoinId kKeyB{1, 71};

Secret number_for(int server, uint32_t serial) {
  Secret s(16);
  for (int i = 0; i < 16; ++i) s[i] = uint8_t(server * 13 + serial + i * 29);
  return s;
}

// What the client made of one exchange.
struct Seen {
  ResultCode sent = RC_ERROR;    // the transport's result
  bool timed_out = false;
  ResultCode parsed = RC_ERROR;  // the parser's result (only when a reply arrived)
  uint8_t status = 0;
  bool proven = false;
  bool challenge_ok = false;
  std::string body;
  int elapsed_ms = 0;
};

class ClientMeetsFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = dir_.sub("Client_Data");
    std::filesystem::create_directories(root);
    set_data_root(root);
    register_all_commands(&registry_);
    registry_.add(0, kPutCommand, "test-put", [](const CommandContext& ctx, CommandReply* reply) {
      if (ctx.payload_length != 4) {
        reply->status = kStInvalidLength;
        return;
      }
      uint32_t serial = uint32_t(ctx.payload[0]) << 24 | uint32_t(ctx.payload[1]) << 16 |
                        uint32_t(ctx.payload[2]) << 8 | ctx.payload[3];
      ctx.table->put(ctx.server, {kPutDenomination, serial}, number_for(ctx.server, serial));
    });
    for (int s = 0; s < kSimServers; ++s) {
      table_.put(s, kKeyA, number_for(s, kKeyA.serial));
      table_.put(s, kKeyB, number_for(s, kKeyB.serial));
    }
    ClusterOptions o;
    o.ephemeral = true;
    std::string error;
    ASSERT_EQ(cluster_.start(o, &error), RC_OK) << error;
    ASSERT_EQ(write_server_list(root, cluster_.ports()), RC_OK);
    ASSERT_EQ(transport_init(true), RC_OK);
  }
  void TearDown() override {
    cluster_.stop();
    transport_cleanup();
    set_data_root("");
  }

  // Sends one request of `type` to `server` and reads the answer the way the service does.
  Seen ask(uint32_t type, int transport, uint32_t timeout_ms, uint8_t command = kVersionCommand,
           const std::vector<uint8_t>& payload = {}, int server = kServer) {
    PacketSpec spec;
    packet_spec_init(&spec);
    spec.server_id = uint8_t(server);
    spec.command_group = 0;
    spec.command = command;
    spec.encryption_type = type;
    if (type != 0) {
      spec.has_key = true;
      spec.key.type = type;
      spec.key.key_a_denomination = kKeyA.denomination;
      spec.key.key_a_serial = kKeyA.serial;
      spec.key.key_a_secret = number_for(server, kKeyA.serial);
    }
    if (type == 8) {
      spec.key.dual = true;
      spec.key.key_b_denomination = kKeyB.denomination;
      spec.key.key_b_serial = kKeyB.serial;
      spec.key.key_b_secret = number_for(server, kKeyB.serial);
    }
    if (!payload.empty()) packet_spec_set_payload(&spec, payload.data(), payload.size());
    Seen seen;
    Secret request;
    EXPECT_EQ(packet_build(&spec, &request), RC_OK);
    SendResult sent;
    auto start = Clock::now();
    seen.sent = transport_get()->send(server, transport, request.data(), request.size(), timeout_ms, 0, 0, &sent);
    seen.elapsed_ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    seen.timed_out = sent.timed_out;
    if (seen.sent == RC_OK) {
      ParsedResponse parsed;
      seen.parsed = response_parse(sent.response.data(), sent.response.size(), &spec, &parsed);
      seen.status = parsed.status;
      seen.challenge_ok = parsed.challenge_ok;
      seen.proven = seen.parsed == RC_OK && response_is_proven(spec, parsed);
      seen.body.assign(reinterpret_cast<const char*>(parsed.body.data()), parsed.body.size());
    }
    packet_spec_free(&spec);
    return seen;
  }

  // The honest answer to a version request: proven, 250, the version text.
  void expect_honest(const Seen& s) {
    EXPECT_EQ(s.sent, RC_OK);
    EXPECT_EQ(s.parsed, RC_OK);
    EXPECT_EQ(s.status, 250);
    EXPECT_TRUE(s.proven);
    EXPECT_EQ(s.body.substr(0, 8), "20261201");
  }

  FaultRule on_version(FaultKind kind) {
    FaultRule f;
    f.kind = kind;
    f.servers = {kServer};
    f.group = 0;
    f.command = kVersionCommand;
    return f;
  }

  testsupport::TempDir dir_;
  CoinTable table_;
  SimCounters counters_{kSimServers};
  CommandRegistry registry_;
  FaultPlan faults_;
  Exchange exchange_{&table_, &counters_, &registry_, &faults_};
  SimCluster cluster_{&exchange_};
};

const char* transport_name(int t) { return t == TRANSPORT_TCP ? "TCP" : "UDP"; }

TEST_F(ClientMeetsFaults, EachFaultFamilyChangesWhatTheClientSeesUntilCleared) {
  struct Case {
    const char* name;
    FaultRule fault;
    std::vector<int> transports;
    uint32_t timeout_ms;
    // Checks what the client saw for encryption type `type`.
    std::function<void(uint32_t type, const Seen&)> check;
  };
  FaultRule late = on_version(FaultKind::kDelay);
  late.delay_ms = 1500;
  FaultRule slow = on_version(FaultKind::kDelay);
  slow.delay_ms = 300;
  FaultRule refuse = on_version(FaultKind::kRefuse);
  refuse.status = 34;  // "key not validated": a refusal every type's client accepts as an answer
  FaultRule forced = on_version(FaultKind::kForceStatus);
  forced.status = 242;
  FaultRule longer = on_version(FaultKind::kWrongLength);
  longer.length_delta = 5;
  FaultRule shorter = on_version(FaultKind::kWrongLength);
  shorter.length_delta = -3;
  const std::vector<int> both = {TRANSPORT_TCP, TRANSPORT_UDP};
  const std::vector<int> tcp = {TRANSPORT_TCP};

  std::vector<Case> cases = {
      {"down over TCP: the connection is reset at once", on_version(FaultKind::kDown), tcp, 3000,
       [](uint32_t, const Seen& s) {
         // No answer, and no waiting for one: the reset ends the call at once.
         EXPECT_TRUE(s.sent == RC_NETWORK || s.sent == RC_TIMEOUT) << s.sent;
         EXPECT_LT(s.elapsed_ms, 2000);
       }},
      {"down over UDP: silence", on_version(FaultKind::kDown), {TRANSPORT_UDP}, 400,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_TIMEOUT);
         EXPECT_TRUE(s.timed_out);
       }},
      {"delay past the time-out", late, both, 500,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_TIMEOUT);
         EXPECT_TRUE(s.timed_out);
       }},
      {"delay within the time-out", slow, both, 3000,
       [this](uint32_t, const Seen& s) {
         expect_honest(s);
         EXPECT_GE(s.elapsed_ms, 300);
       }},
      {"drop", on_version(FaultKind::kDropReply), both, 500,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_TIMEOUT);
         EXPECT_TRUE(s.timed_out);
         EXPECT_GE(s.elapsed_ms, 450);
       }},
      {"refuse", refuse, both, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.parsed, RC_OK);
         EXPECT_EQ(s.status, 34);
         EXPECT_FALSE(s.challenge_ok);
         EXPECT_TRUE(s.body.empty());
       }},
      {"forced status", forced, both, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.status, 242);
         EXPECT_TRUE(s.proven) << "a forced status still carries the proof";
         EXPECT_EQ(s.body.substr(0, 8), "20261201");
       }},
      {"bad challenge echo", on_version(FaultKind::kBadEcho), both, 2000,
       [](uint32_t type, const Seen& s) {
         EXPECT_FALSE(s.proven);
         if (type == 8) {
           EXPECT_EQ(s.parsed, RC_ENCRYPTION) << "a wrong tag";
         } else {
           EXPECT_EQ(s.parsed, RC_OK);
           EXPECT_EQ(s.status, 250);
           EXPECT_FALSE(s.challenge_ok);
         }
       }},
      {"corrupted body", on_version(FaultKind::kCorruptBody), both, 2000,
       [](uint32_t type, const Seen& s) {
         if (type == 8) {
           EXPECT_EQ(s.parsed, RC_ENCRYPTION) << "the tag covers the body";
           EXPECT_FALSE(s.proven);
         } else {
           // The echo proves the key, not the body: the client reads damaged data.
           EXPECT_TRUE(s.proven);
           EXPECT_NE(s.body.substr(0, 8), "20261201");
         }
       }},
      {"body length announced too long", longer, tcp, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_NETWORK) << "the connection closed before the announced body";
         EXPECT_FALSE(s.timed_out);
       }},
      {"body length announced too short", shorter, tcp, 2000,
       [](uint32_t type, const Seen& s) {
         EXPECT_EQ(s.sent, RC_OK);
         if (type == 8) {
           EXPECT_NE(s.parsed, RC_OK) << "a cut dual-key body is never taken";
         } else {
           EXPECT_EQ(s.parsed, RC_OK);
           EXPECT_LT(s.body.size(), 8u) << "a short body";
         }
       }},
      {"close after the header", on_version(FaultKind::kCloseAfterHeader), tcp, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_NETWORK);
         EXPECT_FALSE(s.timed_out);
       }},
      // A datagram arrives whole, so the parser is what must notice the announced length.
      {"datagram longer than announced", shorter, {TRANSPORT_UDP}, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_OK);
         EXPECT_NE(s.parsed, RC_OK);
         EXPECT_FALSE(s.proven);
       }},
      {"datagram shorter than announced", longer, {TRANSPORT_UDP}, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_OK);
         EXPECT_NE(s.parsed, RC_OK);
         EXPECT_FALSE(s.proven);
       }},
      {"header-only datagram", on_version(FaultKind::kCloseAfterHeader), {TRANSPORT_UDP}, 2000,
       [](uint32_t, const Seen& s) {
         EXPECT_EQ(s.sent, RC_OK);
         EXPECT_NE(s.parsed, RC_OK);
         EXPECT_FALSE(s.proven);
       }},
  };
  for (const Case& c : cases) {
    for (int transport : c.transports) {
      for (uint32_t type : {0u, 1u, 8u}) {
        SCOPED_TRACE(testing::Message() << c.name << ", " << transport_name(transport) << ", type " << type);
        faults_.clear();
        int id = faults_.add(c.fault);
        c.check(type, ask(type, transport, c.timeout_ms));
        // Only the named server and command misbehave.
        expect_honest(ask(type, transport, 2000, kVersionCommand, {}, kServer + 1));
        Seen echo = ask(type, transport, 2000, 0);
        EXPECT_EQ(echo.status, 250);
        EXPECT_TRUE(echo.proven);
        ASSERT_TRUE(faults_.remove(id));
        expect_honest(ask(type, transport, 2000));
      }
    }
  }
}

TEST_F(ClientMeetsFaults, LimitedFaultHitsOnlyTheNextRequests) {
  FaultRule f = on_version(FaultKind::kDropReply);
  f.remaining = 2;
  faults_.add(f);
  EXPECT_EQ(ask(1, TRANSPORT_UDP, 300).sent, RC_TIMEOUT);
  EXPECT_EQ(ask(1, TRANSPORT_TCP, 300).sent, RC_TIMEOUT);
  expect_honest(ask(1, TRANSPORT_UDP, 2000));
  expect_honest(ask(1, TRANSPORT_TCP, 2000));
  CommandCounter c = counters_.get(kServer, 0, kVersionCommand);
  EXPECT_EQ(c.requests, 4u);
  EXPECT_EQ(c.unanswered, 2u);
  EXPECT_EQ(c.succeeded, 2u);
}

// Which denominations a server counts, as the count command reports them: code -> coins.
std::map<int, uint32_t> count_records(const std::string& body) {
  std::map<int, uint32_t> out;
  // Five-byte records (signed code, 32-bit count), then the terminator.
  for (size_t i = 0; i + 5 <= body.size() - (body.size() >= 2 ? 2 : 0); i += 5) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data()) + i;
    out[int8_t(p[0])] = uint32_t(p[1]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 8 | p[4];
  }
  return out;
}

TEST_F(ClientMeetsFaults, DroppedAnswerStillChangedTheStateARefusalDidNot) {
  for (int transport : {TRANSPORT_TCP, TRANSPORT_UDP}) {
    SCOPED_TRACE(transport_name(transport));
    table_.erase(kServer, {kPutDenomination, 1});
    table_.erase(kServer, {kPutDenomination, 2});
    counters_.reset();
    faults_.clear();
    FaultRule drop;
    drop.kind = FaultKind::kDropReply;
    drop.servers = {kServer};
    drop.group = 0;
    drop.command = kPutCommand;
    drop.remaining = 1;
    faults_.add(drop);
    FaultRule refuse = drop;
    refuse.kind = FaultKind::kRefuse;
    refuse.status = 252;
    faults_.add(refuse);

    // The first put runs but its answer is lost; the second is refused before it runs.
    Seen lost = ask(1, transport, 400, kPutCommand, {0, 0, 0, 1});
    EXPECT_EQ(lost.sent, RC_TIMEOUT);
    Seen refused = ask(1, transport, 2000, kPutCommand, {0, 0, 0, 2});
    EXPECT_EQ(refused.status, 252);

    // An honest count afterwards sees the coin from the lost answer, not the refused one.
    Seen count = ask(1, transport, 2000, kCountCommand);
    ASSERT_TRUE(count.proven);
    EXPECT_EQ(count_records(count.body)[kPutDenomination], 1u);
    EXPECT_TRUE(table_.contains(kServer, {kPutDenomination, 1}));
    EXPECT_FALSE(table_.contains(kServer, {kPutDenomination, 2}));
    // The neighbour never saw the command.
    EXPECT_EQ(count_records(ask(1, transport, 2000, kCountCommand, {}, kServer + 1).body).count(kPutDenomination), 0u);

    CommandCounter put = counters_.get(kServer, 0, kPutCommand);
    EXPECT_EQ(put.requests, 2u);
    EXPECT_EQ(put.applied, 1u);
    EXPECT_EQ(put.unanswered, 1u);
    EXPECT_EQ(put.refused, 1u);
  }
}

}  // namespace
