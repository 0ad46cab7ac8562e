#include "coins/coin_file_format.h"

#include <cstring>

#include <openssl/crypto.h>

#include "net/crypto.h"

namespace {

void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put_be24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  put_be24(p + 1, v);
}
uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t get_be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t get_be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | get_be24(p + 1); }

void put_record(const Coin& coin, uint8_t* rec) {
  rec[0] = 0;
  rec[1] = 0;
  rec[2] = static_cast<uint8_t>(coin.denomination);
  put_be32(rec + 3, coin.serial_number);
  std::memcpy(rec + 7, coin.an, kAnBlockSize);
}

void put_v9_header(uint8_t* h, uint16_t count) {
  std::memset(h, 0, kCoinFileHeaderSize);
  h[0] = kFormat9;
  h[1] = 1;
  put_be16(h + 2, kCoinIdZorbit);
  put_be16(h + 6, count);
}

// First counter block: the 12 nonce bytes, then 00 00 00 01.
void type10_counter(const uint8_t nonce[12], uint8_t counter[16]) {
  std::memcpy(counter, nonce, 12);
  counter[12] = 0;
  counter[13] = 0;
  counter[14] = 0;
  counter[15] = 1;
}

}  // namespace

ResultCode coin_image_v9_single(const Coin& coin, Secret* image) {
  if (!image || !coin_valid_for_writing(coin)) return RC_INVALID_PARAM;
  Secret img(kSingleCoinFileSize);
  put_v9_header(img.data(), 1);
  pown_pack(coin.pown_status, img.data() + 16);
  put_record(coin, img.data() + kCoinFileHeaderSize);
  *image = std::move(img);
  return RC_OK;
}

ResultCode coin_image_v9_multi(const Coin* coins, size_t count, Secret* image) {
  if (!image || !coins || count == 0 || count > kMaxCoinsPerFile) return RC_INVALID_PARAM;
  for (size_t i = 0; i < count; ++i) {
    if (!coin_valid_for_writing(coins[i])) return RC_INVALID_PARAM;
  }
  Secret img(coin_file_v9_size(count));
  put_v9_header(img.data(), static_cast<uint16_t>(count));
  std::memcpy(img.data() + 16, kMultiCoinMark, 16);
  for (size_t i = 0; i < count; ++i) put_record(coins[i], img.data() + kCoinFileHeaderSize + i * kCoinRecordSize);
  *image = std::move(img);
  return RC_OK;
}

ResultCode coin_header_parse(const uint8_t* data, size_t n, CoinFileHeader* header) {
  if (!header || (!data && n > 0)) return RC_INVALID_PARAM;
  if (n == 0) return RC_CORRUPT_FILE;
  CoinFileHeader h;
  if (data[0] == kFormat10) {
    ResultCode rc = type10_check_image(data, n);
    if (rc != RC_OK) return rc;
    h.format = kFormat10;
    h.byte1 = data[1];
    h.encryption_type = kKdfArgon2id;
    h.token_count = 1;
    std::memcpy(h.reserved8_15, data + 8, 8);
    std::memcpy(h.pown_packed, data + 16, 13);
    h.value24 = get_be24(data + 6);
    h.single_coin = true;
    *header = h;
    return RC_OK;
  }
  if (n < kCoinFileHeaderSize || data[0] != kFormat9) return RC_CORRUPT_FILE;
  h.format = data[0];
  h.byte1 = data[1];
  h.coin_id = get_be16(data + 2);
  h.byte4 = data[4];
  h.encryption_type = data[5];
  h.token_count = get_be16(data + 6);
  std::memcpy(h.reserved8_15, data + 8, 8);
  h.single_coin = h.token_count == 1;
  if (h.single_coin) {
    std::memcpy(h.pown_packed, data + 16, 13);
    h.value24 = get_be24(data + 29);
  }
  if (h.coin_id != kCoinIdZorbit) return RC_CORRUPT_FILE;
  *header = h;
  return RC_OK;
}

ResultCode coin_image_v9_record(const uint8_t* data, size_t n, size_t index, Coin* coin) {
  if (!data || !coin) return RC_INVALID_PARAM;
  if (index >= kMaxCoinsPerFile || n < coin_file_v9_size(index + 1)) return RC_CORRUPT_FILE;
  const uint8_t* rec = data + kCoinFileHeaderSize + index * kCoinRecordSize;
  Coin c;
  c.denomination = static_cast<int8_t>(rec[2]);
  c.serial_number = get_be32(rec + 3);
  std::memcpy(c.an, rec + 7, kAnBlockSize);
  *coin = c;
  return RC_OK;
}

ResultCode type10_check_image(const uint8_t* data, size_t n) {
  if (!data || n != kType10FileSize || data[0] != kFormat10) return RC_CORRUPT_FILE;
  if (crc32c(data, kType10CrcOffset) != get_be32(data + kType10CrcOffset)) return RC_CRC;
  if (data[9] != kKdfArgon2id) return RC_UNSUPPORTED_FORMAT;
  if (!denomination_valid(static_cast<int8_t>(data[1])) || (data[28] & 0x0F) != kPownPackMarker) {
    return RC_CORRUPT_FILE;
  }
  uint64_t slots[kServerCount];
  for (int i = 0; i < kServerCount; ++i) {
    const uint8_t* p = data + 29 + 6 * i;
    slots[i] = (uint64_t{get_be16(p)} << 32) | get_be32(p + 2);
    for (int j = 0; j < i; ++j) {
      if (slots[j] == slots[i]) return RC_CORRUPT_FILE;
    }
  }
  return RC_OK;
}

ResultCode type10_build_image(const Coin& coin, const uint8_t* key, const uint8_t salt[16], const uint8_t nonce[12],
                              const Type10Reserved& reserved, uint8_t out[kType10FileSize]) {
  if (!key || !salt || !nonce || !out || !coin_valid_for_writing(coin) || coin.aux24 > kAux24Max) {
    return RC_INVALID_PARAM;
  }
  std::memset(out, 0, kType10FileSize);
  out[0] = kFormat10;
  out[1] = static_cast<uint8_t>(coin.denomination);
  put_be32(out + 2, coin.serial_number);
  put_be24(out + 6, coin.aux24);
  out[9] = kKdfArgon2id;
  std::memcpy(out + 10, reserved.bytes10_15, 6);
  pown_pack(coin.pown_status, out + 16);
  for (int i = 0; i < kServerCount; ++i) {
    uint8_t* p = out + 29 + 6 * i;
    put_be16(p, 0);
    put_be32(p + 2, static_cast<uint32_t>(i));
  }
  std::memcpy(out + kType10SaltOffset, salt, 16);
  std::memcpy(out + kType10NonceOffset, nonce, kType10NonceSize);
  out[207] = reserved.byte207;
  std::memcpy(out + kType10AnOffset, coin.an, kAnBlockSize);
  uint8_t counter[16];
  type10_counter(nonce, counter);
  ResultCode rc = aes256_ctr_block16(key, counter, out + kType10AnOffset, kAnBlockSize);
  OPENSSL_cleanse(counter, sizeof counter);
  if (rc != RC_OK) {
    OPENSSL_cleanse(out, kType10FileSize);
    return RC_ENCRYPTION;
  }
  put_be32(out + kType10CrcOffset, crc32c(out, kType10CrcOffset));
  return RC_OK;
}

ResultCode type10_decode_image(const uint8_t image[kType10FileSize], const uint8_t* key, Coin* coin) {
  if (!image || !key || !coin) return RC_INVALID_PARAM;
  Coin c;
  c.denomination = static_cast<int8_t>(image[1]);
  c.serial_number = get_be32(image + 2);
  c.aux24 = get_be24(image + 6);
  pown_unpack(image + 16, c.pown_status);
  std::memcpy(c.an, image + kType10AnOffset, kAnBlockSize);
  uint8_t counter[16];
  type10_counter(image + kType10NonceOffset, counter);
  ResultCode rc = aes256_ctr_block16(key, counter, &c.an[0][0], kAnBlockSize);
  OPENSSL_cleanse(counter, sizeof counter);
  if (rc != RC_OK) return RC_ENCRYPTION;
  *coin = c;
  return RC_OK;
}

Type10Reserved type10_reserved_of(const uint8_t image[kType10FileSize]) {
  Type10Reserved r;
  std::memcpy(r.bytes10_15, image + 10, 6);
  r.byte207 = image[207];
  return r;
}
