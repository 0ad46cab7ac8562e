// Speed of the reply path: building a large reply with the JSON writer, escaping text, scanning a
// request body for a member and redacting a reply for the log.
#include <benchmark/benchmark.h>

#include <string>

#include "http/json_scan.h"
#include "http/json_writer.h"

namespace {

// A coin listing of about 100 KiB, the size of a large show-coins reply.
std::string build_listing(int coins) {
  JsonBuilder b;
  b.begin_object();
  b.member_string("command", "show-coins");
  b.member_bool("success", true);
  b.key("coins");
  b.begin_array();
  for (int i = 0; i < coins; ++i) {
    b.begin_object();
    b.member_int("sn", 100000 + i);
    b.member_units("value", 150000000ULL * static_cast<uint64_t>(i + 1));
    b.member_string("pown", "ppppppppppppppppppppppppp");
    b.member_string("file", "C:\\Wallets\\Default\\Bank\\1 Zorbit #123.bin");
    b.end_object();
  }
  b.end_array();
  b.end_object();
  return b.text();
}

void BM_BuildHundredKilobyteReply(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    std::string s = build_listing(800);
    bytes = s.size();
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["reply_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildHundredKilobyteReply);

void BM_EscapeMixedText(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "plain words \"quoted\" tab\t caf\xC3\xA9 \\ ";
  for (auto _ : state) {
    std::string out;
    json_escape_append(out, text);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}
BENCHMARK(BM_EscapeMixedText);

void BM_ScanLastMemberOfBody(benchmark::State& state) {
  std::string body = "{";
  for (int i = 0; i < 500; ++i) body += "\"m" + std::to_string(i) + "\":{\"x\":[1,2,\"]\"]},";
  body += "\"wanted\":\"value\"}";
  for (auto _ : state) {
    std::string out;
    benchmark::DoNotOptimize(json_scan_member(body, "wanted", out));
  }
  state.SetBytesProcessed(static_cast<int64_t>(body.size()) * state.iterations());
}
BENCHMARK(BM_ScanLastMemberOfBody);

void BM_RedactHundredKilobyteReply(benchmark::State& state) {
  std::string reply = build_listing(800);
  for (auto _ : state) benchmark::DoNotOptimize(json_redact_secrets(reply));
  state.SetBytesProcessed(static_cast<int64_t>(reply.size()) * state.iterations());
}
BENCHMARK(BM_RedactHundredKilobyteReply);

}  // namespace

BENCHMARK_MAIN();
