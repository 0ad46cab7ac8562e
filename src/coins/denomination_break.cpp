#include "coins/denomination_break.h"

#include <algorithm>

int smallest_larger_coin(const DenominationCounts& counts, uint64_t amount) {
  for (int c = kMinDenomination + 1; c <= kMaxDenomination; ++c) {
    if (counts[c + 8] != 0 && denomination_units(c) > amount) return c;
  }
  return kNoCode;
}

uint64_t budget_ceiling(int source, int target, int64_t wanted) {
  if (target >= source) return 0;
  uint64_t span = static_cast<uint64_t>(std::min(source, kMaxDenomination) - std::max(target, kMinDenomination));
  uint64_t extra = wanted > 1 ? static_cast<uint64_t>(wanted - 1) : 0;
  if (extra > UINT64_MAX - 2 - span) return UINT64_MAX;
  return span + extra + 2;
}

bool has_deficit(const DenominationCounts& have, const DenominationCounts& want, int limit) {
  for (int c = kMinDenomination; c < limit && c <= kMaxDenomination; ++c) {
    if (have[c + 8] < want[c + 8]) return true;
  }
  return false;
}

ResultCode ensure_denominations(int target, int64_t wanted, uint64_t budget, const RefreshCounts& refresh_counts,
                                const BreakOne& break_one) {
  if (!refresh_counts || !break_one || !denomination_valid(target)) return RC_INVALID_PARAM;
  if (wanted <= 0) return RC_OK;
  DenominationCounts counts{};
  if (refresh_counts(&counts) != RC_OK) return RC_ERROR;
  const uint64_t limit = std::max<uint64_t>(budget, 1);
  uint64_t breaks = 0;
  while (counts[target + 8] < static_cast<uint64_t>(wanted)) {
    if (breaks >= limit) return RC_ERROR;
    int j = kNoCode;
    for (int c = target + 1; c <= kMaxDenomination; ++c) {
      if (counts[c + 8] != 0) {
        j = c;
        break;
      }
    }
    if (j == kNoCode) return RC_ERROR;
    DenominationCounts before = counts;
    if (break_one(j) != RC_OK) return RC_ERROR;
    ++breaks;
    if (refresh_counts(&counts) != RC_OK) return RC_ERROR;
    bool progress = false;
    for (int c = kMinDenomination; c < j; ++c) progress = progress || counts[c + 8] > before[c + 8];
    if (!progress) return RC_ERROR;
  }
  return RC_OK;
}
