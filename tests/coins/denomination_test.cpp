#include "coins/denomination.h"
#include "coins/denomination_break.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Denomination, CodeTableHasExactUnitsAndValueTexts) {
  struct Case {
    int code;
    bool valid;
    uint64_t units;
    const char* text;
  } cases[] = {
      {-9, false, 0, nullptr},
      {-8, true, 1, "0.00000001"},
      {-7, true, 10, "0.0000001"},
      {-3, true, 100000, "0.001"},
      {-1, true, 10000000, "0.1"},
      {0, true, 100000000, "1"},
      {1, true, 1000000000, "10"},
      {6, true, 100000000000000ULL, "1000000"},
      {11, true, 10000000000000000000ULL, "100000000000"},
      {12, false, 0, nullptr},
      {-128, false, 0, nullptr},
      {264, false, 0, nullptr},  // would wrap to a valid byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(denomination_valid(c.code), c.valid) << c.code;
    EXPECT_EQ(denomination_units(c.code), c.units) << c.code;
    std::string text = "untouched";
    if (c.text) {
      ASSERT_EQ(value_text(c.code, &text), RC_OK) << c.code;
      EXPECT_EQ(text, c.text);
    } else {
      EXPECT_EQ(value_text(c.code, &text), RC_INVALID_PARAM) << c.code;
      EXPECT_EQ(text, "untouched");
    }
  }
  EXPECT_EQ(value_text(0, nullptr), RC_INVALID_PARAM);
}

TEST(Denomination, UserValuesMapOnlyToExactCodesUpToAMillion) {
  struct Case {
    const char* text;
    int8_t code;
  } cases[] = {
      {"0.01", -2},     {"0.00000001", -8}, {"1", 0},       {"1.0", 0},  {"1000000", 6},
      {"0.015", -128},  {"10000000", -128}, {"0", -128},    {"2", -128}, {"abc", -128},
      {"-1", -128},     {"", -128},         {"0.000000001", -128},
  };
  for (const auto& c : cases) {
    int8_t code = 55;
    EXPECT_EQ(denomination_from_value_text(c.text, &code), c.code != -128) << c.text;
    EXPECT_EQ(code, c.code) << c.text;
  }
}

TEST(Denomination, CodeFromUnitsTakesTheLargestExactDivisor) {
  struct Case {
    uint64_t units;
    int8_t exact;
    int8_t loose;
  } cases[] = {
      {0, -8, -8},
      {1, -8, -8},
      {300000000, 0, 0},  // three one-Zorbit coins divide evenly
      {100000000000ULL, 3, 3},
      {150000000, -1, 0},
      {99999000, -5, 0},  // 0.99999 is close enough to 1 for legacy values
      {99998999, -8, -1},
      {10000000000000000000ULL, 11, 11},
      {UINT64_MAX, -8, 11},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(denomination_from_units(c.units), c.exact) << c.units;
    EXPECT_EQ(denomination_from_units_loose(c.units), c.loose) << c.units;
  }
}

TEST(Denomination, DecimalDecompositionOfUnitCounts) {
  struct Case {
    uint64_t units;
    int lowest;
    uint32_t digits;
    int32_t whole;
  } cases[] = {
      {0, kNoCode, 0, 0},
      {1, -8, 1, 0},
      {120, -7, 3, 0},
      {350000000, -1, 8, 3},
      {214748364700000000ULL, 0, 2 + 1 + 4 + 7 + 4 + 8 + 3 + 6 + 4 + 7, 2147483647},
      {214748364800000000ULL, 0, 2 + 1 + 4 + 7 + 4 + 8 + 3 + 6 + 4 + 8, 2147483647},
      {UINT64_MAX, -8, 87, 2147483647},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lowest_digit_code(c.units), c.lowest) << c.units;
    EXPECT_EQ(digit_sum(c.units), c.digits) << c.units;
    EXPECT_EQ(whole_zorbits(c.units), c.whole) << c.units;
  }
  DenominationCounts counts;
  ASSERT_EQ(minimal_decomposition(1234500000003ULL, &counts), RC_OK);
  DenominationCounts want{};
  want[0] = 3;      // 3 units
  want[8 + 0] = 5;  // 5 Zorbit
  want[8 + 1] = 4;
  want[8 + 2] = 3;
  want[8 + 3] = 2;
  want[8 + 4] = 1;
  EXPECT_EQ(counts, want);
  ASSERT_EQ(minimal_decomposition(UINT64_MAX, &counts), RC_OK);
  uint64_t sum = 0;
  for (int c = -8; c <= 11; ++c) sum += counts[c + 8] * denomination_units(c);
  EXPECT_EQ(sum, UINT64_MAX);
  EXPECT_EQ(minimal_decomposition(1, nullptr), RC_INVALID_PARAM);
}

TEST(DenominationBreak, SmallestLargerCoinBudgetAndDeficit) {
  DenominationCounts counts{};
  counts[-8 + 8] = 5;  // code -8 never counts as larger
  counts[0 + 8] = 1;
  counts[3 + 8] = 2;
  EXPECT_EQ(smallest_larger_coin(counts, 50000000), 0);
  EXPECT_EQ(smallest_larger_coin(counts, 100000000), 3);
  EXPECT_EQ(smallest_larger_coin(counts, 100000000000ULL), kNoCode);
  EXPECT_EQ(smallest_larger_coin(DenominationCounts{}, 0), kNoCode);

  EXPECT_EQ(budget_ceiling(0, 0, 5), 0u);
  EXPECT_EQ(budget_ceiling(-2, 0, 5), 0u);
  EXPECT_EQ(budget_ceiling(3, 0, 1), 5u);
  EXPECT_EQ(budget_ceiling(3, 0, 0), 5u);
  EXPECT_EQ(budget_ceiling(3, 0, 4), 8u);
  EXPECT_EQ(budget_ceiling(40, -20, 1), uint64_t(11 + 8 + 2));
  EXPECT_EQ(budget_ceiling(11, -8, INT64_MAX), uint64_t(19) + uint64_t(INT64_MAX - 1) + 2);

  DenominationCounts have{}, want{};
  want[0 + 8] = 2;
  have[0 + 8] = 1;
  EXPECT_TRUE(has_deficit(have, want, 1));
  EXPECT_FALSE(has_deficit(have, want, 0));
  have[0 + 8] = 2;
  EXPECT_FALSE(has_deficit(have, want, 12));
}

// A pile of coins that breaks a coin of code j into ten coins of code j - 1, as change does.
struct Pile {
  DenominationCounts counts{};
  std::vector<int> broken;
  bool fail_break = false;
  bool no_progress = false;

  RefreshCounts refresh() {
    return [this](DenominationCounts* out) {
      *out = counts;
      return RC_OK;
    };
  }
  BreakOne breaker() {
    return [this](int code) {
      broken.push_back(code);
      if (fail_break) return RC_ERROR;
      if (!no_progress) {
        counts[code + 8] -= 1;
        counts[code - 1 + 8] += 10;
      }
      return RC_OK;
    };
  }
};

TEST(DenominationBreak, EnsureDenominationsBreaksTheSmallestLargerCoinUntilEnough) {
  Pile pile;
  pile.counts[2 + 8] = 1;
  pile.counts[4 + 8] = 1;
  ASSERT_EQ(ensure_denominations(0, 3, 10, pile.refresh(), pile.breaker()), RC_OK);
  EXPECT_EQ(pile.broken, (std::vector<int>{2, 1}));
  EXPECT_EQ(pile.counts[0 + 8], 10u);
}

TEST(DenominationBreak, EnsureDenominationsFailures) {
  {
    Pile pile;
    pile.counts[5 + 8] = 1;
    EXPECT_EQ(ensure_denominations(0, 1, 2, pile.refresh(), pile.breaker()), RC_ERROR);  // budget
    EXPECT_EQ(pile.broken.size(), 2u);
  }
  {
    Pile pile;
    pile.counts[5 + 8] = 1;
    EXPECT_EQ(ensure_denominations(0, 1, 0, pile.refresh(), pile.breaker()), RC_ERROR);  // budget 0 acts as 1
    EXPECT_EQ(pile.broken.size(), 1u);
  }
  {
    Pile pile;
    pile.counts[-1 + 8] = 4;
    EXPECT_EQ(ensure_denominations(0, 1, 5, pile.refresh(), pile.breaker()), RC_ERROR);  // nothing larger
    EXPECT_TRUE(pile.broken.empty());
  }
  {
    Pile pile;
    pile.counts[1 + 8] = 1;
    pile.no_progress = true;
    EXPECT_EQ(ensure_denominations(0, 1, 5, pile.refresh(), pile.breaker()), RC_ERROR);
    EXPECT_EQ(pile.broken.size(), 1u);
  }
  {
    Pile pile;
    pile.counts[1 + 8] = 1;
    pile.fail_break = true;
    EXPECT_EQ(ensure_denominations(0, 1, 5, pile.refresh(), pile.breaker()), RC_ERROR);
  }
  Pile pile;
  EXPECT_EQ(ensure_denominations(0, 0, 5, pile.refresh(), pile.breaker()), RC_OK);
  EXPECT_EQ(ensure_denominations(0, -3, 5, pile.refresh(), pile.breaker()), RC_OK);
  EXPECT_EQ(ensure_denominations(12, 1, 5, pile.refresh(), pile.breaker()), RC_INVALID_PARAM);
  EXPECT_EQ(ensure_denominations(0, 1, 5, nullptr, pile.breaker()), RC_INVALID_PARAM);
  EXPECT_EQ(ensure_denominations(0, 1, 5, pile.refresh(), nullptr), RC_INVALID_PARAM);
}

}  // namespace
