#include <gtest/gtest.h>

#include "runtime/log.h"

TEST(LogNormalize, WordsAndUnits) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"kovra 3 took 120ms", "KOVRA 3 took 120 ms"},
               {"Kovra", "KOVRA"},
               {"KOVRA_ID stays", "KOVRA_ID stays"},
               {"5sec stays", "5sec stays"},
               {"wait 3s", "wait 3 s"},
               {"mykovra", "mykovra"},
               {"10ms.", "10 ms."}};
  for (const auto& c : cases) EXPECT_EQ(log_normalize(c.in), c.out) << c.in;
}
