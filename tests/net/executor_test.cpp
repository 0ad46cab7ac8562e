// The executor against a hand-made UDP responder on loopback: answers that arrive but do not parse
// are errors, keep their header, and are shown in the failed-header dump.
#include "net/executor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/kovra_protocol.h"
#include "runtime/data_root.h"
#include "runtime/log.h"
#include "support/loopback_servers.h"
#include "support/test_support.h"

namespace {

// Five statuses, one per five servers; the header announces a 4-byte body that never comes.
std::vector<uint8_t> cut_answer(uint8_t server_id) {
  std::vector<uint8_t> r(32, 0);
  r[0] = server_id;
  r[2] = static_cast<uint8_t>(100 + server_id / 5);
  r[11] = 4;
  for (int i = 16; i < 32; ++i) r[i] = 0xC5;
  return r;
}

TEST(ExecutorAnswers, UnparsableAnswersAreErrorsAndTheFirstOfThreeStatusesAreDumped) {
  testsupport::LoopbackResponder responder(
      [](int fd, const sockaddr_in& from, const std::vector<uint8_t>& request) {
        if (request.size() <= kovra::req1::kServerId) return;
        std::vector<uint8_t> reply = cut_answer(request[kovra::req1::kServerId]);
        ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      });
  testsupport::TempDir dir;
  set_data_root(dir.path());
  std::string csv;
  for (int i = 0; i < kovra::kServerCount; ++i) csv += "127.0.0.1:" + std::to_string(responder.port()) + ",K\n";
  ASSERT_TRUE(testsupport::write_file(dir.sub("kovra_ips.csv"), csv));
  ASSERT_EQ(transport_init(true), RC_OK);
  const std::string log_file = dir.sub("capture.log");
  const int level = log_min_level();
  log_open(log_file);
  log_set_min_level(LOG_INFO);

  ExecutorOptions o;
  executor_options_init(&o);
  o.transport = TRANSPORT_UDP;
  o.attempt_timeout_ms = 3000;
  o.early_finish_count = 0;
  auto res = std::make_unique<ExecutorResults>();
  ResultCode rc = executor_run(kovra::group::kStatus, kovra::cmd::kEcho, BodyBuilder(), &o, res.get());
  log_close();
  log_set_min_level(level);
  transport_cleanup();
  set_data_root("");
  ASSERT_EQ(rc, RC_OK);

  EXPECT_EQ(res->success, 0);
  EXPECT_EQ(res->error, kovra::kServerCount);
  for (int i = 0; i < kovra::kServerCount; ++i) {
    const ServerResult& r = res->servers[i];
    SCOPED_TRACE(i);
    EXPECT_TRUE(r.parse_failed);
    EXPECT_FALSE(r.responded);
    EXPECT_EQ(r.error_text, "Failed to parse response");
    EXPECT_TRUE(r.has_response_header);
    EXPECT_EQ(r.status, 100 + i / 5) << "the status still read from the kept header";
    EXPECT_EQ(r.response.body.size(), 0u);
  }

  const std::string log = testsupport::read_file(log_file);
  struct Dump {
    const char* line;
    bool shown;
  } dumps[] = {
      {"KOVRA  0 FAILED (status 100) - Request header", true},
      {"KOVRA  0 FAILED (status 100) - Response header", true},
      {"KOVRA  5 FAILED (status 101) - Request header", true},
      {"KOVRA 10 FAILED (status 102) - Response header", true},
      {"KOVRA  1 FAILED", false},   // same status as server 0
      {"KOVRA 15 FAILED", false},   // a fourth status
      {"KOVRA 20 FAILED", false},
  };
  for (const Dump& d : dumps) EXPECT_EQ(log.find(d.line) != std::string::npos, d.shown) << d.line << "\n" << log;
  EXPECT_NE(log.find("Request header (32 bytes"), std::string::npos) << log;
  // The response header of server 10 as it arrived: id 0x0a, status 102 (0x66), announced length 4.
  EXPECT_NE(log.find("0A 00 66 00 00 00 00 00  00 00 00 04"), std::string::npos) << log;
}

}  // namespace
