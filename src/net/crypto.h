// The cryptographic primitives every part of the service uses, with fixed parameters: AES counter
// mode in two counter layouts, AES-256-GCM, SHA-256 in four forms, MD5, CRC-32 (IEEE) and CRC-32C,
// and four random sources that differ only in what they do when the generator fails. Thin
// wrappers over OpenSSL libcrypto; nothing is cached between calls, and every key copy, counter
// block and keystream block made here is wiped before it is released. All functions may be
// called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result_code.h"

// Counter mode with an 8-byte nonce: the first counter block is the nonce followed by eight zero
// bytes, bytes 8-15 count up big-endian per block and never carry into the nonce. XORs `data` in
// place, so one call both encrypts and decrypts. RC_INVALID_PARAM for a missing argument or a
// zero length, RC_ENCRYPTION when the cipher fails.
ResultCode aes128_ctr_nonce8(const uint8_t key16[16], const uint8_t nonce8[8], uint8_t* data, size_t length);

// Counter mode with AES-256 and a caller-given first counter block, counted up in bytes 8-15 the
// same way (bytes 0-7 never change). RC_INVALID_PARAM for a missing argument or zero length,
// RC_ENCRYPTION on a cipher failure.
ResultCode aes256_ctr_block16(const uint8_t key32[32], const uint8_t counter16[16], uint8_t* data, size_t length);

// AES-256-GCM in place with a 12-byte nonce and optional additional data (`aad` may be null when
// `aad_length` is 0). Encryption writes `tag16`; decryption verifies it. Any failure, a tag
// mismatch included, is RC_ENCRYPTION, and a failed decryption leaves `data` zeroed so no
// unauthenticated plaintext escapes. A zero `length` is allowed (tag over the additional data).
ResultCode aes256_gcm(bool encrypt, const uint8_t key32[32], const uint8_t nonce12[12], const uint8_t* aad,
                      size_t aad_length, uint8_t* data, size_t length, uint8_t tag16[16]);

// SHA-256 of up to 2^31 - 1 bytes into `out32`. RC_INVALID_PARAM for a longer input or a missing
// buffer (a null `data` with length 0 is the empty input), RC_ERROR when the digest fails.
ResultCode sha256(const void* data, size_t length, uint8_t out32[32]);
// SHA-256 of any length, the empty input included. RC_ERROR on any failure.
ResultCode sha256_large(const void* data, size_t length, uint8_t out32[32]);
// The same digest as 64 lower-case hexadecimal characters. RC_ERROR on any failure (`out` cleared).
ResultCode sha256_hex(const void* data, size_t length, std::string* out);
// Digest of a whole file read in 1 MiB pieces, and the number of bytes hashed. RC_FILE when the
// file cannot be opened, RC_MEMORY when the buffer cannot be had, RC_ERROR on a read failure.
ResultCode sha256_file(const std::string& path, uint8_t out32[32], uint64_t* bytes_hashed);

// MD5 into `out16`. RC_ERROR on failure, RC_INVALID_PARAM for a missing buffer.
ResultCode md5(const void* data, size_t length, uint8_t out16[16]);

// CRC-32 with the reflected IEEE polynomial 0xEDB88320, initial all ones, final complement.
// A null `data` gives 0.
uint32_t crc32_ieee(const void* data, size_t length);
// CRC-32C with the reflected Castagnoli polynomial 0x82F63B78, same initial value and final
// complement. A null `data` gives 0.
uint32_t crc32c(const void* data, size_t length);

// Random bytes from the system generator for values that must be unpredictable but whose callers
// can live with a reported failure (challenges, nonces of unkeyed requests, file name suffixes,
// call ids). On generator failure the buffer is zeroed (never left half-filled), the failure is
// logged and RC_ENCRYPTION returned; callers that build secrets must check the result.
[[nodiscard]] ResultCode random_fill(void* buffer, size_t length);
// Random bytes that must not be guessable (type 8 and 9 nonces). RC_INVALID_PARAM for a length of
// 0 or above 4 GiB - 1; on generator failure the buffer is zeroed and RC_ENCRYPTION returned.
[[nodiscard]] ResultCode random_fill_strict(void* buffer, size_t length);
// Random bytes that are never refused (task ids, HTTP server values, change-making ids): when the
// system generator fails it logs "BCrypt RNG failed, using fallback" and fills every byte from the
// ordinary pseudo-random generator instead.
void random_fill_fallback(void* buffer, size_t length);
// Strict random bytes for stored secrets (format 10 nonces, password salts, operation ids): on
// failure, or for a length above 4 GiB - 1, the buffer is zeroed and RC_ERROR returned.
[[nodiscard]] ResultCode random_fill_named_strict(void* buffer, size_t length);

// Lower-case hexadecimal text of `length` bytes (for digests and log lines; never for secrets).
std::string hex_lower(const void* data, size_t length);
