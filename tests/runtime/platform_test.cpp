#include "runtime/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

TEST(Platform, RandomBytesChecksItsArguments) {
  std::vector<uint8_t> a(64, 0), b(64, 0);
  EXPECT_EQ(random_bytes(a.data(), a.size()), RC_OK);
  EXPECT_EQ(random_bytes(b.data(), b.size()), RC_OK);
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<uint8_t>(64, 0));
  EXPECT_EQ(random_bytes(nullptr, 4), RC_INVALID_PARAM);
  EXPECT_EQ(random_bytes(a.data(), 0), RC_INVALID_PARAM);
  platform_random_fill(a.data(), a.size());
  platform_random_fill(nullptr, 4);
}

TEST(Platform, ClocksAndLocalTime) {
  uint64_t w = now_ms();
  EXPECT_GT(w, 1700000000000ull);  // after 2023
  uint64_t t1 = ticks_ms();
  sleep_ms(5);
  EXPECT_GE(ticks_ms(), t1 + 5);
  struct tm tm {};
  EXPECT_TRUE(local_time(static_cast<time_t>(w / 1000), &tm));
  EXPECT_FALSE(local_time(0, nullptr));
}

TEST(Platform, TimedJoinLeavesAStuckWorkerAndJoinsAStoppedOne) {
  StopFlag stop;
  std::atomic<int> polls{0};
  TimedThread worker;
  EXPECT_EQ(worker.join_timeout(10), RC_INVALID_PARAM);
  ASSERT_EQ(worker.start([&] {
    while (!stop.wait_for(1000)) ++polls;
  }),
            RC_OK);
  EXPECT_EQ(worker.start([] {}), RC_INVALID_PARAM);
  EXPECT_EQ(worker.join_timeout(20), RC_TIMEOUT);
  EXPECT_FALSE(worker.finished());
  stop.request_stop();
  EXPECT_EQ(worker.join_timeout(5000), RC_OK);
  EXPECT_FALSE(worker.started());
  EXPECT_TRUE(stop.stop_requested());
  stop.reset();
  EXPECT_FALSE(stop.wait_for(1));
}

TEST(Platform, AbandonedWorkerIsDetachedSafely) {
  auto release = std::make_shared<StopFlag>();
  {
    TimedThread worker;
    ASSERT_EQ(worker.start([release] { release->wait_for(60000); }), RC_OK);
    EXPECT_EQ(worker.join_timeout(1), RC_TIMEOUT);
  }  // destroyed while the worker still runs: detached, not terminated
  release->request_stop();
}
