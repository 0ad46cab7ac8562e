// The byte images of coin files, without any I/O: format 9 (plaintext; one coin in 439 bytes or
// several in 32 + 407 n) and format 10 (one coin in 612 bytes, its authenticity numbers under
// AES-256 counter mode, guarded by CRC-32C). All numbers are big-endian. Readers and writers of
// coin files and the simulator's minting build on these. Pure functions: safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/result_code.h"
#include "base/secret.h"
#include "coins/coin.h"

constexpr uint8_t kFormat9 = 9;
constexpr uint8_t kFormat10 = 10;
constexpr uint16_t kCoinIdZorbit = 6;
constexpr uint8_t kKdfArgon2id = 5;
constexpr size_t kCoinFileHeaderSize = 32;
constexpr size_t kCoinRecordSize = 407;
constexpr size_t kSingleCoinFileSize = kCoinFileHeaderSize + kCoinRecordSize;  // 439
constexpr size_t kMaxCoinsPerFile = 65535;
constexpr size_t kType10FileSize = 612;
constexpr size_t kType10SaltOffset = 179;
constexpr size_t kType10NonceOffset = 195;
constexpr size_t kType10NonceSize = 12;
constexpr size_t kType10AnOffset = 208;
constexpr size_t kType10CrcOffset = 608;
constexpr char kMultiCoinMark[] = "Live Free Or Die";  // 16 characters, no terminator stored

// The size of a format 9 file of `count` coins.
constexpr size_t coin_file_v9_size(size_t count) { return kCoinFileHeaderSize + kCoinRecordSize * count; }

// What a header says. For format 10 files: format 10, encryption type 5, token count 1, the pown
// bytes and aux24 as value24.
struct CoinFileHeader {
  uint8_t format = 0;
  uint8_t byte1 = 0;
  uint16_t coin_id = 0;
  uint8_t byte4 = 0;
  uint8_t encryption_type = 0;
  uint16_t token_count = 0;
  uint8_t reserved8_15[8] = {};
  uint8_t pown_packed[13] = {};  // bytes 16-28 of single-coin files
  uint32_t value24 = 0;          // bytes 29-31 of single-coin files
  bool single_coin = false;
};

// The bytes of a format 10 file kept across re-writes of the same path (10-15 and 207).
struct Type10Reserved {
  uint8_t bytes10_15[6] = {};
  uint8_t byte207 = 0;
};

// Format 9 image of one coin (439 bytes). RC_OK or RC_INVALID_PARAM (no output, coin not valid
// for writing).
ResultCode coin_image_v9_single(const Coin& coin, Secret* image);
// Format 9 image of 1..65535 coins (the multi-coin header even for one coin). RC_OK or
// RC_INVALID_PARAM (bad count, no output, a coin not valid for writing).
ResultCode coin_image_v9_multi(const Coin* coins, size_t count, Secret* image);
// Reads a header from the first bytes of a file. Format 9 needs 32 bytes and coin id 6; format 10
// needs the whole 612-byte image and passes its check. RC_OK, RC_CORRUPT_FILE (short, unknown
// format, wrong coin id) or the format 10 check result.
ResultCode coin_header_parse(const uint8_t* data, size_t n, CoinFileHeader* header);
// Coin record `index` of a format 9 image into `coin` (pown status, pan, aux24 cleared).
// RC_OK, RC_CORRUPT_FILE when the record lies beyond `n`, RC_INVALID_PARAM for no output.
ResultCode coin_image_v9_record(const uint8_t* data, size_t n, size_t index, Coin* coin);

// Checks a format 10 image: size 612 and format byte 10 (else RC_CORRUPT_FILE), CRC-32C (RC_CRC),
// key-derivation id 5 (RC_UNSUPPORTED_FORMAT), denomination and marker nibble, distinct slot
// numbers (RC_CORRUPT_FILE).
ResultCode type10_check_image(const uint8_t* data, size_t n);
// Builds a format 10 image under `key` (32 bytes) with the given salt, nonce and reserved bytes.
// RC_OK, RC_INVALID_PARAM (coin not valid for writing, aux24 too large, missing argument),
// RC_ENCRYPTION.
ResultCode type10_build_image(const Coin& coin, const uint8_t* key, const uint8_t salt[16], const uint8_t nonce[12],
                              const Type10Reserved& reserved, uint8_t out[kType10FileSize]);
// Decrypts a checked format 10 image into `coin` (pan cleared). A wrong key gives wrong
// authenticity numbers, not an error. RC_OK, RC_INVALID_PARAM, RC_ENCRYPTION.
ResultCode type10_decode_image(const uint8_t image[kType10FileSize], const uint8_t* key, Coin* coin);
// The reserved bytes of an image.
Type10Reserved type10_reserved_of(const uint8_t image[kType10FileSize]);
