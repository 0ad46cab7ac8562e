#include "runtime/config.h"

#include <gtest/gtest.h>

#include <functional>

#include "runtime/data_root.h"
#include "runtime/fs.h"
#include "runtime/identity_cache.h"
#include "runtime/log.h"
#include "runtime/startup.h"
#include "runtime/timing_policy.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {
// A scratch data root with fresh settings, the built-in timing policy and the log in a file.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.sub("Client_Data");
    ASSERT_EQ(make_dirs(root_), RC_OK);
    set_data_root(root_);
    startup_state() = StartupState{};
    timing_policy_reset_live();
    config_reset_defaults();
    log_open(scratch_.sub("test.log"));
    log_set_min_level(LOG_DEBUG);
  }
  void TearDown() override {
    log_close();
    log_set_min_level(LOG_INFO);
    timing_policy_reset_live();
    set_data_root("");
  }
  void write_conf(const std::string& text) { ASSERT_TRUE(write_file(config_path(), text)); }
  std::string log_text() { return read_file(scratch_.sub("test.log")); }

  TempDir scratch_;
  std::string root_;
};
}  // namespace

TEST_F(ConfigTest, LinesAgainstValuesInForceAndLogLines) {
  struct Case {
    const char* name;
    std::string text;
    ResultCode rc;
    std::function<void(const ConfigSettings&, const TimingPolicy&)> check;
    const char* log;  // a line the load must log, or null
  };
  // With a 255-character line buffer the text after the first 255 characters would read as its
  // own line, "payment_wallet=Evil...".
  const std::string long_value = std::string(240, 'a') + "payment_wallet=Evil" + std::string(100, 'b');
  const Case cases[] = {
      {"good timing value", "kovra_echo_attempt_timeout_ms=2500\n", RC_OK,
       [](const ConfigSettings&, const TimingPolicy& t) {
         EXPECT_EQ(t.attempt_timeout_ms[ATTEMPT_ECHO], 2500u);
         EXPECT_EQ(t.generation, 2u);
       },
       "Published KOVRA policy generation 2 (default=5000 ms, boot deadline=10000 ms)"},
      {"alias of the default time-out, CRLF line end", "default_timeout_ms=7000\r\n", RC_OK,
       [](const ConfigSettings&, const TimingPolicy& t) { EXPECT_EQ(t.attempt_timeout_ms[0], 7000u); },
       "Loaded configuration from rest_core.conf"},
      {"out of range stops the load", "default_wallet=Early\nkovra_echo_attempt_timeout_ms=10\npayment_wallet=Late\n",
       RC_INVALID_PARAM,
       [](const ConfigSettings& s, const TimingPolicy& t) {
         EXPECT_EQ(s.current_wallet, "Early");
         EXPECT_EQ(s.payment_wallet, "Default");
         EXPECT_EQ(t.attempt_timeout_ms[ATTEMPT_ECHO], 2000u);
         EXPECT_EQ(t.generation, 1u);
       },
       "rest_core.conf:2: invalid kovra_echo_attempt_timeout_ms=10 (expected 50..120000)"},
      {"malformed number", "kovra_pown_attempt_timeout_ms=50x0\n", RC_INVALID_PARAM,
       [](const ConfigSettings&, const TimingPolicy& t) { EXPECT_EQ(t.attempt_timeout_ms[ATTEMPT_POWN], 5000u); },
       "rest_core.conf:1: invalid kovra_pown_attempt_timeout_ms=50x0 (expected 50..120000)"},
      {"overflowing number", "pelko_ping_attempt_timeout_ms=99999999999\n", RC_INVALID_PARAM, nullptr,
       "invalid pelko_ping_attempt_timeout_ms=99999999999 (expected 50..900000)"},
      {"chunk size passes the key check but fails the policy",
       "pelko_upload_chunk_bytes=1000\ndefault_wallet=After\n", RC_INVALID_PARAM,
       [](const ConfigSettings& s, const TimingPolicy& t) {
         EXPECT_EQ(s.current_wallet, "After");
         EXPECT_EQ(t.pelko_upload_chunk_bytes, 0u);
       },
       "Invalid timeout policy: pelko_upload_chunk_bytes must be 0 (auto) or between 65536 and 67108864"},
      {"unknown key is ignored", "no_such_key=5\nnot a setting at all\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) { EXPECT_EQ(s, ConfigSettings{s}); }, nullptr},
      {"trailing comment on a role key and a plain key",
       "echo_interval_seconds=300 # five minutes\ndebug_mode=true # on\nhttp_port=9000\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.role.echo_interval_seconds, 300u);
         EXPECT_TRUE(s.role.set_flags & ROLE_SET_ECHO_SECONDS);
         EXPECT_FALSE(s.file_debug_mode);
         EXPECT_EQ(s.file_http_port, 9000);
       },
       nullptr},
      {"trailing comment on a timing key", "kovra_locker_attempt_timeout_ms=4000\t# slower\n", RC_OK,
       [](const ConfigSettings&, const TimingPolicy& t) { EXPECT_EQ(t.attempt_timeout_ms[ATTEMPT_LOCKER], 4000u); },
       nullptr},
      {"very long line is one setting", "identity_email=" + long_value + "\nidentity_first_name=Ann\n", RC_OK,
       [long_value](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.identity.email, long_value.substr(0, 255));
         EXPECT_EQ(s.payment_wallet, "Default");
         EXPECT_EQ(s.identity.first_name, "Ann");
       },
       nullptr},
      {"bad role value keeps the inferred role", "node_role=Server\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_FALSE(s.role.server_role);
         EXPECT_FALSE(s.role.set_flags & ROLE_SET_NODE_ROLE);
       },
       "rest_core.conf:1: invalid node_role; keeping previous valid value or role default"},
      {"explicit role brings its defaults", "node_role=server\nbeacon_enabled=1\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_TRUE(s.role.server_role);
         EXPECT_EQ(s.role.health_check_interval_hours, 0u);
         EXPECT_EQ(s.role.echo_interval_seconds, 3600u);
         EXPECT_TRUE(s.role.beacon_enabled);
         EXPECT_FALSE(s.role.drd_sync_enabled);
       },
       "Loaded configuration from rest_core.conf"},
      {"legacy inbox fee in whole Zorbit", "pelko_default_inbox_fee_zb=3\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.default_inbox_fee_units, 300000000u);
         EXPECT_FALSE(s.default_inbox_fee_set);
       },
       nullptr},
      {"explicit inbox fee wins over the legacy key", "pelko_default_inbox_fee=0.5\npelko_default_inbox_fee_zb=3\n",
       RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.default_inbox_fee_units, 50000000u);
         EXPECT_TRUE(s.default_inbox_fee_set);
       },
       nullptr},
      {"directory sync values are clamped",
       "drd_sync_interval_minutes=2\ndrd_sync_shards=99\ndrd_sync_page_size=abc\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.drd_sync_interval_minutes, 5);
         EXPECT_EQ(s.drd_sync_shards, 25);
         EXPECT_EQ(s.drd_sync_page_size, 1);
       },
       nullptr},
      {"Mail may not pay", "payment_wallet=mAIL\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) { EXPECT_EQ(s.payment_wallet, "Default"); }, nullptr},
      {"fees, welfare and attachment limit",
       "pelko_upload_fee_per_mb=0.0200\npelko_upload_welfare_mb=2000000\npelko_max_attachment_bytes=0\n"
       "pelko_prebreak_dn1_target=-4\npelko_prebreak_dn2_target=250000\n",
       RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.upload_fee_per_mb_units, 2000000u);
         EXPECT_EQ(s.upload_welfare_bytes, 1048576ull * 1048576ull);
         EXPECT_EQ(s.max_attachment_bytes, 177167400960ull);
         EXPECT_EQ(s.prebreak_dn1_target, 0);
         EXPECT_EQ(s.prebreak_dn2_target, 100000);
       },
       nullptr},
      {"byte-order mark and identity numbers",
       "\xEF\xBB\xBF" "default_wallet=Marked\nidentity_sn=-5\nidentity_denomination=300\nidentity_beacon_kovra=25\n",
       RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.current_wallet, "Marked");
         EXPECT_EQ(s.identity.serial_number, 0u);
         EXPECT_EQ(s.identity.denomination, 127);
         EXPECT_EQ(s.identity.beacon_kovra, 0u);
       },
       nullptr},
      {"loopback URL host is parsed exactly",
       "rkeys_url=http://127.0.0.1.example/keys\nmyip_url=http://127.0.0.1:9/ip\n", RC_OK,
       [](const ConfigSettings& s, const TimingPolicy&) {
         EXPECT_EQ(s.rkeys_url, "");
         EXPECT_EQ(s.myip_url, "http://127.0.0.1:9/ip");
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    timing_policy_reset_live();
    config_reset_defaults();
    write_conf(c.text);
    EXPECT_EQ(config_load(), c.rc);
    if (c.check) c.check(config_snapshot(), timing_policy_snapshot());
    if (c.log) {
      EXPECT_NE(log_text().find(c.log), std::string::npos) << log_text();
    }
  }
}

TEST_F(ConfigTest, BadTimingValueLeavesWholePreviousPolicyInForce) {
  write_conf("kovra_default_attempt_timeout_ms=7000\nkovra_echo_attempt_timeout_ms=2500\n");
  ASSERT_EQ(config_load(), RC_OK);
  const TimingPolicy before = timing_policy_snapshot();
  ASSERT_EQ(before.generation, 2u);

  // The first key is good and would change the policy; the second is bad, so neither may apply.
  write_conf("kovra_default_attempt_timeout_ms=8000\nhealth_boot_deadline_ms=999\n");
  EXPECT_EQ(config_load(), RC_INVALID_PARAM);
  const TimingPolicy after = timing_policy_snapshot();
  EXPECT_EQ(after.attempt_timeout_ms[ATTEMPT_KOVRA_DEFAULT], 7000u);
  EXPECT_EQ(after.attempt_timeout_ms[ATTEMPT_ECHO], 2500u);
  EXPECT_EQ(after.generation, 2u);
  EXPECT_EQ(attempt_timeout(ATTEMPT_KOVRA_DEFAULT), 7000u);
}

TEST_F(ConfigTest, MissingFileChangesNothing) {
  ConfigSettings before = config_snapshot();
  EXPECT_EQ(config_load(), RC_NOT_FOUND);
  EXPECT_EQ(config_snapshot(), before);
  EXPECT_EQ(timing_policy_snapshot().generation, 1u);
}

TEST_F(ConfigTest, DefaultFileWrittenByTheServiceReadsBackToTheSameValues) {
  ASSERT_EQ(config_write_default_file(), RC_OK);
  ConfigSettings written = config_snapshot();
  const std::string text = read_file(config_path());
  EXPECT_EQ(text.rfind("# rest_core configuration file\n# Generated by Zorbit REST Core v2026-10-16\n\n", 0), 0u);
  EXPECT_NE(text.find("\nhttp_port=8080\n"), std::string::npos);
  EXPECT_NE(text.find("\npelko_ping_attempt_timeout_ms=600000    # range 50..900000\n"), std::string::npos);
  EXPECT_NE(text.find("\npelko_upload_fee_per_mb=0.01\n"), std::string::npos);

  config_replace(ConfigSettings{});
  ASSERT_EQ(config_load(), RC_OK);
  ConfigSettings read = config_snapshot();
  // The file names every role switch, so they read back as set, and it records the port in
  // force; the values are the same.
  written.role.set_flags = read.role.set_flags;
  EXPECT_EQ(read.file_http_port, 8080);
  written.file_http_port = read.file_http_port;
  EXPECT_EQ(read, written);
  TimingPolicy live = timing_policy_snapshot();
  TimingPolicy defaults = timing_policy_defaults();
  live.generation = defaults.generation;
  EXPECT_EQ(memcmp(&live, &defaults, sizeof live), 0);

  // A second call finds the file and leaves it alone.
  ASSERT_TRUE(write_file(config_path(), "default_wallet=Mine\n"));
  EXPECT_EQ(config_write_default_file(), RC_OK);
  EXPECT_EQ(read_file(config_path()), "default_wallet=Mine\n");
}

TEST_F(ConfigTest, NonDefaultValuesSurviveWriteAndLoad) {
  ConfigSettings s = config_snapshot();
  s.current_wallet = "Savings";
  s.payment_wallet = "Spending";
  s.default_inbox_fee_units = 12340000;
  s.default_inbox_fee_set = true;
  s.upload_fee_per_mb_units = 50000;
  s.upload_welfare_bytes = 5 * 1048576ull;
  s.locker_funding_enabled = true;
  s.send_log_enabled = false;
  s.identity.email = "ann@example.test";
  s.identity.serial_number = 123456;
  s.identity.denomination = -3;
  s.identity.beacon_kovra = 24;
  s.role.server_role = true;
  s.role.set_flags = ROLE_SET_NODE_ROLE;
  role_apply_defaults(&s.role);
  s.drd_sync_shards = 7;
  s.rkeys_url = "https://keys.example.test/list";
  config_replace(s);
  ASSERT_EQ(config_write_file(), RC_OK);
  config_reset_defaults();
  ASSERT_EQ(config_load(), RC_OK);
  ConfigSettings read = config_snapshot();
  s.role.set_flags = read.role.set_flags;
  s.file_http_port = read.file_http_port;
  EXPECT_EQ(read, s);
}

TEST_F(ConfigTest, WrittenValuesCannotAddLinesOfTheirOwn) {
  IdentityCache id;
  id.email = "eve@example.test";
  id.description = "hello\r\nnode_role=server\nbeacon_enabled=false";
  ASSERT_EQ(identity_cache_update(true, id), RC_OK);
  const std::string text = read_file(config_path());
  EXPECT_NE(text.find("\nidentity_description=hellonode_role=serverbeacon_enabled=false\n"), std::string::npos);
  config_reset_defaults();
  ASSERT_EQ(config_load(), RC_OK);
  EXPECT_FALSE(config_snapshot().role.server_role);
  EXPECT_TRUE(config_snapshot().role.beacon_enabled);
}

TEST_F(ConfigTest, IdentityChangeRewritesFileWithTheBoundPort) {
  startup_state().opts.port = 8081;  // after a port fallback
  IdentityCache id;
  id.email = "ann@example.test";
  id.serial_number = 77;
  bool changed = false;
  ASSERT_EQ(identity_cache_update(true, id, &changed), RC_OK);
  EXPECT_TRUE(changed);
  const std::string text = read_file(config_path());
  EXPECT_NE(text.find("\nhttp_port=8081\n"), std::string::npos);
  EXPECT_NE(text.find("\nidentity_email=ann@example.test\n"), std::string::npos);
  EXPECT_NE(text.find("\nidentity_sn=77\n"), std::string::npos);

  // The same identity again does not touch the file.
  ASSERT_TRUE(write_file(config_path(), "sentinel\n"));
  ASSERT_EQ(identity_cache_update(true, id, &changed), RC_OK);
  EXPECT_FALSE(changed);
  EXPECT_EQ(read_file(config_path()), "sentinel\n");

  // No identity any more: the cache is cleared and written.
  ASSERT_EQ(identity_cache_update(false, id, &changed), RC_OK);
  EXPECT_TRUE(changed);
  EXPECT_EQ(identity_cache_get(), IdentityCache{});
  EXPECT_NE(read_file(config_path()).find("\nidentity_email=\n"), std::string::npos);
}

TEST_F(ConfigTest, ServerRoleInferredFromConfigToml) {
  ASSERT_TRUE(write_file(scratch_.sub("config.toml"), "[node]\n"));
  config_reset_defaults();
  RolePolicy r = config_snapshot().role;
  EXPECT_TRUE(r.server_role);
  EXPECT_EQ(r.health_check_interval_hours, 0u);
  EXPECT_EQ(r.echo_interval_seconds, 3600u);
  EXPECT_FALSE(r.beacon_enabled);
  EXPECT_FALSE(r.drd_sync_enabled);
  ASSERT_EQ(config_write_default_file(), RC_OK);
  EXPECT_NE(log_text().find("node_role not set; inferred server from ../config.toml"), std::string::npos);

  // An explicit desktop role wins over the file, and a folder named config.toml does not count.
  write_conf("node_role=desktop\n");
  ASSERT_EQ(config_load(), RC_OK);
  EXPECT_FALSE(config_snapshot().role.server_role);
  EXPECT_EQ(config_snapshot().role.echo_interval_seconds, 300u);
  ASSERT_EQ(remove_file(scratch_.sub("config.toml")), RC_OK);
  ASSERT_EQ(make_dir(scratch_.sub("config.toml")), RC_OK);
  config_reset_defaults();
  EXPECT_FALSE(config_snapshot().role.server_role);
}

TEST_F(ConfigTest, UnwritableFileReportsFileError) {
  set_data_root(scratch_.sub("no_such_root"));
  EXPECT_EQ(config_write_file(), RC_FILE);
  EXPECT_NE(log_text().find("Failed to save configuration to"), std::string::npos);
}
