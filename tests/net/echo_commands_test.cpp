// The pure parts of echo, version and count: body readers, text forms, reply shapes, the executor's
// option rules and command names, the echo-in-progress counter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/echo_commands.h"
#include "net/executor.h"
#include "net/kovra_endpoints.h"

namespace {

std::vector<uint8_t> records(const std::vector<std::pair<int, uint32_t>>& pairs, const std::string& tail = ">>") {
  std::vector<uint8_t> b;
  for (auto [code, count] : pairs) {
    b.push_back(static_cast<uint8_t>(static_cast<int8_t>(code)));
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(count >> s));
  }
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

TEST(CountBody, RecordsAreReadAndValuedInUnits) {
  CountServer s;
  auto body = records({{0, 3}, {1, 2}, {-2, 1}});
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  ASSERT_EQ(s.pairs.size(), 3u);
  EXPECT_EQ(s.pairs[2].code, -2);
  EXPECT_EQ(s.total_units, 2301000000ull);
}

TEST(CountBody, TrailingBytesBeyondWholeRecordsAreIgnored) {
  CountServer s;
  auto body = records({{0, 1}, {2, 1}}, "xy>>");  // 12 bytes once ">>" is dropped
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  EXPECT_EQ(s.pairs.size(), 2u);
  EXPECT_EQ(s.total_units, 10100000000ull);
}

TEST(CountBody, ShortOrEmptyBodies) {
  struct Case {
    std::vector<uint8_t> body;
    bool ok;
    const char* error;
  } cases[] = {
      {{1, 2, 3}, false, "Malformed count response: 3 bytes (expected multiple of 5)"},
      {{1, 2, 3, '>', '>'}, false, "Malformed count response: 3 bytes (expected multiple of 5)"},
      {{'>', '>'}, true, ""},
      {{}, true, ""},
  };
  for (const Case& c : cases) {
    CountServer s;
    EXPECT_EQ(count_from_body(c.body.data(), c.body.size(), &s), c.ok);
    EXPECT_EQ(s.error_text, c.error);
    EXPECT_TRUE(s.pairs.empty());
  }
}

TEST(CountBody, AtMostTwentyRecordsAreUsed) {
  std::vector<std::pair<int, uint32_t>> many;
  for (int i = 0; i < 25; ++i) many.push_back({-8 + (i % 20), 1});
  auto body = records(many);
  CountServer s;
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  EXPECT_EQ(s.pairs.size(), kCountMaxPairs);
}

TEST(CountBody, TotalSaturatesInsteadOfWrapping) {
  CountServer s;
  auto body = records({{11, 0xFFFFFFFFu}});  // 10^19 units times 4 billion
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  EXPECT_EQ(s.total_units, UINT64_MAX);
  body = records({{11, 1}, {11, 1}});  // each fits, the sum does not
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  EXPECT_EQ(s.total_units, UINT64_MAX);
  body = records({{12, 5}, {-9, 5}, {0, 1}});  // unknown codes are worth nothing
  ASSERT_TRUE(count_from_body(body.data(), body.size(), &s));
  EXPECT_EQ(s.total_units, 100000000ull);
}

TEST(VersionBody, EightBytesAreTheVersion) {
  struct Case {
    std::string body;
    bool ok;
    std::string out;
  } cases[] = {
      {"20261201>>", true, "20261201"},
      {"20261201", true, "20261201"},
      {"2026120>>", false, "Response body too short after stripping terminator"},
      {"2026120", false, "Invalid response size"},
      {"", false, "Invalid response size"},
  };
  for (const Case& c : cases) {
    std::string version, error;
    const bool ok = version_from_body(reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size(), &version, &error);
    EXPECT_EQ(ok, c.ok) << c.body;
    EXPECT_EQ(ok ? version : error, c.out) << c.body;
  }
}

TEST(VersionText, DatesAreSpelledOutAndAnythingElseShownAsItCame) {
  const std::pair<const char*, const char*> cases[] = {
      {"20261201", "2026-December-01"}, {"20200131", "2020-January-31"}, {"20991109", "2099-November-09"},
      {"20261301", "20261301"},         {"20190101", "20190101"},        {"20260100", "20260100"},
      {"2026-1-1", "2026-1-1"},         {"v1.2.3", "v1.2.3"},            {"", ""},
  };
  for (auto [in, out] : cases) EXPECT_EQ(version_display(in), out) << in;
}

TEST(DenominationText, WholeValuesExactAndFractionsWithEightDecimals) {
  const std::pair<int, const char*> cases[] = {
      {0, "1"}, {1, "10"}, {6, "1000000"}, {10, "10000000000"}, {11, "100000000000"},
      {-1, "0.10000000"}, {-8, "0.00000001"},
  };
  for (auto [code, text] : cases) EXPECT_EQ(denomination_text(code), text) << code;
}

TEST(EchoReply, ArrayIsUsableFromThirteenAnsweringServers) {
  for (int available : {12, 13}) {
    EchoResult r;
    for (int i = 0; i < 25; ++i) {
      r.servers[i].id = i;
      r.servers[i].responded = i < available;
    }
    r.servers[24].timed_out = true;
    r.available = available;
    r.request_id = "id";
    JsonBuilder json;
    echo_reply(json, r);
    EXPECT_NE(json.text().find(available == 13 ? "\"array_usable\":true" : "\"array_usable\":false"), std::string::npos);
    EXPECT_NE(json.text().find("{\"index\":24,\"status\":\"Timed Out\""), std::string::npos) << json.text();
    EXPECT_NE(json.text().find("{\"index\":20,\"status\":\"Network Error\""), std::string::npos) << json.text();
  }
}

TEST(VersionReply, TimeoutOrErrorFollowsTheExecutorsOwnFlag) {
  VersionServer s;
  s.elapsed_ms = 5;  // far below any echo time-out: the flag alone decides
  s.timed_out = true;
  EXPECT_STREQ(version_status_text(s), "timeout");
  s.timed_out = false;
  s.elapsed_ms = 60000;
  EXPECT_STREQ(version_status_text(s), "error");
  s.skipped = true;
  EXPECT_STREQ(version_status_text(s), "skipped");
}

TEST(CountReply, OnlyAnsweringServersAreListedWithTheirTotalAsText) {
  CountResult r;
  r.servers[3].id = 3;
  r.servers[3].ok = true;
  r.servers[3].pairs = {{-1, 5}};
  r.servers[3].total_units = 50000000;
  r.success = 1;
  JsonBuilder json;
  count_reply(json, r);
  EXPECT_NE(json.text().find("\"kovra_responses\":[{\"kovra_id\":3,\"denominations\":[{\"denomination\":\"0.10000000\","
                             "\"count\":5}],\"total_value\":\"0.5\",\"latency_ms\":0}]"),
            std::string::npos)
      << json.text();
  EXPECT_NE(json.text().find("\"success\":false"), std::string::npos);
}

TEST(ExecutorOptions, EncryptionNeedsExactlyOneMatchingKeySource) {
  KeyMaterial k1;
  k1.type = 1;
  KeyMaterial k8;
  k8.type = 8;
  KeyMaterial k8dual = k8;
  k8dual.dual = true;
  KeyMaterial k9;
  k9.type = 9;
  KeyMaterial k9mail = k9;
  k9mail.mail_key_present = true;
  KeyProvider provider = [](int, KeyMaterial*) { return RC_OK; };
  struct Case {
    uint32_t type;
    const KeyMaterial* key;
    bool with_provider;
    ResultCode rc;
  } cases[] = {
      {0, nullptr, false, RC_OK},          {0, &k1, false, RC_INVALID_PARAM}, {0, nullptr, true, RC_INVALID_PARAM},
      {1, &k1, false, RC_OK},              {1, nullptr, true, RC_OK},         {1, nullptr, false, RC_INVALID_PARAM},
      {1, &k1, true, RC_INVALID_PARAM},    {2, &k1, false, RC_INVALID_PARAM}, {8, &k8, false, RC_INVALID_PARAM},
      {8, &k8dual, false, RC_OK},          {9, &k9, false, RC_INVALID_PARAM}, {9, &k9mail, false, RC_OK},
      {3, nullptr, false, RC_INVALID_PARAM},
  };
  for (const Case& c : cases) {
    ExecutorOptions o;
    EXPECT_EQ(executor_set_encryption(&o, c.type, c.key, c.with_provider ? provider : KeyProvider()), c.rc)
        << c.type << " " << (c.key != nullptr) << c.with_provider;
  }
  ExecutorOptions o;
  ASSERT_EQ(executor_set_encryption(&o, 1, &k1, {}), RC_OK);
  EXPECT_EQ(executor_set_content_framing(&o), RC_INVALID_PARAM);
  ASSERT_EQ(executor_set_encryption(&o, 8, &k8dual, {}), RC_OK);
  ASSERT_EQ(executor_set_content_framing(&o), RC_OK);
  EXPECT_EQ(o.header_version, 2);
  EXPECT_EQ(o.content_subversion, 2);
}

TEST(ExecutorNames, SummaryNamesByGroupAndCommand) {
  struct Case {
    int group, command;
    const char* name;
  } cases[] = {{0, 0, "Echo"},       {0, 3, "Count"},         {1, 20, "Pown"},           {2, 61, "Fix2"},
               {2, 20, "HealingUnknown"}, {6, 71, "PelkoTell"}, {6, 64, "PelkoDownload"}, {6, 0, "PelkoUnknown"},
               {9, 90, "MakeChange"}, {10, 176, "ConvertAuthenticate"}, {16, 140, "Unknown"}};
  for (const Case& c : cases) EXPECT_STREQ(executor_command_name(c.group, c.command), c.name);
}

TEST(EchoInProgress, NeverDropsBelowZero) {
  const int before = echo_in_progress();
  echo_in_progress_enter();
  EXPECT_EQ(echo_in_progress(), before + 1);
  echo_in_progress_leave();
  for (int i = 0; i < before + 3; ++i) echo_in_progress_leave();
  EXPECT_EQ(echo_in_progress(), 0);
}

}  // namespace
