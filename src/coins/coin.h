// One coin in memory: serial number, denomination code, the 25 authenticity numbers (one per
// KOVRA server), 25 proposed numbers and the 25 per-server `PownCode`s. Coins are plain
// fixed-size values handled in arrays; the authenticity and proposed numbers are secret, so a
// `Coin` wipes them when it is destroyed. Pure values: a coin has one owner at a time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "coins/denomination.h"
#include "coins/pown.h"

constexpr size_t kAnSize = 16;
constexpr size_t kAnBlockSize = kServerCount * kAnSize;  // 400
constexpr uint32_t kAux24Max = 0xFFFFFF;

struct Coin {
  uint32_t serial_number = 0;  // 0 marks an invalid or empty record
  int8_t denomination = 0;
  uint8_t an[kServerCount][kAnSize] = {};
  uint8_t pan[kServerCount][kAnSize] = {};
  uint8_t pown_status[kServerCount] = {};  // PownCode per server
  uint32_t aux24 = 0;  // carried by encrypted coin files, 0 for plaintext ones
  bool has_pans = false;

  Coin() = default;
  Coin(const Coin&) = default;
  Coin& operator=(const Coin&) = default;
  ~Coin();

  // Zeroes the secret numbers (not the serial number or status).
  void wipe_secrets();
};

// Serial number not 0 and denomination within -8..11.
bool coin_valid_for_writing(const Coin& coin);
// Units of the coin's denomination; 0 for a bad code.
uint64_t coin_units(const Coin& coin);
// Sum of the coins' units; UINT64_MAX when the sum would not fit; 0 for none.
uint64_t total_units(const Coin* coins, size_t count);
// The same coin as far as files are concerned: denomination, serial number, aux24, all
// authenticity numbers and all pown codes (proposed numbers are not compared). Constant time in
// the authenticity numbers.
bool coin_same_content(const Coin& a, const Coin& b);
