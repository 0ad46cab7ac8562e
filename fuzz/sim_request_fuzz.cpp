// Feeds arbitrary bytes to the simulated servers as one request: the stream framing a TCP reader
// uses (header length, announced total) and the whole exchange (parse, key lookup, decryption,
// command, answer). The table holds the seed corpus's key coins, so mutated valid requests reach
// the decryption and command paths, not only the early refusals. Each input is then answered a
// second time through a fault rule (the kinds in turn), which reshapes the answer after the fact.
#include <cstddef>
#include <cstdint>

#include "command_registry.h"
#include "exchange.h"
#include "fault_plan.h"
#include "fuzz_fixtures.h"
#include "runtime/log.h"
#include "sim_wire.h"

namespace {
struct Servers {
  CoinTable table;
  SimCounters counters{kSimServers};
  CommandRegistry registry;
  Exchange exchange{&table, &counters, &registry};
  FaultPlan faults;
  Exchange faulty{&table, &counters, &registry, &faults};
  unsigned turn = 0;
  Servers() {
    fuzzfix::fill_table(&table);
    register_all_commands(&registry);
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Servers* servers = [] {
    log_set_min_level(LOG_ERROR + 1);
    return new Servers;
  }();
  if (size >= kShortHeader) {
    size_t header = sim_request_header_length(data);
    if (header != kShortHeader && header != kLongHeader) __builtin_trap();
    if (size >= header) (void)sim_request_total_length(data, header);
  }
  // Addressed to the server it names, so seed requests are answered as on the wire; the split
  // id's low bit picks the transport, which changes the answer-size rule.
  int server = size > kReqServerId ? data[kReqServerId] % kSimServers : 0;
  SimTransport transport = size > kReqSplitId && (data[kReqSplitId] & 1) ? SimTransport::kUdp : SimTransport::kTcp;
  ExchangeOutcome out = servers->exchange.handle(server, transport, data, size);
  if (out.reply) {
    // Every answer carries a whole header that announces exactly the body that follows.
    if (out.response.size() < kShortHeader) __builtin_trap();
    uint32_t announced = uint32_t(out.response[kRespBodyLength]) << 16 |
                         uint32_t(out.response[kRespBodyLength + 1]) << 8 | out.response[kRespBodyLength + 2];
    if (announced != out.response.size() - kShortHeader) __builtin_trap();
    if (transport == SimTransport::kUdp && out.response.size() > kUdpReplyLimit) __builtin_trap();
  }

  static const FaultKind kKinds[] = {FaultKind::kDown,        FaultKind::kDelay,       FaultKind::kDropReply,
                                     FaultKind::kRefuse,      FaultKind::kForceStatus, FaultKind::kBadEcho,
                                     FaultKind::kCorruptBody, FaultKind::kWrongLength, FaultKind::kCloseAfterHeader};
  FaultRule rule;
  rule.kind = kKinds[servers->turn++ % (sizeof kKinds / sizeof kKinds[0])];
  rule.status = size > 0 ? data[size - 1] : 252;
  rule.length_delta = size > 1 ? int8_t(data[size - 2]) : 1;
  rule.delay_ms = 1;
  servers->faults.clear();
  servers->faults.add(rule);
  ExchangeOutcome bent = servers->faulty.handle(server, transport, data, size);
  if (bent.reply && !bent.reset && bent.response.size() < kShortHeader) __builtin_trap();
  return 0;
}
