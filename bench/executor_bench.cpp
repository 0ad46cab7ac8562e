// The executor's cost over the servers it waits for: a parallel echo of 25 servers next to the
// same 25 requests sent by bare threads through the transport (the simulator's own time to answer
// them), the simulator's compute alone, an echo with two silent servers (23rd answer + grace), and
// the resident memory over 10,000 runs. The simulator runs in this process on loopback.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "net/executor.h"
#include "net/packet.h"
#include "net/server_directory.h"
#include "net/transport.h"
#include "runtime/data_root.h"
#include "runtime/log.h"
#include "sim_app.h"
#include "support/test_support.h"

namespace {

struct Sim {
  testsupport::TempDir dir;
  SimApp app;
  bool ok = false;
  Sim() {
    log_set_min_level(LOG_ERROR);
    SimOptions o;
    o.state_dir = dir.sub("state");
    o.ephemeral = true;
    o.data_roots = {dir.sub("root")};
    std::string error;
    if (app.start(o, &error) != RC_OK) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return;
    }
    set_data_root(dir.sub("root"));
    ok = transport_init(true) == RC_OK && loaded_server_count() == 25;
  }
  ~Sim() {
    transport_cleanup();
    app.stop();
  }
};

Sim& sim() {
  static Sim s;
  return s;
}

ExecutorOptions echo_options() {
  ExecutorOptions o;
  executor_options_init(&o);
  o.attempt_timeout_ms = 2000;
  return o;
}

// One echo request per server, built once.
std::vector<Secret> echo_requests() {
  std::vector<Secret> out(25);
  for (int s = 0; s < 25; ++s) {
    PacketSpec spec;
    packet_spec_init(&spec);
    spec.server_id = uint8_t(s);
    if (packet_build(&spec, &out[s]) != RC_OK) out[s].clear();
    packet_spec_free(&spec);
  }
  return out;
}

long rss_kb() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The baseline: 25 bare threads, each one transport send, joined.
void BM_TwentyFiveBareParallelSends(benchmark::State& state) {
  if (!sim().ok) return state.SkipWithError("simulator not running");
  std::vector<Secret> req = echo_requests();
  TransportAdapter* t = transport_get();
  for (auto _ : state) {
    std::vector<std::thread> threads;
    threads.reserve(25);
    for (int s = 0; s < 25; ++s)
      threads.emplace_back([&, s] {
        SendResult r;
        t->send(s, TRANSPORT_TCP, req[s].data(), req[s].size(), 2000, 0, 0, &r);
      });
    for (auto& th : threads) th.join();
  }
}
BENCHMARK(BM_TwentyFiveBareParallelSends)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ExecutorParallelEchoAllAnswering(benchmark::State& state) {
  if (!sim().ok) return state.SkipWithError("simulator not running");
  ExecutorOptions o = echo_options();
  auto res = std::make_unique<ExecutorResults>();
  for (auto _ : state) {
    executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get());
    if (res->success != 25) state.SkipWithError("not every server answered");
  }
}
BENCHMARK(BM_ExecutorParallelEchoAllAnswering)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_ExecutorParallelEchoTwoSilent(benchmark::State& state) {
  if (!sim().ok) return state.SkipWithError("simulator not running");
  FaultRule rule;
  rule.servers = {6, 19};
  rule.kind = FaultKind::kDropReply;
  const int id = sim().app.faults().add(rule);
  ExecutorOptions o = echo_options();
  auto res = std::make_unique<ExecutorResults>();
  for (auto _ : state) {
    executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get());
    if (res->success != 23) state.SkipWithError("expected 23 answers");
  }
  sim().app.faults().remove(id);
  state.counters["grace_ms"] = o.early_finish_grace_ms;
}
BENCHMARK(BM_ExecutorParallelEchoTwoSilent)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)
    ->Repetitions(3)->ReportAggregatesOnly(true);

// Resident memory after 500 warm-up runs and after 10,000 more.
void BM_ExecutorMemoryOverTenThousandRuns(benchmark::State& state) {
  if (!sim().ok) return state.SkipWithError("simulator not running");
  ExecutorOptions o = echo_options();
  auto res = std::make_unique<ExecutorResults>();
  for (auto _ : state) {
    for (int i = 0; i < 500; ++i) executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get());
    const long before = rss_kb();
    for (int i = 0; i < 5000; ++i) executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get());
    const long half = rss_kb();
    for (int i = 0; i < 5000; ++i) executor_run(kovra::group::kStatus, kovra::cmd::kEcho, {}, &o, res.get());
    const long after = rss_kb();
    state.counters["rss_before_kb"] = double(before);
    state.counters["rss_after_kb"] = double(after);
    // Growth in each half: a leak grows both alike, allocator warm-up only the first.
    state.counters["growth_first_5000_kb"] = double(half - before);
    state.counters["growth_second_5000_kb"] = double(after - half);
  }
}
BENCHMARK(BM_ExecutorMemoryOverTenThousandRuns)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
