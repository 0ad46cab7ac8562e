#include "runtime/timing_policy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "runtime/role_policy.h"

namespace {
class TimingPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override { timing_policy_reset_live(); }
  void TearDown() override {
    timing_policy_set_publish_hook(nullptr);
    timing_policy_reset_live();
  }
};
}  // namespace

TEST_F(TimingPolicyTest, WholeRecordValidationNamesTheFirstBrokenRule) {
  struct Case {
    std::function<void(TimingPolicy&)> breaks;
    const char* reason;
  } cases[] = {
      {[](TimingPolicy& p) { p.policy_schema_version = 2; }, "unsupported policy schema version"},
      {[](TimingPolicy& p) { p.attempt_timeout_ms[ATTEMPT_ECHO] = 49; },
       "kovra_echo_attempt_timeout_ms must be between 50 and 120000 ms"},
      {[](TimingPolicy& p) { p.attempt_timeout_ms[ATTEMPT_PELKO_PING] = 900001; },
       "pelko_ping_attempt_timeout_ms must be between 50 and 900000 ms"},
      {[](TimingPolicy& p) { p.health_boot_deadline_ms = 999; },
       "health_boot_deadline_ms must be between 1000 and 300000"},
      {[](TimingPolicy& p) { p.executor_early_finish_count = 26; },
       "executor_early_finish_count must be between 0 and 25"},
      {[](TimingPolicy& p) { p.executor_early_finish_grace_ms = 30001; },
       "executor_early_finish_grace_ms must be <= 30000"},
      {[](TimingPolicy& p) { p.pelko_upload_early_finish_grace_ms = 30001; },
       "command early-finish grace must be <= 30000"},
      {[](TimingPolicy& p) { p.kovra_unavailable_cooldown_ms = 300001; },
       "kovra_unavailable_cooldown_ms must be <= 300000"},
      {[](TimingPolicy& p) { p.pelko_send_object_deadline_ms = 4999; },
       "pelko_send_object_deadline_ms must be between 5000 and 3600000"},
      {[](TimingPolicy& p) { p.pelko_upload_background_stripes = 9; },
       "pelko_upload_background_stripes must be between 0 and 8"},
      {[](TimingPolicy& p) { p.pelko_upload_chunk_bytes = 65535; },
       "pelko_upload_chunk_bytes must be 0 (auto) or between 65536 and 67108864"},
      {[](TimingPolicy& p) { p.pelko_receive_lease_ms = 59999; },
       "pelko_receive_lease_ms must be between 60000 and 3600000"},
      {[](TimingPolicy& p) { p.executor_poll_interval_ms = 0; }, "executor_poll_interval_ms must be between 1 and 1000"},
      {[](TimingPolicy& p) { p.convert_timeout_cap_ms = p.convert_base_timeout_ms - 1; },
       "invalid convert timeout policy"},
      {[](TimingPolicy& p) {
         p.policy_schema_version = 0;
         p.health_boot_deadline_ms = 0;
       },
       "unsupported policy schema version"},
  };
  std::string reason;
  ASSERT_TRUE(timing_policy_validate(timing_policy_defaults(), &reason)) << reason;
  for (const auto& c : cases) {
    TimingPolicy p = timing_policy_defaults();
    c.breaks(p);
    EXPECT_FALSE(timing_policy_validate(p, &reason)) << c.reason;
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(timing_policy_publish(p), RC_INVALID_PARAM);
    EXPECT_EQ(timing_policy_snapshot().generation, 1u);
  }
}

TEST_F(TimingPolicyTest, KeyReadsAreStrict) {
  struct Case {
    const char* key;
    const char* value;
    ResultCode rc;
  } cases[] = {
      {"kovra_echo_attempt_timeout_ms", "50", RC_OK},       {"kovra_echo_attempt_timeout_ms", "120000", RC_OK},
      {"kovra_echo_attempt_timeout_ms", "120001", RC_INVALID_PARAM},
      {"kovra_echo_attempt_timeout_ms", "", RC_INVALID_PARAM},
      {"kovra_echo_attempt_timeout_ms", "-100", RC_INVALID_PARAM},
      {"kovra_echo_attempt_timeout_ms", "+100", RC_INVALID_PARAM},
      {"kovra_echo_attempt_timeout_ms", "4294967396", RC_INVALID_PARAM},
      {"policy_schema_version", "1", RC_OK},                {"policy_schema_version", "2", RC_INVALID_PARAM},
      {"pelko_upload_chunk_bytes", "1000", RC_OK},          {"pelko_upload_chunk_bytes", "67108865", RC_INVALID_PARAM},
      {"executor_early_finish_count", "0", RC_OK},          {"not_a_timing_key", "5", RC_NOT_FOUND},
  };
  for (const auto& c : cases) {
    TimingPolicy p = timing_policy_defaults();
    std::string reason;
    EXPECT_EQ(timing_policy_set_key(&p, c.key, c.value, &reason), c.rc) << c.key << "=" << c.value;
  }
}

TEST_F(TimingPolicyTest, PublicationReplacesTheRecordAndCallsTheHook) {
  uint32_t hooked_default = 0;
  timing_policy_set_publish_hook([&](const TimingPolicy& p) { hooked_default = p.attempt_timeout_ms[0]; });
  TimingPolicy p = timing_policy_defaults();
  p.attempt_timeout_ms[ATTEMPT_KOVRA_DEFAULT] = 9000;
  p.generation = 0;
  ASSERT_EQ(timing_policy_publish(p), RC_OK);
  EXPECT_EQ(timing_policy_snapshot().generation, 1u);
  EXPECT_EQ(hooked_default, 9000u);
  EXPECT_EQ(attempt_timeout(ATTEMPT_KOVRA_DEFAULT), 9000u);
  EXPECT_EQ(attempt_timeout(31), 9000u);
  EXPECT_EQ(attempt_timeout(-1), 9000u);
  EXPECT_EQ(attempt_timeout(ATTEMPT_RKE), 5000u);
}

TEST_F(TimingPolicyTest, ReadersNeverSeeAHalfPublishedPolicy) {
  TimingPolicy a = timing_policy_defaults();
  TimingPolicy b = timing_policy_defaults();
  for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT; ++i) b.attempt_timeout_ms[i] = 100 + static_cast<uint32_t>(i);
  b.health_boot_deadline_ms = 20000;
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        TimingPolicy s = timing_policy_snapshot();
        bool is_a = s.health_boot_deadline_ms == a.health_boot_deadline_ms;
        const TimingPolicy& want = is_a ? a : b;
        for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT; ++i)
          if (s.attempt_timeout_ms[i] != want.attempt_timeout_ms[i]) ++torn;
      }
    });
  }
  log_set_quiet();
  for (int n = 0; n < 2000; ++n) EXPECT_EQ(timing_policy_publish(n % 2 ? a : b), RC_OK);
  log_clear_quiet();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST(RolePolicy, KeysAndDefaults) {
  struct Case {
    const char* key;
    const char* value;
    bool ok;
  } cases[] = {
      {"node_role", "server", true},           {"node_role", "desktop", true},
      {"node_role", "Server", false},          {"health_check_interval_hours", "8760", true},
      {"health_check_interval_hours", "8761", false}, {"health_check_interval_hours", "-1", false},
      {"echo_interval_seconds", "86400", true}, {"echo_interval_seconds", "5s", false},
      {"beacon_enabled", "1", true},           {"beacon_enabled", "yes", false},
      {"drd_sync_enabled", "false", true},     {"drd_sync_enabled", "", false},
  };
  for (const auto& c : cases) {
    RolePolicy p;
    RolePolicy before = p;
    EXPECT_EQ(role_set_key(&p, c.key, c.value), c.ok) << c.key << "=" << c.value;
    if (!c.ok) EXPECT_EQ(p, before) << c.key;
  }
  RolePolicy p;
  p.server_role = true;
  p.set_flags = ROLE_SET_NODE_ROLE | ROLE_SET_BEACON;
  p.beacon_enabled = true;
  role_apply_defaults(&p);
  EXPECT_EQ(role_summary(p), "Core role=server health_hours=0 echo_seconds=3600 beacon=true drd_sync=false");
  EXPECT_FALSE(role_was_inferred_server(p));
}
