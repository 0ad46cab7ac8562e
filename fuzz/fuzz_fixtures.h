// Fixed keys and request descriptions shared by the fuzz targets and their seed-corpus writer.
// Everything here is deterministic, so the seeds written once are answered and checked by the
// targets the same way on every run: the simulator's table holds exactly these numbers, and the
// response target parses with exactly the specs the seed requests were built from. Test-only;
// single thread.
#pragma once
#include <cstdint>
#include <vector>

#include "coin_table.h"
#include "net/packet.h"

namespace fuzzfix {

// Two key coins every simulated server knows, with numbers derived from the server id.
constexpr int8_t kKeyDenomination = 1;
constexpr uint32_t kKeyASerial = 7;
constexpr uint32_t kKeyBSerial = 8;

// The number server `server` holds for serial `serial`.
Secret number(int server, uint32_t serial);
// Puts both key coins on all 25 servers.
void fill_table(CoinTable* table);

// The response target's specs, chosen by the first input byte modulo kSpecCount. Spec 0 is "no
// spec" (the parser reads headers only).
constexpr int kSpecCount = 6;
// Fills `spec` for choice `which` (1..kSpecCount-1) aimed at `server`, with a fixed challenge and
// nonce: 1 type 0, 2 type 1, 3 type 8, 4 type 1 without a key, 5 mail-content framing (group 6).
void make_spec(int which, uint8_t server, uint8_t group, uint8_t command, PacketSpec* spec);

}  // namespace fuzzfix
