#include "coins/coin_file_name.h"

#include "base/amount.h"
#include "coins/denomination.h"

namespace {

constexpr std::string_view kZorbitMarker = " Zorbit";
constexpr size_t kMaxAmountText = 63;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool tag_is_safe(std::string_view tag) {
  for (unsigned char c : tag) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '\'' || c == '"') return false;
  }
  return true;
}

std::string_view base_name(std::string_view name) {
  size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// Reads decimal digits at `i` into a 32-bit value; false for no digits or overflow.
bool read_u32(std::string_view s, size_t* i, uint32_t* out) {
  uint64_t v = 0;
  size_t start = *i;
  while (*i < s.size() && is_digit(s[*i])) {
    v = v * 10 + static_cast<uint64_t>(s[*i] - '0');
    if (v > UINT32_MAX) return false;
    ++*i;
  }
  if (*i == start) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// Whole digits and up to `max_frac` fraction digits (more are an error unless `truncate`), as
// units. `*i` ends after the last digit read.
bool read_units(std::string_view s, size_t* i, bool truncate, uint64_t* out) {
  uint64_t whole = 0;
  size_t digits = 0;
  while (*i < s.size() && is_digit(s[*i])) {
    uint64_t d = static_cast<uint64_t>(s[*i] - '0');
    if (whole > (UINT64_MAX / kUnitsPerZorbit - d) / 10) return false;
    whole = whole * 10 + d;
    ++*i;
    ++digits;
  }
  uint64_t frac = 0;
  int frac_digits = 0;
  // A point followed by no digit belongs to what comes next (legacy "1.Zorbit.").
  if (*i + 1 < s.size() && s[*i] == '.' && is_digit(s[*i + 1])) {
    ++*i;
    while (*i < s.size() && is_digit(s[*i])) {
      if (frac_digits < kFractionDigits) {
        frac = frac * 10 + static_cast<uint64_t>(s[*i] - '0');
        ++frac_digits;
      } else if (!truncate) {
        return false;
      }
      ++*i;
      ++digits;
    }
  }
  if (digits == 0) return false;
  for (; frac_digits < kFractionDigits; ++frac_digits) frac *= 10;
  uint64_t total = whole * kUnitsPerZorbit;
  if (frac > UINT64_MAX - total) return false;
  *out = total + frac;
  return true;
}

ResultCode parse_current(std::string_view base, size_t marker, CoinFileNameInfo* out) {
  if (marker > kMaxAmountText) return RC_ERROR;
  std::string amount;
  for (char c : base.substr(0, marker)) {
    if (c != ',' && c != '-') amount += c;
  }
  // "5." is not a name this system writes, but the point alone must not end the amount.
  if (!amount.empty() && amount.back() == '.') amount.pop_back();
  size_t i = 0;
  uint64_t units = 0;
  if (!read_units(amount, &i, false, &units) || i != amount.size()) return RC_ERROR;
  CoinFileNameInfo info;
  info.total_units = units;
  info.denomination = denomination_from_units(units);
  std::string_view rest = base.substr(marker + kZorbitMarker.size());
  size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    size_t j = hash + 1;
    uint32_t sn = 0;
    if (j < rest.size() && is_digit(rest[j]) && !read_u32(rest, &j, &sn)) return RC_ERROR;
    info.serial_number = sn;
  }
  size_t q = rest.find_first_of("'\"");
  if (q != std::string_view::npos) {
    size_t close = rest.find(rest[q], q + 1);
    if (close != std::string_view::npos) info.tag = std::string(rest.substr(q + 1, close - q - 1));
  }
  *out = std::move(info);
  return RC_OK;
}

ResultCode parse_legacy(std::string_view base, CoinFileNameInfo* out) {
  constexpr std::string_view kExt = ".bin";
  if (base.size() < kExt.size() || base.substr(base.size() - kExt.size()) != kExt) return RC_ERROR;
  size_t i = 0;
  uint64_t units = 0;
  if (!read_units(base, &i, true, &units) || i >= base.size() || base[i] != '.') return RC_ERROR;
  ++i;
  if (base.substr(i, 7) == "Zorbit.") i += 7;
  CoinFileNameInfo info;
  info.legacy = true;
  info.total_units = units;
  info.denomination = denomination_from_units_loose(units);
  if (!read_u32(base, &i, &info.serial_number)) return RC_ERROR;
  size_t ext = base.size() - kExt.size();
  if (i > ext || base[i] != '.') return RC_ERROR;
  if (i < ext) info.tag = std::string(base.substr(i + 1, ext - i - 1));
  *out = std::move(info);
  return RC_OK;
}

}  // namespace

ResultCode coin_file_name(uint64_t total_units, size_t coin_count, uint32_t serial_number, std::string_view tag,
                          std::string* out) {
  if (!out || !tag_is_safe(tag)) return RC_INVALID_PARAM;
  std::string name = format_units_for_filename(total_units) + " Zorbit";
  if (coin_count == 1) name += " #" + std::to_string(serial_number);
  if (!tag.empty()) {
    name += " '";
    name += tag;
    name += "'";
  }
  name += ".bin";
  if (name.size() > kMaxCoinFileName) return RC_ERROR;
  *out = std::move(name);
  return RC_OK;
}

ResultCode parse_coin_file_name(std::string_view name, CoinFileNameInfo* out) {
  if (!out || name.empty()) return RC_INVALID_PARAM;
  std::string_view base = base_name(name);
  if (base.empty()) return RC_ERROR;
  size_t marker = base.find(kZorbitMarker);
  if (marker != std::string_view::npos) return parse_current(base, marker, out);
  return parse_legacy(base, out);
}

ResultCode serial_from_file_name(std::string_view name, uint32_t* serial) {
  if (!serial) return RC_INVALID_PARAM;
  std::string_view base = base_name(name);
  for (size_t h = base.find('#'); h != std::string_view::npos; h = base.find('#', h + 1)) {
    size_t j = h + 1;
    uint32_t sn = 0;
    if (read_u32(base, &j, &sn) && sn != 0) {
      *serial = sn;
      return RC_OK;
    }
  }
  CoinFileNameInfo info;
  if (base.find(kZorbitMarker) == std::string_view::npos && parse_legacy(base, &info) == RC_OK &&
      info.serial_number != 0) {
    *serial = info.serial_number;
    return RC_OK;
  }
  size_t first = base.find('.');
  size_t second = first == std::string_view::npos ? first : base.find('.', first + 1);
  if (second != std::string_view::npos) {
    size_t j = second + 1;
    uint32_t sn = 0;
    if (read_u32(base, &j, &sn) && sn != 0 && (j == base.size() || base[j] == '.')) {
      *serial = sn;
      return RC_OK;
    }
  }
  return RC_ERROR;
}

bool coin_file_name_has_tag(std::string_view name, std::string_view tag) {
  CoinFileNameInfo info;
  return parse_coin_file_name(name, &info) == RC_OK && info.tag == tag;
}
