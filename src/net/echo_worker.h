// The echoes the service runs by itself: the boot echo of start-up and the mail-health refresh
// worker that repeats it every `echo_interval_seconds`. Both feed the mail-health tracker through
// hooks, which the mail subsystem installs; until it does they do nothing. Both use TCP: every
// command the service sends after them goes over TCP, so that is the path whose health matters
// (and the one the start-up log line names). Start-up and shutdown call these on the main thread;
// the hooks are kept under their own lock, which stands alone in the lock order.
#pragma once
#include <cstdint>
#include <functional>

#include "base/result_code.h"
#include "net/echo_commands.h"

// The API transport number both echoes use (0: TCP, see above).
constexpr int kServiceEchoTransport = 0;

// Mail-health tracker hooks: `init` before the boot echo, `record` with each finished echo (the
// boot echo, the refresh worker and the echo endpoint). Either may be empty.
struct EchoHealthHooks {
  std::function<void()> init;
  std::function<void(const EchoResult&)> record;
};
void echo_set_health_hooks(EchoHealthHooks hooks);
void echo_health_init();
void echo_health_record(const EchoResult& result);

// Start-up step 24: prints and logs the echo of all 25 servers with its task id and counts, saves
// the statistics and feeds the tracker. Never fails start-up; returns the echo's result code.
ResultCode boot_echo();

// Starts the refresh worker when `interval_s` is not 0: every `interval_s` seconds (counted in one
// second waits on its stop flag) an echo of all 25 servers feeds the tracker. RC_OK (also when
// disabled), RC_BUSY when already running, RC_ERROR when the thread cannot be created (logged).
ResultCode echo_refresh_start(uint32_t interval_s);
// Raises the stop flag and waits up to `wait_ms`; logs a warning when the worker is still running.
// RC_OK, RC_TIMEOUT when it did not stop in time.
ResultCode echo_refresh_stop(uint32_t wait_ms = 2000);
bool echo_refresh_running();
// Number of echoes the worker has finished since it started (tests).
uint64_t echo_refresh_runs();
