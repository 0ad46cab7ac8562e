#include "runtime/startup_config.h"

#include <gtest/gtest.h>

#include "runtime/config.h"
#include "runtime/data_root.h"
#include "runtime/fs.h"
#include "runtime/log.h"
#include "runtime/startup.h"
#include "runtime/timing_policy.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {
class StartupConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.sub("Client_Data");
    ASSERT_EQ(make_dirs(root_), RC_OK);
    set_data_root(root_);
    startup_state() = StartupState{};
    timing_policy_reset_live();
    log_open(scratch_.sub("test.log"));
  }
  void TearDown() override {
    log_close();
    timing_policy_reset_live();
    set_data_root("");
    set_current_wallet("Default");
    set_payment_wallet("Default");
  }
  TempDir scratch_;
  std::string root_;
};
}  // namespace

TEST_F(StartupConfigTest, DefaultFilesAreWrittenOnlyWhenMissing) {
  startup_write_guardians();
  EXPECT_EQ(read_file(root_ + "/guardians.csv"), std::string("id,url\n0,") + GUARDIAN_ENDPOINT_URL + "\n");
  ASSERT_TRUE(write_file(root_ + "/guardians.csv", "id,url\n0,https://mine.example/\n"));
  startup_write_guardians();
  EXPECT_EQ(read_file(root_ + "/guardians.csv"), "id,url\n0,https://mine.example/\n");

  int calls = 0;
  auto writer = [&](const std::string& path) {
    ++calls;
    return write_file(path, "list\n") ? RC_OK : RC_FILE;
  };
  EXPECT_EQ(startup_write_server_list_and_backup_places(writer), RC_OK);
  EXPECT_EQ(startup_write_server_list_and_backup_places(writer), RC_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(is_file(root_ + "/BackupPlaces.txt"));
  EXPECT_EQ(read_file(root_ + "/BackupPlaces.txt"), "");
}

TEST_F(StartupConfigTest, ServerListFailureIsFatal) {
  EXPECT_EQ(startup_write_server_list_and_backup_places([](const std::string&) { return RC_FILE; }), RC_FILE);
  EXPECT_FALSE(exists(root_ + "/kovra_ips.csv"));
}

TEST_F(StartupConfigTest, FirstStartWritesAndLoadsTheDefaultFile) {
  startup_reset_settings();
  startup_load_configuration();
  EXPECT_TRUE(is_file(config_path()));
  EXPECT_TRUE(startup_state().config_loaded);
  EXPECT_EQ(timing_policy_snapshot().generation, 2u);
  EXPECT_NE(read_file(scratch_.sub("test.log"))
                .find("Core role=desktop health_hours=24 echo_seconds=300 beacon=true drd_sync=true"),
            std::string::npos);
}

TEST_F(StartupConfigTest, LoadedWalletNamesAndABadFileAreHandedOn) {
  ASSERT_TRUE(write_file(config_path(), "default_wallet=Savings\npayment_wallet=Spending\n"
                                        "kovra_echo_attempt_timeout_ms=1\n"));
  startup_reset_settings();
  startup_load_configuration();
  EXPECT_FALSE(startup_state().config_loaded);
  EXPECT_EQ(current_wallet(), "Savings");
  EXPECT_EQ(payment_wallet(), "Spending");
  EXPECT_EQ(timing_policy_snapshot().generation, 1u);
  EXPECT_NE(read_file(scratch_.sub("test.log"))
                .find("Failed to load config file; keeping available settings and previous timing policy"),
            std::string::npos);
}
