// Feeds arbitrary bytes to the client's response parser as a server's answer. The first byte picks
// the request the answer is read against (none, type 0, type 1, type 8, type 1 without its key,
// mail-content framing), the second the server whose key numbers the packet description carries; the rest is
// the response. The seed corpus holds the simulator's real answers to exactly those requests, so
// mutations start from answers that decrypt and prove.
#include <cstddef>
#include <cstdint>

#include "fuzz_fixtures.h"
#include "net/packet.h"
#include "runtime/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    log_set_min_level(LOG_ERROR + 1);
    return true;
  }();
  (void)quiet;
  if (size < 2) return 0;
  int which = data[0] % fuzzfix::kSpecCount;
  uint8_t server = uint8_t(data[1] % kSimServers);
  PacketSpec spec;
  const PacketSpec* use = nullptr;
  if (which != 0) {
    fuzzfix::make_spec(which, server, 0, 0, &spec);
    use = &spec;
  }
  ParsedResponse parsed;
  ResultCode rc = response_parse(data + 2, size - 2, use, &parsed);
  if (rc != RC_OK && !parsed.body.empty()) __builtin_trap();  // a failed parse hands nothing on
  if (rc == RC_OK && use) {
    bool proven = response_is_proven(spec, parsed);
    // A keyed request without its key can never count as answered by the holder of the key.
    if (which == 4 && proven) __builtin_trap();
    if (parsed.body.size() > size) __builtin_trap();
  }
  packet_spec_free(&spec);
  return 0;
}
