#include "runtime/platform.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "runtime/crash_report.h"

uint64_t now_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

uint64_t ticks_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool local_time(time_t t, struct tm* out) {
  if (!out) return false;
  return localtime_r(&t, out) != nullptr;
}

void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {
// getrandom may return fewer bytes than asked for large requests or after a signal.
bool fill_from_kernel(uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}
}  // namespace

void platform_random_fill(void* buf, size_t n) {
  if (!buf || n == 0) return;
  if (!fill_from_kernel(static_cast<uint8_t*>(buf), n)) std::memset(buf, 0, n);
}

ResultCode random_bytes(void* buf, size_t n) {
  if (!buf || n == 0 || n > std::numeric_limits<uint32_t>::max()) return RC_INVALID_PARAM;
  if (!fill_from_kernel(static_cast<uint8_t*>(buf), n)) {
    std::memset(buf, 0, n);
    return RC_ENCRYPTION;
  }
  return RC_OK;
}

void StopFlag::request_stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

void StopFlag::reset() {
  std::lock_guard<std::mutex> g(mu_);
  stop_ = false;
}

bool StopFlag::stop_requested() const {
  std::lock_guard<std::mutex> g(mu_);
  return stop_;
}

bool StopFlag::wait_for(uint32_t ms) const {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop_; });
}

TimedThread::~TimedThread() {
  if (!thread_.joinable()) return;
  if (finished()) {
    thread_.join();
  } else {
    // The worker holds its own reference to the done record, so detaching is safe.
    thread_.detach();
  }
}

ResultCode TimedThread::start(std::function<void()> fn) {
  if (!fn || thread_.joinable()) return RC_INVALID_PARAM;
  auto done = std::make_shared<Done>();
  try {
    thread_ = std::thread([done, fn = std::move(fn)]() {
      // Its own signal stack, so a stack overflow in this worker still reaches the crash report.
      (void)crash_report_thread_attach();
      fn();
      {
        std::lock_guard<std::mutex> g(done->mu);
        done->finished = true;
      }
      done->cv.notify_all();
    });
  } catch (...) {
    return RC_ERROR;
  }
  done_ = std::move(done);
  return RC_OK;
}

bool TimedThread::finished() const {
  if (!done_) return false;
  std::lock_guard<std::mutex> g(done_->mu);
  return done_->finished;
}

ResultCode TimedThread::join() {
  if (!thread_.joinable()) return RC_INVALID_PARAM;
  thread_.join();
  return RC_OK;
}

ResultCode TimedThread::join_timeout(uint32_t ms) {
  if (!thread_.joinable()) return RC_INVALID_PARAM;
  {
    std::unique_lock<std::mutex> lk(done_->mu);
    if (!done_->cv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return done_->finished; })) return RC_TIMEOUT;
  }
  thread_.join();
  return RC_OK;
}
