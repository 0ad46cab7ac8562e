#include "net/echo_worker.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "net/crypto.h"
#include "net/executor.h"
#include "runtime/crash_report.h"
#include "runtime/log.h"
#include "runtime/platform.h"
#include "runtime/timing_policy.h"

namespace {

// Guards g_hooks. Stands alone in the lock order; hooks are called outside it.
std::mutex g_hooks_mu;
EchoHealthHooks g_hooks;

// The refresh worker. Started and stopped by start-up and shutdown on the main thread only.
std::unique_ptr<TimedThread> g_worker;
StopFlag g_stop;
std::atomic<uint32_t> g_current_call{0};  // the echo in progress, for a fast stop
std::atomic<uint64_t> g_runs{0};

void refresh_loop(uint32_t interval_s) {
  crash_report_thread_attach();
  log_info(CAT_NET, "Pelko health refresh: started (interval=%ds)", (int)interval_s);
  for (;;) {
    for (uint32_t s = 0; s < interval_s; ++s)
      if (g_stop.wait_for(1000)) return;
    uint32_t call_id = 0;
    while (call_id == 0)
      if (random_fill(&call_id, sizeof call_id) != RC_OK) call_id = static_cast<uint32_t>(ticks_ms()) | 1u;
    g_current_call.store(call_id);
    // A stop raised between the wait and the store above must still end this echo early.
    if (g_stop.stop_requested()) {
      g_current_call.store(0);
      return;
    }
    EchoResult r;
    ResultCode rc = cmd_echo(kServiceEchoTransport, false, true, 0, &r, call_id);
    g_current_call.store(0);
    if (g_stop.stop_requested()) return;
    if (rc != RC_OK)
      log_warn(CAT_NET, "Pelko health refresh: cmd_echo failed (%s); retry next interval", short_name(rc));
    else
      echo_health_record(r);
    g_runs.fetch_add(1);
  }
}

}  // namespace

void echo_set_health_hooks(EchoHealthHooks hooks) {
  std::lock_guard<std::mutex> lock(g_hooks_mu);
  g_hooks = std::move(hooks);
}

void echo_health_init() {
  std::function<void()> init;
  {
    std::lock_guard<std::mutex> lock(g_hooks_mu);
    init = g_hooks.init;
  }
  if (init) init();
}

void echo_health_record(const EchoResult& result) {
  std::function<void(const EchoResult&)> record;
  {
    std::lock_guard<std::mutex> lock(g_hooks_mu);
    record = g_hooks.record;
  }
  if (record) record(result);
}

ResultCode boot_echo() {
  std::printf("Starting echo...\n");
  std::fflush(stdout);
  log_info(CAT_NET, "Starting echo (TCP, no encryption, parallel, %ums)", attempt_timeout(ATTEMPT_ECHO));
  echo_health_init();
  auto r = std::make_unique<EchoResult>();
  ResultCode rc = cmd_echo(kServiceEchoTransport, false, true, 0, r.get());
  if (rc == RC_OK)
    echo_health_record(*r);  // the statistics were saved by the echo itself
  else
    log_warn(CAT_NET, "Boot echo failed: %s", short_name(rc));
  std::printf("Task ID: %s\n", r->request_id.c_str());
  log_info(CAT_NET, "Echo task ID: %s", r->request_id.c_str());
  std::printf("Echo complete.\n");
  std::fflush(stdout);
  log_info(CAT_NET, "Echo complete: %d pass, %d fail, %d timeout (%ums)", r->available, r->error, r->timeout,
           r->total_ms);
  return rc;
}

ResultCode echo_refresh_start(uint32_t interval_s) {
  if (interval_s == 0) return RC_OK;
  if (g_worker && g_worker->started()) return RC_BUSY;
  g_stop.reset();
  g_runs.store(0);
  g_worker = std::make_unique<TimedThread>();
  if (g_worker->start([interval_s] { refresh_loop(interval_s); }) != RC_OK) {
    log_error(CAT_NET, "Pelko health refresh: _beginthreadex failed \xE2\x80\x94 periodic refresh disabled");
    g_worker.reset();
    return RC_ERROR;
  }
  return RC_OK;
}

ResultCode echo_refresh_stop(uint32_t wait_ms) {
  if (!g_worker || !g_worker->started()) return RC_OK;
  g_stop.request_stop();
  // An echo in progress is cancelled rather than waited for: its sockets close at once.
  if (uint32_t call = g_current_call.load()) executor_cancel(call);
  ResultCode rc = g_worker->join_timeout(wait_ms);
  if (rc == RC_TIMEOUT) {
    log_warn(CAT_NET,
             "Pelko health refresh worker did not stop within 2s (wait=%lu); it may still be running until process "
             "exit",
             (unsigned long)rc);
    // Left to the process exit: the TimedThread detaches it when released.
    g_worker.reset();
    return RC_TIMEOUT;
  }
  g_worker.reset();
  return RC_OK;
}

bool echo_refresh_running() { return g_worker && g_worker->started() && !g_worker->finished(); }

uint64_t echo_refresh_runs() { return g_runs.load(); }
