#include "coins/coin.h"

#include <cstring>

#include <openssl/crypto.h>

Coin::~Coin() { wipe_secrets(); }

void Coin::wipe_secrets() {
  OPENSSL_cleanse(an, sizeof an);
  OPENSSL_cleanse(pan, sizeof pan);
}

bool coin_valid_for_writing(const Coin& coin) {
  return coin.serial_number != 0 && denomination_valid(coin.denomination);
}

uint64_t coin_units(const Coin& coin) { return denomination_units(coin.denomination); }

uint64_t total_units(const Coin* coins, size_t count) {
  if (!coins) return 0;
  uint64_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t u = coin_units(coins[i]);
    if (u > UINT64_MAX - sum) return UINT64_MAX;
    sum += u;
  }
  return sum;
}

bool coin_same_content(const Coin& a, const Coin& b) {
  return a.denomination == b.denomination && a.serial_number == b.serial_number && a.aux24 == b.aux24 &&
         CRYPTO_memcmp(a.an, b.an, sizeof a.an) == 0 &&
         std::memcmp(a.pown_status, b.pown_status, sizeof a.pown_status) == 0;
}
