// Requests built byte by byte from the packet layout tables, and the raw sockets that carry them
// to one simulated server, for the simulator's tests. The ciphers come from the service's crypto
// primitives, so these tests also cross-check the simulator's own ciphers against them.
// Test-only; any thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

struct Key {
  int8_t denomination = 0;
  uint32_t serial = 0;
  std::vector<uint8_t> number;  // 16 bytes
};

struct HandRequest {
  uint8_t server = 0;
  uint8_t group = 0;
  uint8_t command = 0;
  uint8_t enc_type = 0;
  Key a, b;                          // a for types 1 and 8, b for type 8
  std::vector<uint8_t> payload;
  // Filled by build():
  uint8_t challenge[16] = {};
  uint8_t nonce[12] = {};            // 8 bytes used for types 0 and 1
};

// Builds the request: challenge = 12 random bytes + their CRC-32, random nonce, header version 1.
std::vector<uint8_t> build(HandRequest* r);

struct HandResponse {
  bool ok = false;             // at least a 32-byte header arrived
  uint8_t server = 0, status = 0;
  uint32_t body_length = 0;
  uint8_t echo[16] = {};
  std::vector<uint8_t> body;   // as sent (after the header)
  std::vector<uint8_t> plain;  // decrypted with the request's key, terminator kept
  bool proven = false;         // challenge echo or GCM tag checked out
  bool plain_error = false;    // dual-key refusal: no body, zero echo
};

// Reads a response for the request it answers: checks the echo or tag and decrypts the body.
HandResponse read_response(const HandRequest& r, const std::vector<uint8_t>& bytes);

// One TCP request per connection: sends, half-closes nothing, reads until the server closes.
std::vector<uint8_t> tcp_exchange(int port, const std::vector<uint8_t>& request, int timeout_ms = 5000);
// One datagram out, one back (empty on time-out).
std::vector<uint8_t> udp_exchange(int port, const std::vector<uint8_t>& request, int timeout_ms = 3000);

std::vector<uint8_t> from_hex(const std::string& hex);

}  // namespace simtest
