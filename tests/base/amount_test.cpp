#include "base/amount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct ParseCase {
  const char* text;
  ResultCode rc;
  int64_t units;
};

TEST(Amount, ParseAmountTableIsExact) {
  const ParseCase cases[] = {
      {"0", RC_OK, 0},
      {"1", RC_OK, 100000000},
      {"0.00000001", RC_OK, 1},
      {"0.1", RC_OK, 10000000},
      {"0.3", RC_OK, 30000000},  // a binary double would give 29999999.99...
      {"1.23456789", RC_OK, 123456789},
      {"5.", RC_OK, 500000000},
      {".5", RC_OK, 50000000},
      {"-0.5", RC_OK, -50000000},
      {"-.5", RC_OK, -50000000},
      {"-0", RC_OK, 0},
      {"007", RC_OK, 700000000},
      {"92233720368.54775807", RC_OK, INT64_MAX},
      {"-92233720368.54775807", RC_OK, -INT64_MAX},
      {"92233720368.54775808", RC_INVALID_PARAM, 0},
      {"92233720369", RC_INVALID_PARAM, 0},
      {"99999999999999999999999", RC_INVALID_PARAM, 0},
      {"0.000000001", RC_INVALID_PARAM, 0},  // nine fraction digits
      {"1.000000000", RC_INVALID_PARAM, 0},
      {".", RC_INVALID_PARAM, 0},
      {"", RC_INVALID_PARAM, 0},
      {"-", RC_INVALID_PARAM, 0},
      {"-.", RC_INVALID_PARAM, 0},
      {"+1", RC_INVALID_PARAM, 0},
      {" 1", RC_INVALID_PARAM, 0},
      {"1 ", RC_INVALID_PARAM, 0},
      {"1e5", RC_INVALID_PARAM, 0},
      {"1.2.3", RC_INVALID_PARAM, 0},
      {"1,000", RC_INVALID_PARAM, 0},
      {"--1", RC_INVALID_PARAM, 0},
      {"0x10", RC_INVALID_PARAM, 0},
  };
  for (const auto& c : cases) {
    int64_t units = 777;
    EXPECT_EQ(parse_amount(c.text, &units), c.rc) << c.text;
    EXPECT_EQ(units, c.rc == RC_OK ? c.units : 777) << c.text;
  }
  EXPECT_EQ(parse_amount("1", nullptr), RC_INVALID_PARAM);
}

TEST(Amount, ParseAmountStopsAtEmbeddedNul) {
  int64_t units = 0;
  EXPECT_EQ(parse_amount(std::string_view("1\0" "5", 3), &units), RC_INVALID_PARAM);
}

TEST(Amount, ParseUnitsReachesTheUnsignedMaximum) {
  struct Case {
    const char* text;
    ResultCode rc;
    uint64_t units;
  } cases[] = {
      {"92233720368.54775808", RC_OK, 9223372036854775808ULL},  // 2^63
      {"100000000000", RC_OK, 10000000000000000000ULL},         // one coin of the largest code
      {"184467440737.09551615", RC_OK, UINT64_MAX},
      {"184467440737.09551616", RC_INVALID_PARAM, 0},
      {"184467440738", RC_INVALID_PARAM, 0},
      {"-1", RC_INVALID_PARAM, 0},
      {"0.00000001", RC_OK, 1},
      {"", RC_INVALID_PARAM, 0},
  };
  for (const auto& c : cases) {
    uint64_t units = 777;
    EXPECT_EQ(parse_units(c.text, &units), c.rc) << c.text;
    EXPECT_EQ(units, c.rc == RC_OK ? c.units : 777u) << c.text;
  }
}

TEST(Amount, FeeAmountsKeepTheirGranularityAndCeiling) {
  struct Case {
    const char* text;
    ResultCode rc;
    uint64_t units;
  } cases[] = {
      {"0", RC_OK, 0},
      {"0.0001", RC_OK, 10000},
      {"1.5", RC_OK, 150000000},
      {"1000000", RC_OK, kFeeMaxUnits},
      {"1000000.0001", RC_INVALID_PARAM, 0},
      {"0.00005", RC_INVALID_PARAM, 0},
      {"0.00010001", RC_INVALID_PARAM, 0},
      {"-0.0001", RC_INVALID_PARAM, 0},
      {"abc", RC_INVALID_PARAM, 0},
  };
  for (const auto& c : cases) {
    uint64_t units = 777;
    EXPECT_EQ(parse_fee_amount(c.text, &units), c.rc) << c.text;
    EXPECT_EQ(units, c.rc == RC_OK ? c.units : 777u) << c.text;
  }
}

TEST(Amount, FormatUnitsTable) {
  struct Case {
    uint64_t units;
    const char* text;
  } cases[] = {
      {0, "0"},
      {1, "0.00000001"},
      {10, "0.0000001"},
      {50000000, "0.5"},
      {100000000, "1"},
      {150000000, "1.5"},
      {123456789, "1.23456789"},
      {9223372036854775807ULL, "92233720368.54775807"},
      {9223372036854775808ULL, "92233720368.54775808"},  // 2^63: still Zorbit, not a unit count
      {10000000000000000000ULL, "100000000000"},
      {UINT64_MAX, "184467440737.09551615"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_units(c.units), c.text) << c.units;
    uint64_t back = 0;
    ASSERT_EQ(parse_units(format_units(c.units), &back), RC_OK) << c.units;
    EXPECT_EQ(back, c.units);
  }
}

TEST(Amount, FormatSignedAmounts) {
  EXPECT_EQ(format_amount(-50000000), "-0.5");
  EXPECT_EQ(format_amount(0), "0");
  EXPECT_EQ(format_amount(INT64_MAX), "92233720368.54775807");
  EXPECT_EQ(format_amount(INT64_MIN), "-92233720368.54775808");
  for (int64_t v : {int64_t{-1}, int64_t{-123456789012}, INT64_MAX, -INT64_MAX, int64_t{42}}) {
    int64_t back = 0;
    ASSERT_EQ(parse_amount(format_amount(v), &back), RC_OK) << v;
    EXPECT_EQ(back, v);
  }
}

TEST(Amount, FileNameFormGroupsWholeAndFractionDigits) {
  struct Case {
    uint64_t units;
    const char* text;
  } cases[] = {
      {0, "0"},
      {1, "0.0000-0001"},
      {12345, "0.0001-2345"},
      {10000, "0.0001"},
      {50000000, "0.5"},
      {12340000, "0.1234"},
      {12345000, "0.1234-5"},
      {100000000, "1"},
      {99900000000ULL, "999"},
      {100000000000ULL, "1,000"},
      {100000000000ULL + 1, "1,000.0000-0001"},
      {123456700000000ULL, "1,234,567"},
      {123456789000000000ULL, "1,234,567,890"},
      {10000000000000000000ULL, "100,000,000,000"},
      {UINT64_MAX, "184,467,440,737.0955-1615"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_units_for_filename(c.units), c.text) << c.units;
}

}  // namespace
