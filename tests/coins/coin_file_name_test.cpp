#include "coins/coin_file_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CoinFileName, BuildsTheFourForms) {
  struct Case {
    uint64_t units;
    size_t count;
    uint32_t serial;
    const char* tag;
    const char* name;
  } cases[] = {
      {100000000, 1, 12345, "", "1 Zorbit #12345.bin"},
      {100000000000ULL, 1, 12345, "Gift", "1,000 Zorbit #12345 'Gift'.bin"},
      {12345, 3, 99, "", "0.0001-2345 Zorbit.bin"},
      {250000000, 2, 0, "Pay day", "2.5 Zorbit 'Pay day'.bin"},
      {UINT64_MAX, 2, 0, "", "184,467,440,737.0955-1615 Zorbit.bin"},  // an overflowed total
  };
  for (const auto& c : cases) {
    std::string name;
    ASSERT_EQ(coin_file_name(c.units, c.count, c.serial, c.tag, &name), RC_OK) << c.name;
    EXPECT_EQ(name, c.name);
  }
}

TEST(CoinFileName, RefusesUnsafeTagsAndOverlongNames) {
  std::string name = "untouched";
  for (const char* tag : {"../evil", "a/b", "a\\b", "it's", "say \"hi\"", "tab\there"}) {
    EXPECT_EQ(coin_file_name(100000000, 1, 1, tag, &name), RC_INVALID_PARAM) << tag;
  }
  EXPECT_EQ(coin_file_name(100000000, 1, 1, std::string_view("a\0b", 3), &name), RC_INVALID_PARAM);
  EXPECT_EQ(name, "untouched");
  // "1 Zorbit #1 '" is 13 bytes and "'.bin" 5, so a 237-byte tag makes exactly 255.
  EXPECT_EQ(coin_file_name(100000000, 1, 1, std::string(237, 'x'), &name), RC_OK);
  EXPECT_EQ(name.size(), 255u);
  EXPECT_EQ(coin_file_name(100000000, 1, 1, std::string(238, 'x'), &name), RC_ERROR);
  EXPECT_EQ(coin_file_name(1, 1, 1, "", nullptr), RC_INVALID_PARAM);
}

TEST(CoinFileName, ParsesCurrentAndLegacyNames) {
  struct Case {
    const char* name;
    ResultCode rc;
    uint64_t units;
    int denomination;
    uint32_t serial;
    const char* tag;
    bool legacy;
  } cases[] = {
      {"1,000 Zorbit #12345 'Gift'.bin", RC_OK, 100000000000ULL, 3, 12345, "Gift", false},
      {"0.0001-2345 Zorbit.bin", RC_OK, 12345, -8, 0, "", false},
      {"/w/Bank/1 Zorbit #7.bin", RC_OK, 100000000, 0, 7, "", false},
      {"C:\\w\\Bank\\3 Zorbit #8.bin", RC_OK, 300000000, 0, 8, "", false},
      {"2.5 Zorbit \"dq\".bin", RC_OK, 250000000, -1, 0, "dq", false},
      {"1 Zorbit #5 'open.bin", RC_OK, 100000000, 0, 5, "", false},
      {"1 Zorbit #12345 1a2b3c4d.bin", RC_OK, 100000000, 0, 12345, "", false},
      {"184,467,440,737.0955-1615 Zorbit.bin", RC_OK, UINT64_MAX, -8, 0, "", false},
      {"0.01.Zorbit.777.old.bin", RC_OK, 1000000, -2, 777, "old", true},
      {"1.Zorbit.42.bin", RC_OK, 100000000, 0, 42, "", true},
      {"250.9.3.a.b.bin", RC_OK, 25090000000ULL, 2, 3, "a.b", true},
      {"0.0099999.3.bin", RC_OK, 999990, -2, 3, "", true},  // within 0.99999 of 0.01
      {"0.0099998.3.bin", RC_OK, 999980, -3, 3, "", true},
      {"My 1 Zorbit.bin", RC_ERROR, 0, 0, 0, "", false},
      {"x Zorbit #1.bin", RC_ERROR, 0, 0, 0, "", false},
      {"184,467,440,738 Zorbit.bin", RC_ERROR, 0, 0, 0, "", false},
      {"1 Zorbit #4294967296.bin", RC_ERROR, 0, 0, 0, "", false},
      {"0.123456789 Zorbit.bin", RC_ERROR, 0, 0, 0, "", false},
      {"readme.txt", RC_ERROR, 0, 0, 0, "", false},
      {"1.Zorbit.bin", RC_ERROR, 0, 0, 0, "", false},
      {"1.2.bin.txt", RC_ERROR, 0, 0, 0, "", false},
      {"/w/Bank/", RC_ERROR, 0, 0, 0, "", false},
      {"", RC_INVALID_PARAM, 0, 0, 0, "", false},
  };
  for (const auto& c : cases) {
    CoinFileNameInfo info;
    ASSERT_EQ(parse_coin_file_name(c.name, &info), c.rc) << c.name;
    if (c.rc != RC_OK) continue;
    EXPECT_EQ(info.total_units, c.units) << c.name;
    EXPECT_EQ(info.denomination, c.denomination) << c.name;
    EXPECT_EQ(info.serial_number, c.serial) << c.name;
    EXPECT_EQ(info.tag, c.tag) << c.name;
    EXPECT_EQ(info.legacy, c.legacy) << c.name;
  }
  EXPECT_EQ(parse_coin_file_name(std::string(64, '1') + " Zorbit.bin", nullptr), RC_INVALID_PARAM);
  CoinFileNameInfo info;
  EXPECT_EQ(parse_coin_file_name(std::string(64, '1') + " Zorbit.bin", &info), RC_ERROR);
}

TEST(CoinFileName, BuiltNamesParseBack) {
  const uint64_t amounts[] = {1, 12345, 50000000, 100000000, 123456789000000000ULL, UINT64_MAX};
  for (uint64_t units : amounts) {
    std::string name;
    ASSERT_EQ(coin_file_name(units, 1, 4000000000u, "tag x", &name), RC_OK);
    CoinFileNameInfo info;
    ASSERT_EQ(parse_coin_file_name(name, &info), RC_OK) << name;
    EXPECT_EQ(info.total_units, units) << name;
    EXPECT_EQ(info.serial_number, 4000000000u);
    EXPECT_EQ(info.tag, "tag x");
  }
}

TEST(CoinFileName, SerialFromName) {
  struct Case {
    const char* name;
    ResultCode rc;
    uint32_t serial;
  } cases[] = {
      {"1 Zorbit #12345.bin", RC_OK, 12345},
      {"x #0 and #77", RC_OK, 77},
      {"5.Zorbit.12345.bin", RC_OK, 12345},
      {"0.25.4321", RC_OK, 4321},
      {"0.25.4321x", RC_ERROR, 0},
      {"0.01.Zorbit.777.old.bin", RC_OK, 777},
      {"0.01.888.bin", RC_OK, 888},
      {"1.0.bin", RC_ERROR, 0},
      {"1 Zorbit.bin", RC_ERROR, 0},
      {"#", RC_ERROR, 0},
      {"", RC_ERROR, 0},
  };
  for (const auto& c : cases) {
    uint32_t serial = 0;
    EXPECT_EQ(serial_from_file_name(c.name, &serial), c.rc) << c.name;
    if (c.rc == RC_OK) {
      EXPECT_EQ(serial, c.serial) << c.name;
    }
  }
  EXPECT_EQ(serial_from_file_name("1 Zorbit #5.bin", nullptr), RC_INVALID_PARAM);
}

TEST(CoinFileName, TagTestComparesExactly) {
  EXPECT_TRUE(coin_file_name_has_tag("1 Zorbit #1 'Gift'.bin", "Gift"));
  EXPECT_FALSE(coin_file_name_has_tag("1 Zorbit #1 'Gift'.bin", "gift"));
  EXPECT_FALSE(coin_file_name_has_tag("1 Zorbit #1 'Gift'.bin", "Gif"));
  EXPECT_TRUE(coin_file_name_has_tag("1 Zorbit #1.bin", ""));
  EXPECT_FALSE(coin_file_name_has_tag("readme.txt", ""));
}

}  // namespace
