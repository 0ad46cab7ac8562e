// Network client costs: cipher throughput (object transfers move up to 64 MiB per response),
// building and parsing one packet (25 per command), and one loopback TCP exchange.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/crypto.h"
#include "net/packet.h"
#include "net/transport.h"
#include "runtime/data_root.h"

namespace {

void BM_Aes128CtrNonce8(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  uint8_t key[16] = {1}, nonce[8] = {2};
  for (auto _ : state) benchmark::DoNotOptimize(aes128_ctr_nonce8(key, nonce, data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Aes128CtrNonce8)->Arg(64)->Arg(64 << 10)->Arg(16 << 20);

void BM_Aes256Gcm(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  uint8_t key[32] = {1}, nonce[12] = {2}, tag[16];
  for (auto _ : state) benchmark::DoNotOptimize(aes256_gcm(true, key, nonce, nullptr, 0, data.data(), data.size(), tag));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Aes256Gcm)->Arg(64)->Arg(16 << 20);

void BM_Sha256(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  uint8_t out[32];
  for (auto _ : state) benchmark::DoNotOptimize(sha256_large(data.data(), data.size(), out));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256)->Arg(16 << 20);

void BM_Crc32c(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(crc32c(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc32c)->Arg(1 << 20);

// A type 1 request with a 21-byte-per-coin payload of 100 coins, then its response parsed.
void BM_PacketBuildAndParseType1(benchmark::State& state) {
  PacketSpec spec;
  packet_spec_init(&spec);
  spec.command_group = 1;
  spec.command = 10;
  spec.encryption_type = 1;
  spec.has_key = true;
  uint8_t k[16] = {7};
  spec.key.key_a_secret.assign(k, 16);
  std::vector<uint8_t> payload(2100, 0x11);
  packet_spec_set_payload(&spec, payload.data(), payload.size());
  std::vector<uint8_t> response(32 + 13, 0);
  response[2] = 241;
  response[11] = 13;
  for (auto _ : state) {
    Secret pkt;
    benchmark::DoNotOptimize(packet_build(&spec, &pkt));
    ParsedResponse parsed;
    benchmark::DoNotOptimize(response_parse(response.data(), response.size(), &spec, &parsed));
  }
}
BENCHMARK(BM_PacketBuildAndParseType1);

// One echo-sized TCP exchange with a loopback responder: connect, send, read, close.
void BM_TcpLoopbackExchange(benchmark::State& state) {
  int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t l = sizeof a;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &l);
  ::listen(lfd, 64);
  std::atomic<bool> stop{false};
  std::thread server([&] {
    while (!stop) {
      pollfd p{lfd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int c = ::accept(lfd, nullptr, nullptr);
      uint8_t req[50];
      size_t got = 0;
      while (got < sizeof req) {
        ssize_t n = ::recv(c, req + got, sizeof req - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      uint8_t resp[32] = {0};
      resp[2] = 250;
      ::send(c, resp, sizeof resp, MSG_NOSIGNAL);
      ::close(c);
    }
  });
  char tmpl[] = "/tmp/netbenchXXXXXX";
  std::string dir = mkdtemp(tmpl);
  set_data_root(dir);
  std::string list;
  for (int i = 0; i < 25; ++i) list += "127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + ",K\n";
  FILE* f = std::fopen((dir + "/kovra_ips.csv").c_str(), "w");
  std::fputs(list.c_str(), f);
  std::fclose(f);
  transport_init(true);
  std::vector<uint8_t> req(50, 0);
  req[23] = 18;
  for (auto _ : state) {
    SendResult res;
    benchmark::DoNotOptimize(transport_get()->send(0, TRANSPORT_TCP, req.data(), req.size(), 2000, 1, 0, &res));
  }
  transport_cleanup();
  stop = true;
  server.join();
  ::close(lfd);
  std::system(("rm -rf " + dir).c_str());
}
BENCHMARK(BM_TcpLoopbackExchange);

}  // namespace

BENCHMARK_MAIN();
