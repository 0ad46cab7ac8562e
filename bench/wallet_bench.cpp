// Balance and show-coins of a wallet holding 4,096 coins in Bank, through the endpoint handlers
// (folder listing, coin file reads and the JSON reply). Goal: under 50 ms each.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "coins/coin.h"
#include "coins/coin_file_format.h"
#include "coins/coin_file_name.h"
#include "coins/wallet.h"
#include "coins/wallet_endpoints.h"
#include "http/http_types.h"
#include "runtime/data_root.h"
#include "runtime/log.h"

namespace {
struct Fixture {
  std::string dir;
  Fixture() {
    char tmpl[] = "/tmp/rcbench.XXXXXX";
    dir = mkdtemp(tmpl);
    set_data_root(dir);
    log_set_min_level(LOG_ERROR);  // the unreconciled-balance warning would time the log, not the wallet
    std::string wallet = dir + "/Wallets/Default";
    wallet_create_structure(wallet);
    for (uint32_t i = 0; i < 4096; ++i) {
      Coin c;
      c.serial_number = 1000 + i;
      c.denomination = static_cast<int8_t>(i % 4);
      for (size_t s = 0; s < kServerCount; ++s) c.pown_status[s] = 10;
      Secret image;
      coin_image_v9_single(c, &image);
      std::string name;
      coin_file_name(denomination_units(c.denomination), 1, c.serial_number, "", &name);
      FILE* f = std::fopen((wallet + "/Bank/" + name).c_str(), "wb");
      std::fwrite(image.data(), 1, image.size(), f);
      std::fclose(f);
    }
  }
  ~Fixture() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Balance4096(benchmark::State& state) {
  fixture();
  HttpRequest req;
  for (auto _ : state) {
    HttpResponse resp;
    wallet_balance_handler(req, resp, nullptr);
    benchmark::DoNotOptimize(resp.body);
    if (resp.status != 200) state.SkipWithError("balance failed");
  }
}
BENCHMARK(BM_Balance4096)->Unit(benchmark::kMillisecond);

void BM_ShowCoins4096(benchmark::State& state) {
  fixture();
  HttpRequest req;
  for (auto _ : state) {
    HttpResponse resp;
    wallet_show_coins_handler(req, resp, nullptr);
    benchmark::DoNotOptimize(resp.body);
    if (resp.status != 200) state.SkipWithError("show-coins failed");
  }
}
BENCHMARK(BM_ShowCoins4096)->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
