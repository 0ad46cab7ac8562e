#include <gtest/gtest.h>

#include <cstring>

#include "e2e/service_fixture.h"
#include "runtime/config.h"
#include "runtime/data_root.h"
#include "runtime/fs.h"
#include "runtime/log.h"
#include "runtime/timing_policy.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::write_file;

TEST(ConfigE2E, DefaultFileWrittenAtFirstStartReadsBackToTheDefaults) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start());
  ASSERT_EQ(svc.stop(), 0);
  EXPECT_NE(svc.output().find("Configuration:   Loaded from rest_core.conf"), std::string::npos) << svc.output();
  EXPECT_EQ(read_file(svc.data_root() + "/guardians.csv").rfind("id,url\n0,", 0), 0u);
  EXPECT_TRUE(is_file(svc.data_root() + "/BackupPlaces.txt"));

  set_data_root(svc.data_root());
  timing_policy_reset_live();
  config_reset_defaults();
  const ConfigSettings defaults = config_snapshot();
  log_set_quiet();
  ASSERT_EQ(config_load(), RC_OK);
  log_clear_quiet();
  ConfigSettings read = config_snapshot();
  EXPECT_EQ(read.file_http_port, svc.port());
  read.file_http_port = defaults.file_http_port;
  read.role.set_flags = defaults.role.set_flags;
  EXPECT_EQ(read, defaults);
  TimingPolicy live = timing_policy_snapshot();
  TimingPolicy want = timing_policy_defaults();
  live.generation = want.generation;
  EXPECT_EQ(std::memcmp(&live, &want, sizeof live), 0);
  timing_policy_reset_live();
  set_data_root("");
}

TEST(ConfigE2E, BadTimingValueIsReportedAndTheServiceStartsOnDefaults) {
  e2e::Service svc;
  ASSERT_EQ(make_dirs(svc.data_root()), RC_OK);
  ASSERT_TRUE(write_file(svc.data_root() + "/rest_core.conf",
                         "default_wallet=Early\nkovra_echo_attempt_timeout_ms=10\nbeacon_enabled=false\n"));
  ASSERT_TRUE(svc.start());
  ASSERT_EQ(svc.stop(), 0);
  const std::string out = svc.output() + svc.main_log();
  EXPECT_NE(out.find("rest_core.conf:2: invalid kovra_echo_attempt_timeout_ms=10 (expected 50..120000)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Failed to load config file; keeping available settings and previous timing policy"),
            std::string::npos);
  EXPECT_NE(out.find("Configuration:   Using defaults"), std::string::npos);
  // The line after the bad one is never read: the beacon keeps its role default.
  EXPECT_NE(out.find("Core role=desktop health_hours=24 echo_seconds=300 beacon=true drd_sync=true"),
            std::string::npos);
  // The user's file is left as written.
  EXPECT_EQ(read_file(svc.data_root() + "/rest_core.conf"),
            "default_wallet=Early\nkovra_echo_attempt_timeout_ms=10\nbeacon_enabled=false\n");
}
