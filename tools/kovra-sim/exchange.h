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
#include "sim_counters.h"

// The largest answer a UDP reply may carry; the client reads one datagram of at most this size.
constexpr size_t kUdpReplyLimit = 4096;

struct ExchangeOutcome {
  std::vector<uint8_t> response;
  bool reply = true;  // false: the server stays silent
  uint8_t status = 0; // the status the response carries (for counting)
};

class Exchange {
 public:
  Exchange(CoinTable* table, SimCounters* counters, const CommandRegistry* registry)
      : table_(table), counters_(counters), registry_(registry) {}

  // Answers one request addressed to server `server` (0-24) that arrived over `transport`, and
  // counts it. Never fails: a request that cannot be served gets a refusal status.
  ExchangeOutcome handle(int server, SimTransport transport, const uint8_t* request, size_t n) const;

 private:
  CoinTable* table_;
  SimCounters* counters_;
  const CommandRegistry* registry_;
};
