#include "runtime/log_reports.h"

#include <gtest/gtest.h>

#include <string>

TEST(HexDump, FramedRowsOfSixteenAndCutAtThirtyTwo) {
  std::string data = "Hello\x01\x7f";
  const std::string frame = "  +--------------------------------------------------+------------------+\n";
  EXPECT_EQ(hex_dump_text(data.data(), data.size(), "REQUEST HEADER"),
            "\n  REQUEST HEADER (7 bytes):\n" + frame + "  | Offset  Hex Values                              | ASCII            |\n" +
                frame + "  | 0000    48 65 6C 6C 6F 01 7F " + std::string(9 * 3 + 1, ' ') + "| Hello..          |\n" +
                frame + "\n");

  std::string forty(40, 'z');
  std::string text = hex_dump_text(forty.data(), forty.size(), nullptr);
  EXPECT_EQ(text.rfind("\n  Data (40 bytes, showing first 32):\n", 0), 0u) << text;
  EXPECT_NE(text.find("  | 0010    7A 7A 7A 7A 7A 7A 7A 7A  7A 7A 7A 7A 7A 7A 7A 7A | zzzzzzzzzzzzzzzz |\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("| 0020"), std::string::npos) << "more than 32 bytes shown";
}

namespace {
ServerReportRow row(bool answered, bool timed_out, bool passed, uint32_t ms, uint8_t status = 250) {
  ServerReportRow r;
  r.attempted = true;
  r.answered = answered;
  r.timed_out = timed_out;
  r.passed = passed;
  r.ms = ms;
  r.status = status;
  r.status_name = passed ? "Success" : "Refused";
  return r;
}
}  // namespace

TEST(ServerResults, TallyClassifiesEveryAttemptedServer) {
  std::vector<ServerReportRow> rows = {row(true, false, true, 10),  row(true, false, false, 12),
                                       row(false, true, false, 0),  row(true, true, false, 3000),  // time-out status
                                       row(false, false, false, 0), ServerReportRow{}};            // not attempted
  ServerTally t = server_tally(rows);
  EXPECT_EQ(t.attempted, 5);
  EXPECT_EQ(t.passed, 1);
  EXPECT_EQ(t.rejected, 1);
  EXPECT_EQ(t.timeouts, 2);
  EXPECT_EQ(t.errors, 1);
}

TEST(ServerResults, ChartScalesBarsAndMarksOutliers) {
  std::vector<ServerReportRow> rows = {row(true, false, true, 100), row(true, false, true, 100),
                                       row(true, false, true, 1000), row(false, true, false, 0)};
  std::string chart = server_results_chart("Echo", rows, 2000, "2026-12-11 12:00:00");
  EXPECT_NE(chart.find("[2026-12-11 12:00:00] Echo Server Response Times (ms)\n"), std::string::npos) << chart;
  EXPECT_NE(chart.find("  | S00 ##### 100 ms\n"), std::string::npos) << chart;
  EXPECT_NE(chart.find("  | S02 " + std::string(50, '!') + " 1000 ms (OUTLIER)\n"), std::string::npos) << chart;
  EXPECT_NE(chart.find("  | S03 [TIMEOUT/ERROR] 2000 ms\n"), std::string::npos) << chart;
  EXPECT_NE(chart.find("  Min: 100 ms  |  Max: 1000 ms  |  Avg: 400 ms  |  Valid: 3/4  |  Total: 2000 ms\n"),
            std::string::npos)
      << chart;

  std::vector<ServerReportRow> none = {row(false, true, false, 0)};
  EXPECT_EQ(server_results_chart("Echo", none, 5, "t"), "\n[Echo] No valid responses for timing chart (1 attempted)\n");
}

TEST(ServerResults, BoxCountsRejectionsAndErrorsTogether) {
  ServerTally t;
  t.attempted = 25;
  t.passed = 20;
  t.rejected = 2;
  t.errors = 1;
  t.timeouts = 2;
  std::string b = server_results_box(t);
  EXPECT_NE(b.find("| Ready:                                                             20 |\n"), std::string::npos) << b;
  EXPECT_NE(b.find("| Errors:                                                             3 |\n"), std::string::npos) << b;
  EXPECT_NE(b.find("| Total Servers:                                                     25 |\n"), std::string::npos) << b;
}

TEST(RequestReport, ConsensusNeedsThirteenReadyServers) {
  RequestReport r;
  r.name = "Echo";
  r.id = "Dec-11-26_12-00-00-pm-abcd";
  r.timeout_ms = 3000;
  r.duration_s = 0.25;
  for (int i = 0; i < 25; ++i) {
    RequestReportRow row;
    row.answered = i < 13;
    row.passed = i < 13;
    row.timed_out = i >= 20;
    row.network_error = i >= 13 && i < 15;
    row.status = i < 13 ? 250 : 0;
    row.ms = 40;
    row.request_header = {0x01, 0x02};
    r.rows.push_back(row);
  }
  r.rows[15].answered = true;
  r.rows[15].status = 198;
  r.rows[15].status_name = "Invalid";
  std::string text = request_report_text(r, "2026-12-11 12:00:00");
  EXPECT_NE(text.find("TASK: Echo Request\nID: Dec-11-26_12-00-00-pm-abcd | Time: 2026-12-11 12:00:00\n"),
            std::string::npos);
  EXPECT_NE(text.find("    * Encryption: None\n    * Transport: TCP\n    * Mode: Parallel\n    * Timeout: 3000 ms\n\n"),
            std::string::npos);
  EXPECT_NE(text.find("  | R13 [NETWORK ERROR]\n"), std::string::npos);
  EXPECT_NE(text.find("  | R15 [ERROR] status=198 (0xC6, Invalid)\n"), std::string::npos);
  EXPECT_NE(text.find("  | R20 [TIMEOUT] 40 ms\n"), std::string::npos);
  EXPECT_NE(text.find("  [KOVRA  0] OK status=250 (0xFA) 40 ms\n"), std::string::npos);
  EXPECT_NE(text.find("  Results: 13/25 ready (52.0%)  |  Consensus: Yes\n  Duration: 0.250 s\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("REQUEST HEADER (2 bytes)"), std::string::npos);
  EXPECT_NE(text.find("  RESPONSE: (no response received)\n\n"), std::string::npos);

  r.rows[0].passed = false;
  r.rows[0].status = 200;
  EXPECT_NE(request_report_text(r, "t").find("Consensus: No\n"), std::string::npos);
}
