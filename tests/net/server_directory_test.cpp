#include "net/server_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/data_root.h"
#include "support/test_support.h"

namespace {

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

class ServerDirectory : public ::testing::Test {
 protected:
  void SetUp() override { set_data_root(dir_.path()); }
  void TearDown() override {
    directory_shutdown();
    set_data_root("");
  }
  std::string lines(int n, const std::string& flag = ",K") {
    std::string s;
    for (int i = 0; i < n; ++i) s += "10.1.2." + std::to_string(i) + ":" + std::to_string(50000 + i) + flag + "\n";
    return s;
  }
  TempDir dir_;
};

TEST_F(ServerDirectory, DefaultFileHasTwentyFiveLoopbackLines) {
  ASSERT_EQ(write_default_server_file(server_file_path()), RC_OK);
  std::string text = read_file(server_file_path());
  EXPECT_EQ(text.substr(0, 54), "127.0.0.1:50000,P\n127.0.0.1:50001,P\n127.0.0.1:50002,K\n");
  EXPECT_NE(text.find("127.0.0.1:50011,P\n127.0.0.1:50012,K\n127.0.0.1:50013,P\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 18), "127.0.0.1:50024,P\n");
  int count = 0;
  for (char c : text) count += c == '\n';
  EXPECT_EQ(count, 25);
}

TEST_F(ServerDirectory, TwentyFourLinesAreRefusedAndTheFileIsKept) {
  std::string short_list = lines(24);
  ASSERT_TRUE(write_file(server_file_path(), short_list));
  std::vector<ServerEntry> list;
  EXPECT_EQ(read_server_file(server_file_path(), &list), RC_CORRUPT_FILE);
  ASSERT_EQ(directory_init(false), RC_OK);
  ServerEntry e;
  ASSERT_EQ(server_entry(0, &e), RC_OK);
  EXPECT_EQ(e.host, "127.0.0.1");  // built-in list in use
  EXPECT_EQ(e.port, 50000);
  EXPECT_EQ(read_file(server_file_path()), short_list);
}

TEST_F(ServerDirectory, LinesWithoutFlagTakeTheBuiltInMailSet) {
  std::string text;
  for (int i = 0; i < 25; ++i) {
    if (i == 3 || i == 11)
      text += "10.0.0." + std::to_string(i) + ":" + std::to_string(60000 + i) + "\n";
    else if (i == 5)
      text += "10.0.0.5\r\n";  // no port: 50000 + position
    else if (i == 6)
      text += "10.0.0.6:50006,p\n";  // lower-case flag
    else
      text += "10.0.0." + std::to_string(i) + ":" + std::to_string(50000 + i) + ",K\n";
    if (i == 7) text += "\n\n";  // empty lines are skipped
  }
  ASSERT_TRUE(write_file(server_file_path(), text));
  std::vector<ServerEntry> list;
  ASSERT_EQ(read_server_file(server_file_path(), &list), RC_OK);
  EXPECT_FALSE(list[3].mail);
  EXPECT_EQ(list[3].port, 60003);
  EXPECT_TRUE(list[11].mail);
  EXPECT_EQ(list[5].host, "10.0.0.5");
  EXPECT_EQ(list[5].port, 50005);
  EXPECT_TRUE(list[6].mail);
  EXPECT_FALSE(list[0].mail);  // an explicit K wins over the built-in set
  EXPECT_EQ(list[24].host, "10.0.0.24");
}

TEST_F(ServerDirectory, MissingFileIsCreatedFromBuiltInList) {
  ASSERT_EQ(directory_init(false), RC_OK);
  EXPECT_EQ(loaded_server_count(), 25);
  std::vector<ServerEntry> list;
  ASSERT_EQ(read_server_file(server_file_path(), &list), RC_OK);
  EXPECT_EQ(list, builtin_server_list());
  ServerEntry e;
  EXPECT_EQ(server_entry(25, &e), RC_INVALID_PARAM);
}

TEST_F(ServerDirectory, StatisticsAreSavedAndLoadedBack) {
  ASSERT_EQ(directory_init(false), RC_OK);
  record_result(0, 12, true, false);
  record_result(1, 2000, false, true);
  record_result(2, 7, false, false);
  record_result(2, 9, true, false);
  ASSERT_EQ(save_stats(), RC_OK);
  std::string text = read_file(stats_file_path());
  EXPECT_PRED2([](const std::string& t, const std::string& head) { return t.starts_with(head); }, text,
               "# KOVRA Statistics\n"
               "# kovra_id,last_response_ms,is_available,success_count,error_count,timeout_count\n"
               "0,12,1,1,0,0\n"
               "1,2000,0,0,0,1\n"
               "2,9,1,1,1,0\n3,0,1,0,0,0\n");
  directory_shutdown();
  ASSERT_EQ(directory_init(false), RC_OK);
  ServerStats s = server_stats(1);
  EXPECT_EQ(s.last_response_ms, 2000u);
  EXPECT_FALSE(s.is_available);
  EXPECT_EQ(s.timeout_count, 1u);
  EXPECT_EQ(server_stats(2).error_count, 1u);
}

TEST_F(ServerDirectory, AvailabilityIsTheLastSavedValueWhenSaved) {
  ASSERT_EQ(directory_init(false), RC_OK);
  EXPECT_TRUE(is_available(4));  // no file yet: the live value
  record_result(4, 5, false, false);
  EXPECT_FALSE(is_available(4));
  ASSERT_EQ(save_stats(), RC_OK);
  record_result(4, 5, true, false);  // live value changes, the saved one stays
  EXPECT_FALSE(is_available(4));
  EXPECT_TRUE(server_stats(4).is_available);
  EXPECT_FALSE(is_available(25));
  EXPECT_EQ(last_response_ms(25), 0u);
}

TEST_F(ServerDirectory, CooldownFollowsTheLastFailure) {
  ASSERT_EQ(directory_init(false), RC_OK);
  record_result(9, 100, false, true);
  uint64_t failed_at = server_stats(9).last_update;
  uint64_t age = 0;
  EXPECT_TRUE(in_cooldown_at(9, 60000, failed_at + 10000, &age));
  EXPECT_EQ(age, 10000u);
  EXPECT_FALSE(in_cooldown_at(9, 60000, failed_at + 61000, &age));
  EXPECT_FALSE(in_cooldown_at(9, 0, failed_at + 10, &age));
  record_result(10, 100, true, false);
  EXPECT_FALSE(in_cooldown_at(10, 60000, server_stats(10).last_update + 10, &age));
  EXPECT_FALSE(in_cooldown(11, 60000));  // never updated
  EXPECT_TRUE(in_cooldown(9, 60000));
}

}  // namespace
