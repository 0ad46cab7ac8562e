// Small platform services every layer uses: clocks, sleeps, the system random generator, stop
// flags for worker threads and threads that can be joined with a time limit. All functions may
// be called from any thread; StopFlag and TimedThread guard their own state with their own lock.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/result_code.h"

// Wall-clock milliseconds since 1970-01-01 UTC.
uint64_t now_ms();
// Monotonic milliseconds (steady clock); only differences are meaningful.
uint64_t ticks_ms();
// Broken-down local time of `t`; false when `out` is null or the conversion fails.
bool local_time(time_t t, struct tm* out);
// Sleeps at least `ms` milliseconds (restarted after signals).
void sleep_ms(uint32_t ms);

// Fills `buf` with `n` bytes from the kernel's random generator; errors are ignored (the buffer
// may then hold zeros). Prefer random_bytes where a failure matters.
void platform_random_fill(void* buf, size_t n);
// Same with a result: RC_INVALID_PARAM for no buffer or n outside 1..4294967295,
// RC_ENCRYPTION when the generator fails (the buffer is then zeroed), else RC_OK.
ResultCode random_bytes(void* buf, size_t n);

// A stop flag that worker threads poll through timed waits, so a stop request wakes them at once
// instead of after a long sleep.
class StopFlag {
 public:
  // Raises the flag and wakes every waiter.
  void request_stop();
  // Clears the flag (before a worker is started again).
  void reset();
  bool stop_requested() const;
  // Waits up to `ms`; true when the flag is (or becomes) raised.
  bool wait_for(uint32_t ms) const;

 private:
  // Guards stop_; stands alone in the lock order.
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stop_ = false;
};

// A std::thread that can be joined with a time limit. A thread that does not end within the
// limit is left running and detached when the object dies, so the process exit ends it. The
// thread gets its own alternate signal stack (crash_report_thread_attach) before `fn` runs.
class TimedThread {
 public:
  TimedThread() = default;
  ~TimedThread();
  TimedThread(const TimedThread&) = delete;
  TimedThread& operator=(const TimedThread&) = delete;

  // Starts `fn` on a new thread. RC_INVALID_PARAM for no function or a thread already started,
  // RC_ERROR when the thread cannot be created.
  ResultCode start(std::function<void()> fn);
  // True between a successful start and a successful join.
  bool started() const { return thread_.joinable(); }
  // True once the function has returned.
  bool finished() const;
  // Waits without limit. RC_OK, RC_INVALID_PARAM for a thread never started.
  ResultCode join();
  // Waits up to `ms`. RC_OK (joined), RC_TIMEOUT (still running; may be joined again later),
  // RC_INVALID_PARAM for a thread never started.
  ResultCode join_timeout(uint32_t ms);

 private:
  struct Done {
    // Guards finished; stands alone in the lock order.
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
  };
  std::shared_ptr<Done> done_;
  std::thread thread_;
};
