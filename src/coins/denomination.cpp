#include "coins/denomination.h"

#include "base/amount.h"

namespace {
constexpr uint64_t kPow10[kDenominationCount] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};
}  // namespace

bool denomination_valid(int code) { return code >= kMinDenomination && code <= kMaxDenomination; }

uint64_t denomination_units(int code) { return denomination_valid(code) ? kPow10[code + 8] : 0; }

ResultCode value_text(int code, std::string* out) {
  if (!out || !denomination_valid(code)) return RC_INVALID_PARAM;
  *out = format_units(denomination_units(code));
  return RC_OK;
}

bool denomination_from_value_text(std::string_view text, int8_t* code) {
  int8_t found = kNoDenomination;
  uint64_t units = 0;
  if (parse_units(text, &units) == RC_OK) {
    for (int c = kMinDenomination; c <= kMaxUserDenomination; ++c) {
      if (denomination_units(c) == units) found = static_cast<int8_t>(c);
    }
  }
  if (code) *code = found;
  return found != kNoDenomination;
}

int8_t denomination_from_units(uint64_t units) {
  if (units == 0) return kMinDenomination;
  for (int c = kMaxDenomination; c > kMinDenomination; --c) {
    uint64_t u = denomination_units(c);
    if (u <= units && units % u == 0) return static_cast<int8_t>(c);
  }
  return kMinDenomination;
}

int8_t denomination_from_units_loose(uint64_t units) {
  for (int c = kMaxDenomination; c >= kMinDenomination; --c) {
    // units >= 0.99999 x u, kept in integers: units x 100000 >= u x 99999.
    unsigned __int128 lhs = static_cast<unsigned __int128>(units) * 100000u;
    unsigned __int128 rhs = static_cast<unsigned __int128>(denomination_units(c)) * 99999u;
    if (lhs >= rhs) return static_cast<int8_t>(c);
  }
  return kMinDenomination;
}

int lowest_digit_code(uint64_t units) {
  for (int c = kMinDenomination; c <= kMaxDenomination && units != 0; ++c, units /= 10) {
    if (units % 10 != 0) return c;
  }
  return kNoCode;
}

uint32_t digit_sum(uint64_t units) {
  uint32_t sum = 0;
  for (; units != 0; units /= 10) sum += static_cast<uint32_t>(units % 10);
  return sum;
}

ResultCode minimal_decomposition(uint64_t units, DenominationCounts* counts) {
  if (!counts) return RC_INVALID_PARAM;
  counts->fill(0);
  // 2^64 - 1 has 20 decimal digits, exactly the codes -8..11, so nothing can remain.
  for (int i = 0; i < kDenominationCount && units != 0; ++i, units /= 10) (*counts)[i] = units % 10;
  return RC_OK;
}

int32_t whole_zorbits(uint64_t units) {
  uint64_t w = units / kUnitsPerZorbit;
  return w >= static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(w);
}
