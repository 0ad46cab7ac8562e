#include "net/status_codes.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(StatusCodes, TableHas127SortedDistinctEntries) {
  EXPECT_EQ(status_table_size(), 127u);
  int named = 0;
  for (int s = 0; s < 256; ++s) named += std::string(status_text(static_cast<KovraStatus>(s))) != "Unknown status code";
  EXPECT_EQ(named, 127);
}

TEST(StatusCodes, TextsForKnownAndUnknownValues) {
  struct Case {
    int status;
    const char* text;
  } cases[] = {
      {0, "No error"},          {9, "Unknown status code"},  {251, "Unknown status code"},
      {34, "Encryption validation failed"}, {241, "All pass"}, {242, "All fail"},
      {243, "Mixed results"},   {250, "Success"},            {255, "Invalid routing"},
      {237, "Sender coin class below recipient's minimum"},   {179, "Locker empty or doesn't exist"},
  };
  for (const Case& c : cases) EXPECT_STREQ(status_text(static_cast<KovraStatus>(c.status)), c.text) << c.status;
}

TEST(StatusCodes, OnlyThreeValuesCountAsSuccess) {
  std::set<int> ok;
  for (int s = 0; s < 256; ++s)
    if (status_is_success(static_cast<KovraStatus>(s))) ok.insert(s);
  EXPECT_EQ(ok, (std::set<int>{0, 241, 250}));
}

}  // namespace
