// Denomination codes and the arithmetic on unit counts that coin operations share: what a code is
// worth, which code a value or a count of units stands for, and the decimal decomposition of an
// amount into coins. A coin of code d is worth 10^d Zorbit, that is 10^(d+8) units. Everything is
// exact integer arithmetic. Pure functions: safe from any thread.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_code.h"

constexpr int kMinDenomination = -8;
constexpr int kMaxDenomination = 11;
constexpr int kDenominationCount = 20;  // codes -8..11
constexpr int kMaxUserDenomination = 6;  // values a user may name: 0.00000001 .. 1000000
// Returned by the value lookups that fail (-128 as a signed byte).
constexpr int8_t kNoDenomination = -128;
// Returned by the digit and coin searches when nothing qualifies.
constexpr int kNoCode = -9;

// Per-code coin counts, code -8 first (index = code + 8).
using DenominationCounts = std::array<uint64_t, kDenominationCount>;

// True for the codes the coin store accepts, -8..11.
bool denomination_valid(int code);
// Units per coin of `code`: 10^(code+8); 0 outside -8..11.
uint64_t denomination_units(int code);
// The value text of a code ("0.00000001" .. "1" .. "100000000000"), also used as JSON keys.
// RC_OK, or RC_INVALID_PARAM for a bad code or no output.
ResultCode value_text(int code, std::string* out);
// The code a user names by its value ("0.01" -> -2): the exact decimal value of one of the codes
// -8..6. False for anything else, with `code` set to kNoDenomination.
bool denomination_from_value_text(std::string_view text, int8_t* code);
// The largest code whose unit value is at most `units` and divides it exactly; -8 for 0.
int8_t denomination_from_units(uint64_t units);
// The largest code c from 11 down with units at least 0.99999 x 10^(c+8); -8 when none. Used for
// legacy names that carry a value rather than an exact amount.
int8_t denomination_from_units_loose(uint64_t units);

// Code of the lowest non-zero decimal digit of `units` (-8 for the units digit); kNoCode for 0.
int lowest_digit_code(uint64_t units);
// Sum of the decimal digits of `units`: the number of coins in its minimal decomposition.
uint32_t digit_sum(uint64_t units);
// Per-code counts of the minimal decomposition (count at code c = decimal digit at c + 8).
// Every 64-bit amount decomposes within codes -8..11; RC_INVALID_PARAM only for no output.
ResultCode minimal_decomposition(uint64_t units, DenominationCounts* counts);
// Whole Zorbits as a signed 32-bit value, saturating at 2147483647.
int32_t whole_zorbits(uint64_t units);
