// Amounts of Zorbit and their texts. An amount is a count of units, one unit being 10^-8 Zorbit:
// unsigned 64-bit where it cannot be negative, signed 64-bit where it can. Every conversion
// between text and units here is exact integer arithmetic; no floating point is involved, so a
// text read back from `format_units` gives the same count. Pure functions: safe from any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_code.h"

constexpr uint64_t kUnitsPerZorbit = 100000000ULL;  // 10^8
constexpr int kFractionDigits = 8;
// Fees move in steps of 0.0001 Zorbit and never exceed 1,000,000 Zorbit.
constexpr uint64_t kFeeStepUnits = 10000ULL;
constexpr uint64_t kFeeMaxUnits = 100000000000000ULL;

// Canonical decimal form: an optional "-", digits, then optionally "." and up to 8 fraction
// digits ("5." and ".5" are accepted, "." and "" are not). The result must fit a signed 64-bit
// count. RC_OK or RC_INVALID_PARAM (malformed text, nine fraction digits, overflow); `units` is
// written only on success.
ResultCode parse_amount(std::string_view text, int64_t* units);
// The same form without a sign, for amounts up to 2^64 - 1 units (the largest coins exceed the
// signed range). RC_OK or RC_INVALID_PARAM.
ResultCode parse_units(std::string_view text, uint64_t* units);
// A configured or mail fee: the canonical form, not negative, at most 1,000,000 Zorbit, and 0 or
// a multiple of 0.0001 Zorbit. RC_OK or RC_INVALID_PARAM.
ResultCode parse_fee_amount(std::string_view text, uint64_t* units);

// "1", "0.5", "1234.00000001": the whole part, then "." and the fraction without trailing zeros
// when it is not zero. Exact for every value, 2^63 units and above included.
std::string format_units(uint64_t units);
// As format_units, with a leading "-" for a negative count.
std::string format_amount(int64_t units);
// The grouped form used in coin file names: commas between groups of three whole digits (at most
// three commas) and a fraction split by "-" after every four digits: "1,234.5", "0.0001-2345".
std::string format_units_for_filename(uint64_t units);
