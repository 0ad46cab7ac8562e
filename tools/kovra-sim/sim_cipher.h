// The simulator's own ciphers and checksums: AES-128 counter mode with an 8-byte nonce, AES-256-GCM
// in place, and CRC-32 (IEEE). They are written here against OpenSSL and zlib directly rather than
// taken from the client, so that a slip in the client's primitives shows up as a failed exchange
// instead of being mirrored by the servers. Pure functions: safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/result_code.h"

// XORs `data` with the keystream of AES-128 over the blocks nonce8 || counter (big-endian, from 0,
// wrapping inside the last 8 bytes). Encryption and decryption are the same call. RC_OK, or
// RC_ENCRYPTION when the cipher cannot run; a zero length is a successful no-op.
ResultCode sim_ctr_xor(const uint8_t key16[16], const uint8_t nonce8[8], uint8_t* data, size_t n);

// AES-256-GCM in place with a 12-byte nonce and additional data. Encrypting writes `tag16`;
// decrypting checks it and returns RC_ENCRYPTION on a mismatch, leaving `data` zeroed.
ResultCode sim_gcm(bool encrypt, const uint8_t key32[32], const uint8_t nonce12[12], const uint8_t* aad,
                   size_t aad_n, uint8_t* data, size_t n, uint8_t tag16[16]);

// CRC-32 with the reflected IEEE polynomial, initial value all ones, final complement.
uint32_t sim_crc32(const uint8_t* data, size_t n);

// Big-endian readers and writers for the wire layouts.
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }
inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void put_be24(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 16);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
