// The wallet lock: recursive per wallet, try-only callers get RC_BUSY, waiting callers block
// until release or stop, and sets taken in opposite orders never deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "coins/wallet_lock.h"

TEST(WalletLock, TryFromAnotherThreadIsBusyWhileHeldAndRecursiveOnTheSameThread) {
  WalletLockSet a;
  ASSERT_EQ(a.acquire({"/w/Alice"}, WALLET_LOCK_TRY), RC_OK);
  WalletLockSet again;
  EXPECT_EQ(again.acquire({"/w/Alice/"}, WALLET_LOCK_TRY), RC_OK);  // same thread, same wallet
  again.release();

  ResultCode other = RC_OK, unrelated = RC_ERROR;
  std::thread t([&] {
    WalletLockSet s;
    other = s.acquire({"/w/Bob", "\\w\\Alice"}, WALLET_LOCK_TRY);
    EXPECT_FALSE(s.held());  // nothing half-taken after a refusal
    WalletLockSet u;
    unrelated = u.acquire({"/w/Bob"}, WALLET_LOCK_TRY);
  });
  t.join();
  EXPECT_EQ(other, RC_BUSY);
  EXPECT_EQ(unrelated, RC_OK);

  a.release();
  std::thread t2([&] {
    WalletLockSet s;
    other = s.acquire({"/w/Alice"}, WALLET_LOCK_TRY);
  });
  t2.join();
  EXPECT_EQ(other, RC_OK);
}

TEST(WalletLock, WaitingWorkerGetsTheLockAfterReleaseOrStopsOnItsFlag) {
  WalletLockSet held;
  ASSERT_EQ(held.acquire({"/w/Carol"}, WALLET_LOCK_WAIT), RC_OK);
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    WalletLockSet s;
    if (s.acquire({"/w/Carol"}, WALLET_LOCK_WAIT) == RC_OK) got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  held.release();
  waiter.join();
  EXPECT_TRUE(got.load());

  ASSERT_EQ(held.acquire({"/w/Carol"}, WALLET_LOCK_WAIT), RC_OK);
  std::atomic<bool> stop{false};
  ResultCode rc = RC_OK;
  std::thread stopped([&] {
    WalletLockSet s;
    rc = s.acquire({"/w/Carol"}, WALLET_LOCK_WAIT, &stop);
  });
  stop = true;
  stopped.join();
  EXPECT_EQ(rc, RC_CANCELLED);
}

TEST(WalletLock, SetsTakenInOppositeOrdersDoNotDeadlock) {
  std::atomic<int> done{0};
  auto worker = [&](std::vector<std::string> order) {
    for (int i = 0; i < 2000; ++i) {
      WalletLockSet s;
      ASSERT_EQ(s.acquire(order, WALLET_LOCK_WAIT), RC_OK);
    }
    ++done;
  };
  std::thread x(worker, std::vector<std::string>{"/w/X", "/w/Y"});
  std::thread y(worker, std::vector<std::string>{"/w/Y", "/w/X"});
  x.join();
  y.join();
  EXPECT_EQ(done.load(), 2);
}
