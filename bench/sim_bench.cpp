// The simulated servers' cost per request, so end-to-end tests stay bound by the service rather
// than by the simulator: one exchange in process (parse, key lookup, decrypt, count, frame,
// encrypt) with a table of 10,000 coins, a sequential round of 25 echoes over loopback, and a mint
// with its durable save.
#include <benchmark/benchmark.h>

#include <cstring>

#include "sim_app.h"
#include "support/test_support.h"
#include "sim/wire_helpers.h"

namespace {

struct Running {
  testsupport::TempDir dir;
  SimApp app;
  std::vector<MintedCoin> coins;
  explicit Running(uint32_t n) {
    SimOptions o;
    o.state_dir = dir.sub("state");
    o.ephemeral = true;
    std::string error;
    app.start(o, &error);
    MintRequest m;
    m.batches = {{0, n}};
    MintResult r;
    app.control().mint(m, &r);
    coins = r.coins;
  }
  simtest::Key key(int server, size_t i) {
    simtest::Key k{coins[i].denomination, coins[i].serial, {}};
    k.number = simtest::from_hex(app.control().numbers({k.denomination, k.serial})[server]);
    return k;
  }
};

void BM_ExchangeInProcess(benchmark::State& state) {
  Running sim(10000);
  CommandRegistry registry;
  register_all_commands(&registry);
  SimCounters counters(25);
  Exchange exchange(&sim.app.table(), &counters, &registry);
  simtest::HandRequest r;
  r.server = 3;
  r.command = 3;  // count: walks the whole table
  r.enc_type = uint8_t(state.range(0));
  r.a = sim.key(3, 0);
  r.b = sim.key(3, 1);
  std::vector<uint8_t> request = simtest::build(&r);
  for (auto _ : state) {
    ExchangeOutcome out = exchange.handle(3, SimTransport::kTcp, request.data(), request.size());
    benchmark::DoNotOptimize(out.response.data());
  }
}
BENCHMARK(BM_ExchangeInProcess)->Arg(0)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

void BM_EchoRoundOf25(benchmark::State& state) {
  Running sim(2);
  bool tcp = state.range(0) == 1;
  std::vector<std::vector<uint8_t>> requests;
  for (int s = 0; s < 25; ++s) {
    simtest::HandRequest r;
    r.server = uint8_t(s);
    requests.push_back(simtest::build(&r));
  }
  std::vector<int> ports = sim.app.server_ports();
  for (auto _ : state) {
    for (int s = 0; s < 25; ++s) {
      auto out = tcp ? simtest::tcp_exchange(ports[s], requests[s]) : simtest::udp_exchange(ports[s], requests[s]);
      if (out.size() < 32) state.SkipWithError("no answer");
    }
  }
}
BENCHMARK(BM_EchoRoundOf25)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MintAndSave(benchmark::State& state) {
  Running sim(1);
  for (auto _ : state) {
    MintRequest m;
    m.batches = {{1, uint32_t(state.range(0))}};
    sim.app.control().mint(m, nullptr);
  }
}
BENCHMARK(BM_MintAndSave)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
