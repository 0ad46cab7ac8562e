// Echo, version and count through the real binary against the simulated servers, with servers
// put down or late by the simulator's fault rules; the boot echo and the periodic refresh.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "e2e/cluster_fixture.h"

namespace {

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// The JSON object of one server in a reply's array, found by its leading member.
std::string server_object(const std::string& body, const std::string& id_member, int id) {
  const std::string key = "{\"" + id_member + "\":" + std::to_string(id) + ",";
  size_t at = body.find(key);
  if (at == std::string::npos) return "";
  return body.substr(at, body.find('}', at) - at + 1);
}

// A number member of the first object that holds `anchor`.
long long number_after(const std::string& body, const std::string& anchor, const std::string& member) {
  size_t at = body.find(anchor);
  if (at == std::string::npos) return -1;
  at = body.find("\"" + member + "\":", at);
  if (at == std::string::npos) return -1;
  return std::atoll(body.c_str() + at + member.size() + 3);
}

std::string servers_list(int first, int count) {
  std::string s;
  for (int i = first; i < first + count; ++i) s += (s.empty() ? "" : ",") + std::to_string(i);
  return s;
}

class KovraStatus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cl.start()) << cl.sim_output() << cl.service().output(); }
  testsupport::HttpReply get(const std::string& target) { return cl.service().get(target, 30000); }
  void clear_faults() { ASSERT_EQ(cl.sim_post("/reset", "what=faults").status, 200); }
  e2e::Cluster cl;
};

TEST_F(KovraStatus, EchoOfTwentyFiveAnsweringServersIsReadyOverEveryTransportAndMode) {
  const char* variants[] = {"/api/kovra/echo", "/api/kovra/echo?transport=udp", "/api/kovra/echo?mode=serial",
                            "/api/kovra/echo?encryption=1", "/api/kovra/echo?transport=udp&mode=serial"};
  for (const char* target : variants) {
    SCOPED_TRACE(target);
    testsupport::HttpReply r = get(target);
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(r.body.rfind("{\"command\":\"echo\",\"kovras\":[{\"index\":0,\"status\":\"Ready\",\"latency_ms\":", 0), 0u)
        << r.body;
    EXPECT_EQ(occurrences(r.body, "\"status\":\"Ready\""), 25) << r.body;
    EXPECT_NE(r.body.find("\"total_available\":25,\"total_timeout\":0,\"total_error\":0,\"array_usable\":true,"
                          "\"total_time_ms\":"),
              std::string::npos)
        << r.body;
    EXPECT_NE(r.body.find("\"request_id\":\""), std::string::npos) << r.body;
  }
}

TEST_F(KovraStatus, EchoTimeoutIsClampedBetween100And120000Milliseconds) {
  ASSERT_EQ(get("/api/kovra/echo?timeout=50").status, 200);
  EXPECT_NE(cl.service().main_log().find("group=0 command=0 timeout=100 ms"), std::string::npos);
  ASSERT_EQ(get("/api/kovra/echo?timeout=999999").status, 200);
  EXPECT_NE(cl.service().main_log().find("group=0 command=0 timeout=120000 ms"), std::string::npos);
}

TEST_F(KovraStatus, ArrayIsUsableWithThirteenAnsweringServersAndNotWithTwelve) {
  struct Case {
    int down;
    int available;
    const char* usable;
  } cases[] = {{12, 13, "true"}, {13, 12, "false"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.down);
    ASSERT_GT(cl.fault("kind=down&servers=" + servers_list(0, c.down)), 0);
    testsupport::HttpReply r = get("/api/kovra/echo");
    ASSERT_EQ(r.status, 200) << r.raw;
    EXPECT_EQ(occurrences(r.body, "\"status\":\"Ready\""), c.available) << r.body;
    EXPECT_EQ(occurrences(r.body, "\"status\":\"Network Error\""), c.down) << r.body;
    EXPECT_NE(r.body.find("\"total_available\":" + std::to_string(c.available) + ",\"total_timeout\":0,\"total_error\":" +
                          std::to_string(c.down) + ",\"array_usable\":" + c.usable),
              std::string::npos)
        << r.body;
    EXPECT_EQ(server_object(r.body, "index", c.down - 1).find("Network Error") != std::string::npos, true) << r.body;
    clear_faults();
  }
}

TEST_F(KovraStatus, ServersDelayedPastTheTimeoutAreTimedOut) {
  // Three late servers leave 22 answers, below the early-finish threshold: the run ends at the
  // attempt time-out and the three are timed out, not errors.
  ASSERT_GT(cl.fault("kind=delay&delay_ms=3000&group=0&command=0&servers=4,9,17"), 0);
  const auto t0 = std::chrono::steady_clock::now();
  testsupport::HttpReply r = get("/api/kovra/echo?timeout=400");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(r.status, 200) << r.raw;
  for (int id : {4, 9, 17}) EXPECT_NE(server_object(r.body, "index", id).find("\"Timed Out\""), std::string::npos) << r.body;
  EXPECT_EQ(occurrences(r.body, "\"status\":\"Ready\""), 22) << r.body;
  EXPECT_NE(r.body.find("\"total_available\":22,\"total_timeout\":3,\"total_error\":0,\"array_usable\":true"),
            std::string::npos)
      << r.body;
  EXPECT_LT(ms, 2500) << "the late answers must not be waited for";
}

TEST_F(KovraStatus, VersionShowsTheServersBuildDateAndTellsTimeoutsFromErrors) {
  testsupport::HttpReply r = get("/api/kovra/version");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body.rfind("{\"command\":\"kovra_version\",\"success\":true,\"request_id\":\"", 0), 0u) << r.body;
  EXPECT_NE(r.body.find("\"pass_count\":25,\"kovra_versions\":[{\"kovra_id\":0,\"status\":\"success\","
                        "\"version\":\"2026-December-01\",\"latency_ms\":"),
            std::string::npos)
      << r.body;
  EXPECT_EQ(occurrences(r.body, "\"version\":\"2026-December-01\""), 25) << r.body;
  EXPECT_NE(r.body.find("\"timeout_count\":0,\"error_count\":0,\"skipped_count\":0}"), std::string::npos) << r.body;

  // Two refused connections and one late answer: the late one is cut off after the grace, well
  // before the echo time-out, and still reads as a time-out because the executor says so.
  ASSERT_GT(cl.fault("kind=down&group=0&command=1&servers=0,1"), 0);
  ASSERT_GT(cl.fault("kind=delay&delay_ms=8000&group=0&command=1&servers=2"), 0);
  r = get("/api/kovra/version");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(server_object(r.body, "kovra_id", 0).find("\"status\":\"error\",\"version\":\"\""), std::string::npos)
      << r.body;
  EXPECT_NE(server_object(r.body, "kovra_id", 1).find("\"status\":\"error\""), std::string::npos) << r.body;
  const std::string late = server_object(r.body, "kovra_id", 2);
  EXPECT_NE(late.find("\"status\":\"timeout\""), std::string::npos) << r.body;
  EXPECT_LT(number_after(r.body, "{\"kovra_id\":2,", "latency_ms"), 2000) << late;
  EXPECT_NE(r.body.find("\"pass_count\":22,"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"timeout_count\":1,\"error_count\":2,\"skipped_count\":0}"), std::string::npos) << r.body;
}

TEST_F(KovraStatus, CountReportsTheCoinsEachServerHolds) {
  testsupport::HttpReply r = get("/api/kovra/count");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_NE(r.body.find("{\"kovra_id\":0,\"denominations\":[],\"total_value\":\"0\",\"latency_ms\":"), std::string::npos)
      << r.body;

  ASSERT_NE(cl.mint("0:3,1:2,-2:1", cl.dir() + "/coins"), "");
  r = get("/api/kovra/count");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(r.body.rfind("{\"command\":\"kovra_audit\",\"success\":true,\"request_id\":\"", 0), 0u) << r.body;
  EXPECT_NE(r.body.find("\"successful_responses\":25,\"total_kovras\":25,\"kovra_responses\":["), std::string::npos)
      << r.body;
  const std::string expected =
      "\"denominations\":[{\"denomination\":\"0.01000000\",\"count\":1},{\"denomination\":\"1\",\"count\":3},"
      "{\"denomination\":\"10\",\"count\":2}],\"total_value\":\"23.01\"";
  EXPECT_EQ(occurrences(r.body, expected), 25) << r.body;
  EXPECT_NE(r.body.find("\"timeout_count\":0,\"error_count\":0,\"skipped_count\":0}"), std::string::npos) << r.body;

  // A server whose connection is reset is left out of the responses and counted as an error.
  ASSERT_GT(cl.fault("kind=down&group=0&command=3&servers=7"), 0);
  r = get("/api/kovra/count");
  ASSERT_EQ(r.status, 200) << r.raw;
  EXPECT_EQ(server_object(r.body, "kovra_id", 7), "") << r.body;
  EXPECT_NE(r.body.find("\"successful_responses\":24,"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"error_count\":1,"), std::string::npos) << r.body;
}

TEST_F(KovraStatus, BootEchoAsksEveryServerOverTcpAndReportsItsTask) {
  const std::string out = cl.service().output();
  EXPECT_NE(out.find("Starting echo...\nTask ID: "), std::string::npos) << out;
  EXPECT_NE(out.find("Echo complete.\n"), std::string::npos) << out;
  const std::string log = cl.service().main_log();
  EXPECT_NE(log.find("Starting echo (TCP, no encryption, parallel, 2000 ms)"), std::string::npos) << log;
  EXPECT_NE(log.find("Echo task ID: "), std::string::npos) << log;
  EXPECT_NE(log.find("Echo complete: 25 pass, 0 fail, 0 timeout"), std::string::npos) << log;
  // Every server saw the boot echo, over TCP.
  for (int s : {0, 12, 24}) {
    std::string c = cl.sim_get("/counters?server=" + std::to_string(s)).body;
    EXPECT_NE(c.find("{\"group\":0,\"command\":0,"), std::string::npos) << c;
    EXPECT_EQ(number_after(c, "{\"group\":0,\"command\":0,", "tcp"), 1) << c;
    EXPECT_EQ(number_after(c, "{\"group\":0,\"command\":0,", "udp"), 0) << c;
  }
}

TEST_F(KovraStatus, DebugEchoWritesTheRequestReportToTheLog) {
  testsupport::HttpReply r = get("/api/kovra/echo?debug=1&transport=udp&timeout=300");
  ASSERT_EQ(r.status, 200) << r.raw;
  const size_t at = r.body.find("\"request_id\":\"");
  ASSERT_NE(at, std::string::npos) << r.body;
  const std::string id = r.body.substr(at + 14, r.body.find('"', at + 14) - at - 14);
  const std::string log = cl.service().main_log();
  const size_t report = log.find("TASK: Echo Request\nID: " + id + " ");
  ASSERT_NE(report, std::string::npos) << log;
  EXPECT_NE(log.find("* Transport: UDP", report), std::string::npos);
  EXPECT_NE(log.find("* Timeout: 300 ms", report), std::string::npos);
}

TEST(KovraStatusBoot, BootEchoWithNoServerAnsweringDoesNotStopStartUp) {
  e2e::Cluster cl;
  e2e::ClusterOptions opts;
  opts.start_service = false;
  ASSERT_TRUE(cl.start(opts)) << cl.sim_output();
  ASSERT_EQ(cl.stop_sim(), 0);  // its ports, still in kovra_ips.csv, now refuse every connection
  e2e::ServiceOptions so;
  so.env["RESTCORE_TEST_DISCOVERY_URL"] = "http://127.0.0.1:" + std::to_string(cl.control_port());
  ASSERT_TRUE(cl.service().start(so)) << cl.service().output();
  EXPECT_NE(cl.service().output().find("Echo complete.\n"), std::string::npos);
  EXPECT_NE(cl.service().main_log().find("Echo complete: 0 pass, 25 fail, 0 timeout"), std::string::npos)
      << cl.service().main_log();
  testsupport::HttpReply r = cl.service().get("/api/kovra/version", 20000);
  ASSERT_EQ(r.status, 200) << r.raw;
  // Every server was marked unavailable by the boot echo, so version skips them all.
  EXPECT_NE(r.body.find("\"success\":false"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"skipped_count\":25}"), std::string::npos) << r.body;
  EXPECT_EQ(cl.service().stop(), 0);
}

TEST(KovraStatusRefresh, RefreshWorkerEchoesEveryIntervalAndStopsPromptly) {
  e2e::Cluster cl;
  e2e::ClusterOptions opts;
  opts.start_service = false;
  ASSERT_TRUE(cl.start(opts)) << cl.sim_output();
  testsupport::write_file(cl.data_root() + "/rest_core.conf", "echo_interval_seconds=1\n");
  e2e::ServiceOptions so;
  so.env["RESTCORE_TEST_DISCOVERY_URL"] = "http://127.0.0.1:" + std::to_string(cl.control_port());
  ASSERT_TRUE(cl.service().start(so)) << cl.service().output();
  // The boot echo plus at least two refreshes reach a server within a few seconds.
  long long echoes = 0;
  for (int i = 0; i < 100 && echoes < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    echoes = number_after(cl.sim_get("/counters?server=5").body, "{\"group\":0,\"command\":0,", "requests");
  }
  EXPECT_GE(echoes, 3);
  EXPECT_NE(cl.service().main_log().find("Pelko health refresh: started (interval=1"), std::string::npos);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cl.service().stop(), 0) << cl.service().output();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 5000);
  EXPECT_EQ(cl.service().main_log().find("did not stop within 2s"), std::string::npos);
}

}  // namespace

namespace {

TEST(KovraStatusRefresh, ShutdownCancelsARefreshEchoInFlight) {
  e2e::Cluster cl;
  e2e::ClusterOptions opts;
  opts.start_service = false;
  ASSERT_TRUE(cl.start(opts)) << cl.sim_output();
  testsupport::write_file(cl.data_root() + "/rest_core.conf",
                          "echo_interval_seconds=1\nkovra_echo_attempt_timeout_ms=20000\n");
  e2e::ServiceOptions so;
  so.env["RESTCORE_TEST_DISCOVERY_URL"] = "http://127.0.0.1:" + std::to_string(cl.control_port());
  ASSERT_TRUE(cl.service().start(so)) << cl.service().output();
  // From now on no server answers an echo: the next refresh waits on all 25 for up to 20 s.
  ASSERT_GT(cl.fault("kind=drop&group=0&command=0"), 0);
  long long held = 0;
  for (int i = 0; i < 100 && held < 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    held = number_after(cl.sim_get("/counters?server=0").body, "{\"group\":0,\"command\":0,", "unanswered");
  }
  ASSERT_GE(held, 1) << "a refresh echo must be in flight";
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cl.service().stop(), 0) << cl.service().output();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 4000) << "the echo in flight must be cancelled, not waited for";
  EXPECT_EQ(cl.service().main_log().find("did not stop within 2s"), std::string::npos) << cl.service().main_log();
}

}  // namespace
