// The loopback HTTP server: parsing cost of typical and worst-case requests, and the round trips a
// single-threaded server completes per second (connect, request, reply, close) on loopback.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "http/http_parse.h"
#include "http/http_server.h"
#include "runtime/log.h"

namespace {

void BM_ParseTypicalGet(benchmark::State& state) {
  const std::string req =
      "GET /api/wallets/show-coins?wallet=Default&limit=50&offset=0&sort=denomination&debug=0 HTTP/1.1\r\n"
      "Host: 127.0.0.1:8080\r\nUser-Agent: front-end\r\nAccept: application/json\r\n\r\n";
  for (auto _ : state) {
    HttpRequest r;
    HttpError e;
    benchmark::DoNotOptimize(http_parse_request(req, r, &e));
  }
}
BENCHMARK(BM_ParseTypicalGet);

// 80 parameters with percent-encoded values filling most of the 64 KiB limit.
void BM_ParseFullFormPost(benchmark::State& state) {
  std::string body;
  for (int i = 0; i < 80; ++i) {
    if (i) body += '&';
    body += "name" + std::to_string(i) + "=";
    for (int k = 0; k < 250; ++k) body += "%41";
  }
  const std::string req = "POST /api/x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
  for (auto _ : state) {
    HttpRequest r;
    HttpError e;
    benchmark::DoNotOptimize(http_parse_request(req, r, &e));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * req.size()));
}
BENCHMARK(BM_ParseFullFormPost);

void BM_LoopbackRoundTrip(benchmark::State& state) {
  log_set_min_level(LOG_ERROR);  // keep request lines out of the measurement
  HttpServer server;
  http_server_prepare(server, 0);
  http_register_builtin_routes(server);
  if (http_server_start(server) != RC_OK) {
    state.SkipWithError("cannot listen");
    return;
  }
  std::thread serving([&] { http_server_run(server); });
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(server.port);
  const std::string req = "GET /api/program/echo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  char buf[4096];
  for (auto _ : state) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    close(fd);
  }
  http_server_close(server);
  serving.join();
  log_set_min_level(LOG_INFO);
}
BENCHMARK(BM_LoopbackRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
