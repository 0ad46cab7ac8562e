#include <gtest/gtest.h>

#include "base/result_code.h"

TEST(ResultCodes, NamesAndGaps) {
  struct Case {
    uint32_t code;
    const char* name;
  } cases[] = {{0, "Success"},          {2, "Timeout"},
               {16, "Resource busy"},   {18, "Unknown error"},
               {26, "Unknown error"},   {99, "Unknown error"},
               {101, "Exact amount unavailable; add auto_change=true"}};
  for (const auto& c : cases) EXPECT_STREQ(short_name(c.code), c.name) << c.code;
  EXPECT_STREQ(explanation(18), "An unrecognized error occurred. The log file records the specific failure.");
  EXPECT_NE(std::string(explanation(3)).find("NOT judged counterfeit"), std::string::npos);
}
