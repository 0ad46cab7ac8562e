// One request in, one answer out: the server side of the packet contract. The exchange parses the
// request, finds the key coin(s) on the addressed server, decrypts and proves the challenge,
// runs the command from the registry, and frames the answer the way the client reads it
// (challenge echo or GCM tag, encrypted body). The network layer only moves bytes; what to send,
// whether to send and when is decided here, in `ExchangeOutcome`, which is where per-server,
// per-command faults slot in. Safe from any thread: the table and counters lock themselves and
// the registry is read-only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "coin_table.h"
#include "command_registry.h"
#include "fault_plan.h"
#include "sim_counters.h"

// The largest answer a UDP reply may carry; the client reads one datagram of at most this size.
constexpr size_t kUdpReplyLimit = 4096;

struct ExchangeOutcome {
  std::vector<uint8_t> response;
  bool reply = true;          // false: the server stays silent (a TCP connection is held open)
  bool reset = false;         // the server is down: reset the connection, ignore the datagram
  uint32_t delay_ms = 0;      // wait this long before answering
  size_t send_limit = SIZE_MAX;  // send at most this many bytes, then close
  uint8_t status = 0;         // the status the response carries (for counting)
};

class Exchange {
 public:
  // `faults` may be null: every server is then honest.
  Exchange(CoinTable* table, SimCounters* counters, const CommandRegistry* registry, FaultPlan* faults = nullptr)
      : table_(table), counters_(counters), registry_(registry), faults_(faults) {}

  // Answers one request addressed to server `server` (0-24) that arrived over `transport`, and
  // counts it. Never fails: a request that cannot be served gets a refusal status. A fault rule
  // that matches the server and command shapes the outcome.
  ExchangeOutcome handle(int server, SimTransport transport, const uint8_t* request, size_t n) const;

 private:
  CoinTable* table_;
  SimCounters* counters_;
  const CommandRegistry* registry_;
  FaultPlan* faults_;
};
