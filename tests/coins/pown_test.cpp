#include "coins/pown.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Pown, LettersMeaningsAndGroups) {
  const char letters[] = ".nst???aNSA?TXEF";
  for (int code = 0; code < 16; ++code) {
    EXPECT_EQ(pown_letter(static_cast<uint8_t>(code)), letters[code]) << code;
    PownGroup g = code <= 6 ? POWN_GROUP_UNKNOWN : code <= 11 ? POWN_GROUP_AUTHENTIC : POWN_GROUP_FAILED;
    EXPECT_EQ(pown_group(static_cast<uint8_t>(code)), g) << code;
  }
  EXPECT_EQ(pown_letter(16), '?');
  EXPECT_EQ(pown_group(200), POWN_GROUP_UNKNOWN);
  EXPECT_STREQ(pown_meaning(0), "Unknown/Untried");
  EXPECT_STREQ(pown_meaning(5), "Reserved");
  EXPECT_STREQ(pown_meaning(10), "Authentic/Success");
  EXPECT_STREQ(pown_meaning(11), "Reserved");
  EXPECT_STREQ(pown_meaning(13), "Failed/NetError");
  EXPECT_STREQ(pown_meaning(15), "Failed/Success");
}

TEST(Pown, UpdateKeepsTheVerdictUnlessTheServerAnswered) {
  struct Case {
    uint8_t old_code;
    bool passed;
    int outcome;
    uint8_t expect;
  } cases[] = {
      {10, false, OUTCOME_NET_ERROR, 8},  {0, true, OUTCOME_ANSWERED, 10},   {15, false, OUTCOME_TIMEOUT, 12},
      {10, false, OUTCOME_ANSWERED, 15},  {15, true, OUTCOME_ANSWERED, 10},  {12, false, OUTCOME_NET_ERROR, 13},
      {13, false, OUTCOME_SERVER_ERROR, 14}, {14, false, OUTCOME_UNTRIED, 14}, {7, false, OUTCOME_TIMEOUT, 8},
      {9, false, OUTCOME_SERVER_ERROR, 9}, {11, true, 99, 9},                {0, true, OUTCOME_NET_ERROR, 1},
      {3, false, OUTCOME_TIMEOUT, 3},     {6, false, OUTCOME_SERVER_ERROR, 2}, {1, false, OUTCOME_UNTRIED, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pown_update(c.old_code, c.passed, c.outcome), c.expect)
        << int(c.old_code) << " " << c.passed << " " << c.outcome;
  }
}

TEST(Pown, ComposeTable) {
  const uint8_t table[3][6] = {
      {7, 8, 9, 8, 10, 7},
      {12, 13, 14, 12, 15, 12},
      {0, 1, 2, 3, 0, 0},
  };
  const int verdicts[3] = {VERDICT_AUTHENTIC, VERDICT_FAILED, VERDICT_UNKNOWN};
  const int outcomes[6] = {0, 1, 2, 3, 4, 7};
  for (int v = 0; v < 3; ++v) {
    for (int o = 0; o < 6; ++o) EXPECT_EQ(pown_compose(verdicts[v], outcomes[o]), table[v][o]) << v << " " << o;
  }
  EXPECT_EQ(pown_compose(5, 4), 0);
  EXPECT_EQ(pown_compose(1, -1), 7);
}

TEST(Pown, StringsAndCounts) {
  uint8_t codes[kServerCount];
  for (int i = 0; i < kServerCount; ++i) codes[i] = POWN_AUTH_SUCCESS;
  codes[0] = POWN_FAIL_SUCCESS;
  codes[7] = POWN_UNTRIED;
  codes[24] = POWN_TIMEOUT;
  EXPECT_EQ(pown_string(codes, false), "FAAAAAA.AAAAAAAAAAAAAAAAt");
  EXPECT_EQ(pown_string(codes, true), "FAAAA AA.AA AAAAA AAAAA AAAAt");
  PownCounts c = pown_counts(codes);
  EXPECT_EQ(c.authentic, 22);
  EXPECT_EQ(c.failed, 1);
  EXPECT_EQ(c.unknown, 2);
}

TEST(Pown, PackingMatchesTheNibbleLayout) {
  uint8_t codes[kServerCount];
  for (int i = 0; i < kServerCount; ++i) codes[i] = static_cast<uint8_t>(i % 16);
  // Written out by hand: two codes per byte, high nibble first, code 24 with the marker 9.
  const uint8_t expect[13] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89};
  uint8_t packed[13];
  pown_pack(codes, packed);
  EXPECT_EQ(std::memcmp(packed, expect, 13), 0);
  uint8_t back[kServerCount];
  pown_unpack(packed, back);
  EXPECT_EQ(std::memcmp(back, codes, kServerCount), 0);
  // The marker nibble is ignored on unpacking.
  packed[12] = 0x80;
  pown_unpack(packed, back);
  EXPECT_EQ(back[24], 8);
}

TEST(Pown, GradeVerdictNames) {
  EXPECT_STREQ(grade_verdict_name(1), "Bank");
  EXPECT_STREQ(grade_verdict_name(2), "Fracked");
  EXPECT_STREQ(grade_verdict_name(3), "Limbo");
  EXPECT_STREQ(grade_verdict_name(4), "Counterfeit");
  EXPECT_STREQ(grade_verdict_name(0), "Unknown");
  EXPECT_STREQ(grade_verdict_name(5), "Unknown");
}

}  // namespace
