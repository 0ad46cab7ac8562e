#include "base/amount.h"

#include <cstdio>

namespace {

// The parts of a decimal text as digits, before any range check.
struct DecimalParts {
  bool negative = false;
  uint64_t whole = 0;
  uint64_t fraction = 0;  // already scaled to 8 digits
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads [-]digits[.digits] with at most 8 fraction digits; the whole part must stay within
// `whole_limit` (so that whole x 10^8 + fraction cannot wrap).
bool split_decimal(std::string_view t, bool allow_sign, uint64_t whole_limit, DecimalParts* out) {
  size_t i = 0;
  DecimalParts p;
  if (allow_sign && i < t.size() && t[i] == '-') {
    p.negative = true;
    ++i;
  }
  size_t digits = 0;
  for (; i < t.size() && is_digit(t[i]); ++i, ++digits) {
    uint64_t d = static_cast<uint64_t>(t[i] - '0');
    if (p.whole > (whole_limit - d) / 10) return false;
    p.whole = p.whole * 10 + d;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    int frac_digits = 0;
    for (; i < t.size() && is_digit(t[i]); ++i, ++digits) {
      if (++frac_digits > kFractionDigits) return false;
      p.fraction = p.fraction * 10 + static_cast<uint64_t>(t[i] - '0');
    }
    for (; frac_digits < kFractionDigits; ++frac_digits) p.fraction *= 10;
  }
  if (digits == 0 || i != t.size()) return false;
  *out = p;
  return true;
}

// Fraction (0 < f < 10^8) as 8 digits with the trailing zeros removed.
std::string fraction_digits(uint64_t f) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08llu", static_cast<unsigned long long>(f));
  std::string s(buf);
  while (!s.empty() && s.back() == '0') s.pop_back();
  return s;
}

}  // namespace

ResultCode parse_amount(std::string_view text, int64_t* units) {
  if (!units) return RC_INVALID_PARAM;
  const uint64_t max = static_cast<uint64_t>(INT64_MAX);
  DecimalParts p;
  if (!split_decimal(text, true, max / kUnitsPerZorbit, &p)) return RC_INVALID_PARAM;
  uint64_t total = p.whole * kUnitsPerZorbit;
  if (p.fraction > max - total) return RC_INVALID_PARAM;
  total += p.fraction;
  *units = p.negative ? -static_cast<int64_t>(total) : static_cast<int64_t>(total);
  return RC_OK;
}

ResultCode parse_units(std::string_view text, uint64_t* units) {
  if (!units) return RC_INVALID_PARAM;
  DecimalParts p;
  if (!split_decimal(text, false, UINT64_MAX / kUnitsPerZorbit, &p)) return RC_INVALID_PARAM;
  uint64_t total = p.whole * kUnitsPerZorbit;
  if (p.fraction > UINT64_MAX - total) return RC_INVALID_PARAM;
  *units = total + p.fraction;
  return RC_OK;
}

ResultCode parse_fee_amount(std::string_view text, uint64_t* units) {
  if (!units) return RC_INVALID_PARAM;
  int64_t v = 0;
  if (parse_amount(text, &v) != RC_OK || v < 0) return RC_INVALID_PARAM;
  uint64_t u = static_cast<uint64_t>(v);
  if (u > kFeeMaxUnits || u % kFeeStepUnits != 0) return RC_INVALID_PARAM;
  *units = u;
  return RC_OK;
}

std::string format_units(uint64_t units) {
  std::string s = std::to_string(units / kUnitsPerZorbit);
  uint64_t f = units % kUnitsPerZorbit;
  if (f != 0) s += "." + fraction_digits(f);
  return s;
}

std::string format_amount(int64_t units) {
  if (units >= 0) return format_units(static_cast<uint64_t>(units));
  // Negate in unsigned arithmetic so INT64_MIN has a magnitude too.
  return "-" + format_units(0 - static_cast<uint64_t>(units));
}

std::string format_units_for_filename(uint64_t units) {
  using ull = unsigned long long;
  ull w = units / kUnitsPerZorbit;
  char buf[64];
  if (w >= 1000000000ULL) {
    std::snprintf(buf, sizeof buf, "%llu,%03llu,%03llu,%03llu", w / 1000000000ULL, (w / 1000000ULL) % 1000,
                  (w / 1000) % 1000, w % 1000);
  } else if (w >= 1000000ULL) {
    std::snprintf(buf, sizeof buf, "%llu,%03llu,%03llu", w / 1000000ULL, (w / 1000) % 1000, w % 1000);
  } else if (w >= 1000) {
    std::snprintf(buf, sizeof buf, "%llu,%03llu", w / 1000, w % 1000);
  } else {
    std::snprintf(buf, sizeof buf, "%llu", w);
  }
  std::string s(buf);
  uint64_t f = units % kUnitsPerZorbit;
  if (f == 0) return s;
  std::string digits = fraction_digits(f);
  s += '.';
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && i % 4 == 0) s += '-';
    s += digits[i];
  }
  return s;
}
