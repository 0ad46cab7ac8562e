#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "runtime/send_log.h"
#include "runtime/telemetry.h"
#include "support/test_support.h"

using testsupport::file_exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

TEST(Telemetry, HeaderOnceAcrossReopenAndOneLinePerCall) {
  TempDir root;
  ASSERT_EQ(telemetry_open(root.path()), RC_OK);
  EXPECT_TRUE(telemetry_enabled());
  TelemetryRecord r;
  r.call_id = 7;
  r.cmd_group = 0;
  r.cmd_code = 4;
  r.kovra_id = 24;
  r.kovra_endpoint = "127.0.0.1:40024";
  r.coin_count = -1;
  r.rtt_ms = 12;
  r.status = 250;
  r.success = true;
  telemetry_record(r);
  telemetry_close();
  EXPECT_FALSE(telemetry_enabled());
  telemetry_record(r);  // closed: dropped

  ASSERT_EQ(telemetry_open(root.path()), RC_OK);
  telemetry_record(r);
  telemetry_close();

  std::string text = read_file(root.sub("kovra_telemetry.csv"));
  std::string header = std::string(kTelemetryHeader) + "\n";
  ASSERT_EQ(text.rfind(header, 0), 0u);
  EXPECT_EQ(text.find(header, 1), std::string::npos) << "header written twice";
  std::string body = text.substr(header.size());
  std::regex two_lines(R"((\d+,\d+,7,0,4,0,0,24,127\.0\.0\.1:40024,0,-1,0,12,0,0,250,1,0,0,0\n){2})");
  EXPECT_TRUE(std::regex_match(body, two_lines)) << body;
}

TEST(Telemetry, EmptyExistingFileGetsTheHeader) {
  TempDir root;
  ASSERT_TRUE(write_file(root.sub("kovra_telemetry.csv"), ""));
  ASSERT_EQ(telemetry_open(root.path()), RC_OK);
  telemetry_close();
  EXPECT_EQ(read_file(root.sub("kovra_telemetry.csv")), std::string(kTelemetryHeader) + "\n");
}

TEST(Telemetry, UnopenableFileLeavesTelemetryDisabled) {
  TempDir root;
  EXPECT_EQ(telemetry_open(root.sub("missing/deeper")), RC_ERROR);
  EXPECT_FALSE(telemetry_enabled());
}

TEST(SendLog, EnvironmentOverridesTheSetting) {
  struct Case {
    const char* env;  // null: unset
    bool configured;
    bool expected;
  } cases[] = {{nullptr, true, true}, {nullptr, false, false}, {"", true, true},   {"1", false, true},
               {"true", false, true}, {"Yes", false, true},    {"y", false, true}, {"0", true, false},
               {"no", true, false},   {"off", true, false}};
  for (const auto& c : cases) {
    if (c.env)
      setenv("PELKO_SEND_LOG", c.env, 1);
    else
      unsetenv("PELKO_SEND_LOG");
    EXPECT_EQ(send_log_resolve_enabled(c.configured), c.expected) << (c.env ? c.env : "(unset)") << " " << c.configured;
  }
  unsetenv("PELKO_SEND_LOG");
}

TEST(SendLog, LinesCarryTimeIdPhaseAndExtraMembers) {
  TempDir root;
  ASSERT_EQ(send_log_open(root.path(), true), RC_OK);
  send_log("s0123456789abcdef", "UPLOAD", "\"stripes\":%d", 5);
  send_log(nullptr, nullptr, nullptr);
  send_log_close();
  send_log("sX", "AFTER_CLOSE", nullptr);

  std::string text = read_file(root.sub("send.log"));
  std::regex want(
      R"(\{"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","send_id":"s0123456789abcdef","phase":"UPLOAD","stripes":5\}\n)"
      R"(\{"ts":"[^"]+","send_id":"","phase":"UNKNOWN"\}\n)");
  EXPECT_TRUE(std::regex_match(text, want)) << text;
}

TEST(SendLog, DisabledWritesNothing) {
  TempDir root;
  ASSERT_EQ(send_log_open(root.path(), false), RC_OK);
  EXPECT_FALSE(send_log_is_open());
  send_log("s1", "X", nullptr);
  EXPECT_FALSE(file_exists(root.sub("send.log")));
}

TEST(SendLog, TenMebibyteLogRotatesAndTheFifthGenerationIsDropped) {
  TempDir root;
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(write_file(root.sub("send.log." + std::to_string(i)), "gen" + std::to_string(i)));
  ASSERT_TRUE(write_file(root.sub("send.log"), "current"));
  ASSERT_EQ(truncate(root.sub("send.log").c_str(), kSendLogRotateBytes), 0);

  ASSERT_EQ(send_log_open(root.path(), true), RC_OK);
  send_log_close();
  EXPECT_EQ(read_file(root.sub("send.log")), "");
  EXPECT_EQ(read_file(root.sub("send.log.1")).substr(0, 7), "current");
  for (int i = 2; i <= 5; ++i) EXPECT_EQ(read_file(root.sub("send.log." + std::to_string(i))), "gen" + std::to_string(i - 1));
}

TEST(SendLog, JustBelowTheLimitIsNotRotated) {
  TempDir root;
  ASSERT_TRUE(write_file(root.sub("send.log"), "x"));
  ASSERT_EQ(truncate(root.sub("send.log").c_str(), kSendLogRotateBytes - 1), 0);
  send_log_rotate(root.path());
  EXPECT_FALSE(file_exists(root.sub("send.log.1")));
}

TEST(SendLog, NewSendIdShapeAndDistinct) {
  std::string a = new_send_id(), b = new_send_id();
  EXPECT_TRUE(std::regex_match(a, std::regex("s[0-9a-f]{16}"))) << a;
  EXPECT_NE(a, b);
}
