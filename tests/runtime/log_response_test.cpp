#include "runtime/log_response.h"

#include <gtest/gtest.h>

#include "runtime/log.h"
#include "support/test_support.h"

namespace {

TEST(LogResponse, PrettyPrintTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"a\":1}", "  JSON Body:\n{\n    \"a\": 1\n  }\n"},
      {"{\"a\":[1,2],\"b\":{\"c\":\"x, {y}\"}}",
       "  JSON Body:\n{\n    \"a\": [\n      1,\n      2\n    ],\n    \"b\": {\n      \"c\": \"x, {y}\"\n    }\n  }\n"},
      {" { \"q\" : \"a\\\"b\" } ", "  JSON Body:\n{\n    \"q\": \"a\\\"b\"\n  }\n"},
      {"{\"p\":\"C:\\\\\",\"n\":1}", "  JSON Body:\n{\n    \"p\": \"C:\\\\\",\n    \"n\": 1\n  }\n"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(log_pretty_json(in), out) << in;
}

TEST(LogResponse, SecretParameterNamesIgnoreCase) {
  for (const char* n : {"locker_key", "LOCKER_CODE", "Password", "passwd", "an", "AN", "ticket", "pan", "seed"})
    EXPECT_TRUE(log_param_is_secret(n)) << n;
  for (const char* n : {"ans", "pans", "wallet", "", "password2", "a"}) EXPECT_FALSE(log_param_is_secret(n)) << n;
}

TEST(LogResponse, SummaryCutsLongBodiesOutsideDebugAndMarksEmptyOnes) {
  testsupport::TempDir tmp;
  ASSERT_TRUE(log_open(tmp.sub("main.log")));
  std::string body600 = "\"" + std::string(598, 'z') + "\"";
  log_response_summary(200, body600);
  log_response_summary(204, "");
  log_request_line("GET", "/api/x", "a=1");
  log_request_line("POST", "/api/y", "");
  log_close();
  std::string log = testsupport::read_file(tmp.sub("main.log"));
  EXPECT_NE(log.find("HttpResponse: status=200\n  [TRUNCATED] " + body600.substr(0, 512) + "...\n"), std::string::npos);
  EXPECT_NE(log.find("HttpResponse: status=204 (empty)\n"), std::string::npos);
  EXPECT_NE(log.find("HttpRequest: GET /api/x ?a=1\n"), std::string::npos);
  EXPECT_NE(log.find("HttpRequest: POST /api/y\n"), std::string::npos);
}

TEST(LogResponse, NothingIsWrittenWhenTheSummaryLevelIsFilteredOut) {
  testsupport::TempDir tmp;
  ASSERT_TRUE(log_open(tmp.sub("main.log")));
  log_set_min_level(LOG_WARN);
  log_response_summary(200, "{\"a\":1}");
  log_close();  // also restores the default level
  EXPECT_EQ(testsupport::read_file(tmp.sub("main.log")), "");
}

}  // namespace
