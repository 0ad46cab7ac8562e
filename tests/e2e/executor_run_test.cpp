// The parallel executor in this process against the simulated servers in theirs: early finish,
// the hard stop at the attempt time-out, cancellation, selection of servers, serial runs, and that
// no thread or socket of a run outlives it (counted in /proc/self).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "e2e/cluster_fixture.h"
#include "net/executor.h"
#include "net/server_directory.h"
#include "net/transport.h"
#include "runtime/data_root.h"
#include "runtime/log.h"
#include "runtime/telemetry.h"

namespace {

int entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
int threads_now() { return entries("/proc/self/task"); }
// Minus the descriptor opendir itself holds while counting.
int fds_now() { return entries("/proc/self/fd") - 1; }

long long ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

class ExecutorRun : public ::testing::Test {
 protected:
  void SetUp() override {
    log_set_min_level(LOG_ERROR);
    e2e::ClusterOptions opts;
    opts.start_service = false;
    ASSERT_TRUE(cl.start(opts)) << cl.sim_output();
    set_data_root(cl.data_root());
    ASSERT_EQ(transport_init(true), RC_OK);
    ASSERT_EQ(loaded_server_count(), 25);
    executor_options_init(&opts_);
    opts_.attempt_timeout_ms = 3000;
    opts_.early_finish_count = 23;
    opts_.early_finish_grace_ms = 500;
  }
  void TearDown() override {
    transport_cleanup();
    log_set_min_level(LOG_INFO);
  }
  // Runs an echo and checks that the run left no thread and no socket behind.
  ResultCode run_echo(ExecutorResults* res, long long* elapsed_ms = nullptr, const BodyBuilder& builder = {}) {
    const int threads = threads_now(), fds = fds_now();
    const auto t0 = std::chrono::steady_clock::now();
    ResultCode rc = executor_run(kovra::group::kStatus, kovra::cmd::kEcho, builder, &opts_, res);
    if (elapsed_ms) *elapsed_ms = ms_since(t0);
    EXPECT_EQ(threads_now(), threads) << "a thread of the run is still alive";
    EXPECT_EQ(fds_now(), fds) << "a socket of the run is still open";
    EXPECT_EQ(transport_active_sockets(), 0);
    EXPECT_EQ(executor_active_runs(), 0);
    return rc;
  }
  e2e::Cluster cl;
  ExecutorOptions opts_;
};

TEST_F(ExecutorRun, AllTwentyFiveAnsweringAreSuccessesAndNoneIsCutOff) {
  auto res = std::make_unique<ExecutorResults>();
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  EXPECT_EQ(res->success, 25);
  EXPECT_EQ(res->error + res->timeout + res->skipped + res->cut_off, 0);
  for (const ServerResult& r : res->servers) {
    EXPECT_TRUE(r.responded && r.success && r.challenge_ok) << r.server_id << " " << r.error_text;
    EXPECT_EQ(r.status, 250);
    EXPECT_EQ(r.request_header_length, 32u);
    EXPECT_TRUE(r.has_response_header);
    EXPECT_EQ(r.response_header[0], r.server_id);
  }
}

TEST_F(ExecutorRun, TwoSilentServersAreCancelledAfterTheGraceFollowingTheTwentyThirdAnswer) {
  ASSERT_GT(cl.fault("kind=drop&servers=6,19"), 0);
  auto res = std::make_unique<ExecutorResults>();
  long long ms = 0;
  ASSERT_EQ(run_echo(res.get(), &ms), RC_OK);
  EXPECT_GE(ms, 450) << "the grace period runs in full";
  EXPECT_LT(ms, 2000) << "must not wait for the attempt time-out of 3000 ms";
  EXPECT_EQ(res->success, 23);
  EXPECT_EQ(res->timeout, 2);
  EXPECT_EQ(res->error, 0);
  EXPECT_EQ(res->cut_off, 2);
  for (int id : {6, 19}) {
    const ServerResult& r = res->servers[id];
    EXPECT_FALSE(r.responded);
    EXPECT_TRUE(r.timed_out);
    EXPECT_TRUE(r.attempted);
    EXPECT_EQ(r.error_text, "Early finish: cancelled");
    EXPECT_GE(r.elapsed_ms, 450u);
  }
}

TEST_F(ExecutorRun, SilentServersOverUdpAreCancelledAfterTheGraceToo) {
  ASSERT_GT(cl.fault("kind=drop&servers=2,21"), 0);
  opts_.transport = TRANSPORT_UDP;
  auto res = std::make_unique<ExecutorResults>();
  long long ms = 0;
  ASSERT_EQ(run_echo(res.get(), &ms), RC_OK);
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 2000) << "a blocked datagram read must end at the cancel";
  EXPECT_EQ(res->success, 23);
  EXPECT_EQ(res->cut_off, 2);
}

TEST_F(ExecutorRun, ThreeSilentServersEndTheRunAtTheAttemptTimeout) {
  ASSERT_GT(cl.fault("kind=drop&servers=0,12,24"), 0);
  opts_.attempt_timeout_ms = 1500;
  auto res = std::make_unique<ExecutorResults>();
  long long ms = 0;
  ASSERT_EQ(run_echo(res.get(), &ms), RC_OK);
  EXPECT_GE(ms, 1450);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(res->success, 22);
  EXPECT_EQ(res->timeout, 3);
  for (int id : {0, 12, 24}) EXPECT_EQ(res->servers[id].error_text, "Early finish: cancelled");
}

TEST_F(ExecutorRun, WithoutEarlyFinishEveryServerIsWaitedForUntilItsOwnTimeout) {
  ASSERT_GT(cl.fault("kind=drop&servers=3"), 0);
  opts_.early_finish_count = 0;
  opts_.attempt_timeout_ms = 800;
  auto res = std::make_unique<ExecutorResults>();
  long long ms = 0;
  ASSERT_EQ(run_echo(res.get(), &ms), RC_OK);
  EXPECT_GE(ms, 780);
  EXPECT_EQ(res->success, 24);
  EXPECT_EQ(res->cut_off, 0);
  EXPECT_TRUE(res->servers[3].timed_out);
  EXPECT_NE(res->servers[3].error_text.find("Timeout"), std::string::npos) << res->servers[3].error_text;
}

TEST_F(ExecutorRun, ARunIsCancelledByItsCallIdFromAnotherThread) {
  ASSERT_GT(cl.fault("kind=drop&servers=1,2,3"), 0);
  opts_.early_finish_count = 0;
  opts_.attempt_timeout_ms = 10000;
  opts_.call_id = 0x5EED1234;
  const int threads = threads_now(), fds = fds_now();
  std::thread canceller([] {
    for (int i = 0; i < 200 && executor_active_runs() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    executor_cancel(0x5EED1234);
  });
  auto res = std::make_unique<ExecutorResults>();
  const auto t0 = std::chrono::steady_clock::now();
  ResultCode rc = executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &opts_, res.get());
  const long long ms = ms_since(t0);
  canceller.join();
  ASSERT_EQ(rc, RC_OK);
  EXPECT_EQ(threads_now(), threads);
  EXPECT_EQ(fds_now(), fds);
  EXPECT_EQ(executor_active_runs(), 0);
  EXPECT_LT(ms, 3000) << "a cancelled run must not wait for its 10 s time-out";
  EXPECT_EQ(res->call_id, 0x5EED1234u);
  EXPECT_EQ(res->success, 22);
  for (int id : {1, 2, 3}) {
    EXPECT_FALSE(res->servers[id].responded);
    EXPECT_NE(res->servers[id].error_text.find("ancelled"), std::string::npos) << res->servers[id].error_text;
  }
}

TEST_F(ExecutorRun, SubsetAndFailedBodiesSelectWhichServersAreAsked) {
  opts_.server_subset = std::vector<int>{3, 5, 7};
  auto res = std::make_unique<ExecutorResults>();
  BodyBuilder fail_five = [](int id, Secret*) { return id == 5 ? RC_ERROR : RC_OK; };
  ASSERT_EQ(run_echo(res.get(), nullptr, fail_five), RC_OK);
  EXPECT_EQ(res->skipped, 22);
  EXPECT_EQ(res->success, 2);
  EXPECT_EQ(res->error, 1);
  EXPECT_EQ(res->servers[5].error_text, "Failed to build body");
  EXPECT_FALSE(res->servers[5].attempted);
  for (int i = 0; i < 25; ++i) EXPECT_EQ(res->servers[i].attempted, i == 3 || i == 7) << i;
}

TEST_F(ExecutorRun, UnavailableServersAreSkippedWhenAsked) {
  ASSERT_GT(cl.fault("kind=down&servers=10,11"), 0);
  auto res = std::make_unique<ExecutorResults>();
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  EXPECT_EQ(res->error, 2) << "a reset connection is an error, not a time-out";
  EXPECT_EQ(res->timeout, 0);
  ASSERT_EQ(save_stats(), RC_OK);
  opts_.skip_unavailable = true;
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  EXPECT_EQ(res->skipped, 2);
  EXPECT_EQ(res->error, 0);
  EXPECT_EQ(res->servers[10].error_text, "Server unavailable");
  EXPECT_EQ(res->success, 23);
}

TEST_F(ExecutorRun, SlowServersAreSkippedWhenAsked) {
  ASSERT_GT(cl.fault("kind=delay&delay_ms=300&count=1&servers=4"), 0);
  auto res = std::make_unique<ExecutorResults>();
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  ASSERT_EQ(res->success, 25);
  EXPECT_GE(res->servers[4].elapsed_ms, 280u);
  opts_.skip_slow = true;
  opts_.slow_threshold_ms = 200;
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  EXPECT_EQ(res->servers[4].error_text, "Server too slow");
  EXPECT_EQ(res->skipped, 1);
  EXPECT_EQ(res->error, 0);
  EXPECT_EQ(res->success, 24);
}

TEST_F(ExecutorRun, EveryServerCallGetsATelemetryLine) {
  testsupport::TempDir logs;
  ASSERT_EQ(telemetry_open(logs.path()), RC_OK);
  opts_.call_id = 77;
  auto res = std::make_unique<ExecutorResults>();
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  telemetry_close();
  const std::string csv = testsupport::read_file(logs.path() + "/kovra_telemetry.csv");
  int lines = 0;
  for (char c : csv) lines += c == '\n';
  EXPECT_EQ(lines, 26) << csv;  // the header and one line per server
  EXPECT_NE(csv.find(",77,0,0,1,0,24,127.0.0.1:" + std::to_string(cl.server_ports()[24]) + ","), std::string::npos)
      << csv;
}

TEST_F(ExecutorRun, SerialRunAsksOneServerAfterAnotherAndReportsProgress) {
  opts_.mode = EXEC_SERIAL;
  std::vector<int> progress, order;
  opts_.progress_callback = [&](int done, int total) {
    EXPECT_EQ(total, 25);
    progress.push_back(done);
  };
  opts_.per_server_callback = [&](int id, const ServerResult& r) {
    EXPECT_TRUE(r.responded);
    order.push_back(id);
  };
  auto res = std::make_unique<ExecutorResults>();
  ASSERT_EQ(run_echo(res.get()), RC_OK);
  EXPECT_EQ(res->success, 25);
  ASSERT_EQ(progress.size(), 25u);
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(progress[i], i + 1);
    EXPECT_EQ(order[i], i);
  }
}

TEST_F(ExecutorRun, ConcurrentRunsKeepTheirOwnResults) {
  ASSERT_GT(cl.fault("kind=drop&servers=8,9"), 0);
  const int threads = threads_now(), fds = fds_now();
  std::atomic<int> good{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      ExecutorOptions o = opts_;
      o.attempt_timeout_ms = 2000;
      auto res = std::make_unique<ExecutorResults>();
      for (int k = 0; k < 3; ++k) {
        if (executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get()) == RC_OK && res->success == 23 &&
            res->cut_off == 2 && res->servers[8].error_text == "Early finish: cancelled")
          good.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(good.load(), 12);
  EXPECT_EQ(threads_now(), threads);
  EXPECT_EQ(fds_now(), fds);
}

TEST_F(ExecutorRun, SingleServerRunFillsOneResult) {
  ServerResult r;
  ASSERT_EQ(executor_run_single(4, kovra::group::kStatus, kovra::cmd::kVersion, nullptr, 0, opts_, &r), RC_OK);
  EXPECT_TRUE(r.responded);
  EXPECT_EQ(r.server_id, 4);
  const std::string body(reinterpret_cast<const char*>(r.response.body.data()), r.response.body.size());
  EXPECT_EQ(body, "20261201>>");
  EXPECT_EQ(executor_run_single(25, 0, 0, nullptr, 0, opts_, &r), RC_INVALID_PARAM);
  ExecutorOptions none = opts_;
  none.adapter = nullptr;
  EXPECT_EQ(executor_run_single(4, 0, 0, nullptr, 0, none, &r), RC_INVALID_PARAM);
  EXPECT_EQ(r.error_text, "Transport interface not configured");
}

}  // namespace
