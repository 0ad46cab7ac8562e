#include <gtest/gtest.h>

#include "runtime/log.h"
#include "support/test_support.h"

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

// A request path or parameter holding a line feed must not start a line of its own in the log.
TEST(LogLine, ControlBytesInAMessageCannotForgeALine) {
  testsupport::TempDir dir;
  const std::string path = dir.sub("main.log");
  ASSERT_TRUE(log_open(path));
  log_info(CAT_HTTP, "HttpRequest: GET %s", "/x\n[ERROR/GEN  ] forged\r\x01\tend");
  log_close();
  EXPECT_EQ(testsupport::read_file(path),
            "[INFO/HTTP ] HttpRequest: GET /x\\x0a[ERROR/GEN  ] forged\\x0d\\x01\tend\n");
}
