// Planning coin breaks: which larger coin to break for an amount, how many breaks a request may
// need at most, whether a set of coins lacks a code, and `ensure_denominations`, the loop that
// breaks coins until enough coins of one code are at hand (make change and the mail locker pool
// use it). The loop itself does no I/O; it calls the caller's callbacks. Safe from any thread as
// far as the callbacks are.
#pragma once
#include <cstdint>
#include <functional>

#include "base/result_code.h"
#include "coins/denomination.h"

// The lowest code from -7 to 11 with a non-zero count whose unit value exceeds `amount`;
// kNoCode when none.
int smallest_larger_coin(const DenominationCounts& counts, uint64_t amount);
// Ceiling on the breaks needed to get `wanted` coins of `target` when the largest coin at hand
// has code `source`: 0 when target is not below source, otherwise
// (min(source, 11) - max(target, -8)) + max(wanted - 1, 0) + 2, or UINT64_MAX on overflow.
uint64_t budget_ceiling(int source, int target, int64_t wanted);
// True when some code from -8 up to `limit` - 1 has fewer coins in `have` than in `want`.
bool has_deficit(const DenominationCounts& have, const DenominationCounts& want, int limit);

// Refreshes the caller's per-code counts of the coins at hand.
using RefreshCounts = std::function<ResultCode(DenominationCounts* counts)>;
// Breaks one coin of the given code into smaller coins.
using BreakOne = std::function<ResultCode(int code)>;

// Breaks coins until at least `wanted` coins of `target` are at hand: each round breaks the
// smallest coin above the target and requires that some smaller code gained coins. At most
// max(budget, 1) breaks. RC_OK (also at once for wanted <= 0); RC_INVALID_PARAM for a missing
// callback or a target outside -8..11; RC_ERROR when the budget runs out, no larger coin is left,
// a refresh or break fails, or a break makes no progress.
ResultCode ensure_denominations(int target, int64_t wanted, uint64_t budget, const RefreshCounts& refresh_counts,
                                const BreakOne& break_one);
