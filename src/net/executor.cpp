#include "net/executor.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/crypto.h"
#include "runtime/log.h"
#include "runtime/log_reports.h"
#include "runtime/platform.h"
#include "runtime/send_log.h"
#include "runtime/telemetry.h"
#include "runtime/timing_policy.h"

namespace {

constexpr int kServers = kovra::kServerCount;
constexpr size_t kMaxErrorText = 255;

// Telemetry failure causes.
enum FailCause : uint8_t {
  CAUSE_NONE = 0,
  CAUSE_TIMEOUT = 1,
  CAUSE_NETWORK = 2,
  CAUSE_PARSE = 3,
  CAUSE_LIMIT = 4,
  CAUSE_BUILD = 5,
  CAUSE_CANCELLED = 6,
};

void set_text(ServerResult* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void set_text(ServerResult* r, const char* fmt, ...) {
  char buf[kMaxErrorText + 1];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  r->error_text = buf;
}

void set_text_copy(ServerResult* r, const std::string& text) {
  r->error_text = text.size() > kMaxErrorText ? text.substr(0, kMaxErrorText) : text;
}

// One parallel run as its threads see it. The executor owns it and joins every thread before it
// is destroyed, so threads may hold a plain pointer.
struct RunControl {
  // Guards cancel, finished and every Worker::done of the run. Taken after g_runs_mu, never
  // together with any other lock.
  std::mutex mu;
  std::condition_variable cv;
  bool cancel = false;
  int finished = 0;
  uint32_t call_id = 0;
  TransportAdapter* adapter = nullptr;
};

// One server's thread. `result` is written by the thread alone until the executor has joined it;
// the executor reads or changes it only after that join.
struct Worker {
  int server_id = 0;
  Secret payload;
  ServerResult result;
  bool done = false;  // under RunControl::mu
  std::thread thread;
};

// Guards g_runs: the parallel and serial runs in progress, for cancellation by call id. Stands
// first in the lock order before any RunControl::mu.
std::mutex g_runs_mu;
std::vector<RunControl*> g_runs;

void register_run(RunControl* ctl) {
  std::lock_guard<std::mutex> lock(g_runs_mu);
  g_runs.push_back(ctl);
}

void unregister_run(RunControl* ctl) {
  std::lock_guard<std::mutex> lock(g_runs_mu);
  g_runs.erase(std::remove(g_runs.begin(), g_runs.end(), ctl), g_runs.end());
}

void record_call(uint32_t call_id, uint8_t group, uint8_t command, const ExecutorOptions& o, int server_id,
                 size_t request_bytes, size_t response_bytes, const ServerResult& r, FailCause cause) {
  if (telemetry_enabled()) {
    TelemetryRecord t;
    t.call_id = call_id;
    t.cmd_group = group;
    t.cmd_code = command;
    t.transport = static_cast<uint32_t>(o.transport);
    t.encryption = o.encryption_type;
    t.kovra_id = static_cast<uint8_t>(server_id);
    ServerInfo info;
    if (o.adapter && o.adapter->server_info(server_id, &info) == RC_OK)
      t.kovra_endpoint = info.host + ":" + std::to_string(info.port);
    t.req_bytes = static_cast<uint32_t>(std::min<size_t>(request_bytes, UINT32_MAX));
    t.coin_count = -1;
    t.timeout_ms = o.attempt_timeout_ms;
    t.rtt_ms = r.elapsed_ms;
    t.resp_bytes = static_cast<uint32_t>(std::min<size_t>(response_bytes, UINT32_MAX));
    t.status = r.status;
    t.success = r.success;
    t.timed_out = r.timed_out;
    t.cancelled = cause == CAUSE_CANCELLED;
    t.fail_cause = cause;
    telemetry_record(t);
  }
  if (send_log_is_open()) {
    send_log("", "KOVRA_CALL",
             "\"call_id\":%u,\"kovra\":%d,\"group\":%u,\"command\":%u,\"status\":%u,\"elapsed_ms\":%u,\"ok\":%s",
             call_id, server_id, group, command, r.status, r.elapsed_ms, r.success ? "true" : "false");
  }
}

ResultCode single_request(int server_id, uint8_t group, uint8_t command, Secret&& payload, const ExecutorOptions& o,
                          uint32_t call_id, ServerResult* r) {
  *r = ServerResult{};
  r->server_id = server_id;
  r->attempted = true;
  if (!o.adapter) {
    set_text(r, "Transport interface not configured");
    return RC_INVALID_PARAM;
  }
  PacketSpec spec;
  packet_spec_init(&spec);
  spec.server_id = static_cast<uint8_t>(server_id);
  spec.command_group = group;
  spec.command = command;
  spec.encryption_type = o.encryption_type;
  spec.header_version = o.header_version == 0 ? 1 : o.header_version;
  spec.content_subversion = o.content_subversion;
  spec.content_value = o.content_value;
  spec.plaintext_allowed = o.plaintext_allowed;
  spec.shard_id = o.shard_id;
  if (o.key_provider) {
    ResultCode krc = o.key_provider(server_id, &spec.key);
    if (krc != RC_OK) {
      set_text(r, "Failed to get encryption key");
      packet_spec_free(&spec);
      record_call(call_id, group, command, o, server_id, 0, 0, *r, CAUSE_BUILD);
      return krc;
    }
    spec.has_key = true;
  } else if (o.has_key) {
    spec.key = o.key;
    spec.has_key = true;
  }
  packet_spec_take_payload(&spec, std::move(payload));
  if (o.challenge_provider) {
    if (o.challenge_provider(server_id, spec.challenge) != RC_OK) {
      set_text(r, "Failed to get request challenge");
      packet_spec_free(&spec);
      record_call(call_id, group, command, o, server_id, 0, 0, *r, CAUSE_BUILD);
      return RC_ERROR;
    }
    spec.challenge_set = true;
  }
  Secret request;
  ResultCode rc = packet_build(&spec, &request);
  if (rc != RC_OK) {
    set_text(r, "Failed to build packet");
    packet_spec_free(&spec);
    record_call(call_id, group, command, o, server_id, 0, 0, *r, CAUSE_BUILD);
    return rc;
  }
  SendResult sent;
  rc = o.adapter->send(server_id, o.transport, request.data(), request.size(), o.attempt_timeout_ms, call_id,
                       o.response_limit, &sent);
  const size_t header_len = spec.header_version == 2 ? kovra::kWideHeaderSize : request_header_length(spec.encryption_type);
  r->request_header_length = std::min(header_len, request.size());
  std::memcpy(r->request_header, request.data(), r->request_header_length);
  const size_t request_bytes = request.size();
  request.clear();

  r->elapsed_ms = sent.elapsed_ms;
  FailCause cause = CAUSE_NONE;
  if (rc != RC_OK) {
    r->timed_out = rc == RC_TIMEOUT || sent.timed_out;
    set_text_copy(r, sent.error_text);
    cause = r->timed_out ? CAUSE_TIMEOUT
                         : (sent.error_text.find("ancelled") != std::string::npos ? CAUSE_CANCELLED : CAUSE_NETWORK);
  } else if (o.response_limit != 0 && sent.response.size() > o.response_limit) {
    set_text(r, "Response exceeds configured limit (%llu > %llu bytes)", (unsigned long long)sent.response.size(),
             (unsigned long long)o.response_limit);
    rc = RC_ERROR;
    cause = CAUSE_LIMIT;
  } else {
    ParsedResponse parsed;
    ResultCode prc = response_parse(sent.response.data(), sent.response.size(), &spec, &parsed);
    if (prc != RC_OK) {
      r->parse_failed = true;
      set_text(r, "Failed to parse response");
      rc = prc;
      cause = CAUSE_PARSE;
    } else {
      r->responded = true;
      r->status = parsed.status;
      r->success = status_is_success(parsed.status);
      r->challenge_ok = parsed.challenge_ok;
      r->response = std::move(parsed);
    }
  }
  if (sent.response.size() >= kovra::kHeaderSize) {
    std::memcpy(r->response_header, sent.response.data(), kovra::kHeaderSize);
    r->has_response_header = true;
    // A response that did not parse still tells its status in header byte 2.
    if (!r->responded) r->status = r->response_header[2];
  }
  const size_t response_bytes = sent.response.size();
  sent.response.clear();
  packet_spec_free(&spec);
  record_call(call_id, group, command, o, server_id, request_bytes, response_bytes, *r, cause);
  return rc;
}

void worker_main(RunControl* ctl, Worker* w, uint8_t group, uint8_t command, const ExecutorOptions* o) {
  bool cancelled;
  {
    std::lock_guard<std::mutex> lock(ctl->mu);
    cancelled = ctl->cancel;
  }
  if (cancelled) {
    w->result = ServerResult{};
    w->result.server_id = w->server_id;
    set_text(&w->result, "Cancelled");
  } else {
    single_request(w->server_id, group, command, std::move(w->payload), *o, ctl->call_id, &w->result);
  }
  std::lock_guard<std::mutex> lock(ctl->mu);
  w->done = true;
  ++ctl->finished;
  // Notified under the lock: the executor may destroy the control block as soon as it sees the
  // last thread done, and it joins every thread first, so the block outlives this call anyway.
  ctl->cv.notify_all();
}

// Why server `id` is not asked: nullptr to ask it, "" outside the subset, or the skip text.
const char* skip_reason(int id, const ExecutorOptions& o, bool parallel) {
  if (o.server_subset && std::find(o.server_subset->begin(), o.server_subset->end(), id) == o.server_subset->end())
    return "";
  if (o.adapter && o.skip_unavailable && !o.adapter->is_available(id)) return "Server unavailable";
  if (o.adapter && parallel && o.skip_slow && o.adapter->last_response_ms(id) > o.slow_threshold_ms)
    return "Server too slow";
  return nullptr;
}

bool is_skip_text(const std::string& t) { return t == "Server unavailable" || t == "Server too slow"; }

void count_server(const ServerResult& r, ExecutorResults* res) {
  if (r.responded)
    ++res->success;
  else if (r.timed_out)
    ++res->timeout;
  else if (!r.error_text.empty() && !is_skip_text(r.error_text))
    ++res->error;
}

void run_parallel(uint8_t group, uint8_t command, const BodyBuilder& builder, const ExecutorOptions& o,
                  ExecutorResults* res, uint64_t start) {
  log_warn(CAT_NET, "KOVRA policy gen=%u group=%u command=%u timeout=%u ms early=%d grace=%u ms",
           timing_policy_snapshot().generation, group, command, o.attempt_timeout_ms, (int)o.early_finish_count,
           o.early_finish_grace_ms);
  RunControl ctl;
  ctl.call_id = res->call_id;
  ctl.adapter = o.adapter;
  register_run(&ctl);

  std::vector<std::unique_ptr<Worker>> workers;
  workers.reserve(kServers);
  for (int i = 0; i < kServers; ++i) {
    ServerResult& r = res->servers[i];
    if (const char* why = skip_reason(i, o, true)) {
      r.error_text = why;
      ++res->skipped;
      continue;
    }
    std::unique_ptr<Worker> w;
    try {
      w = std::make_unique<Worker>();
    } catch (const std::bad_alloc&) {
      r.error_text = "Failed to create thread";
      continue;
    }
    w->server_id = i;
    if (builder && builder(i, &w->payload) != RC_OK) {
      r.error_text = "Failed to build body";
      continue;
    }
    try {
      w->thread = std::thread(worker_main, &ctl, w.get(), group, command, &o);
    } catch (const std::system_error&) {
      r.error_text = "Failed to create thread";
      continue;
    }
    workers.push_back(std::move(w));
  }
  const int started = static_cast<int>(workers.size());
  const bool early = started > 1 && o.early_finish_count > 0 && static_cast<int>(o.early_finish_count) < started;

  // Wait for every thread, or with early finish until the grace after the threshold or the hard
  // time-out. A condition variable wakes the wait at each finished thread, so the run returns as
  // soon as the answers allow; the poll interval only bounds one sleep.
  bool cut[kServers] = {false};
  uint32_t cut_ms = 0;
  bool cancel_sockets = false;
  {
    std::unique_lock<std::mutex> lock(ctl.mu);
    bool grace_started = false;
    uint64_t grace_deadline = 0;
    enum { ALL_DONE, CANCELLED, GRACE_EXPIRED, HARD_TIMEOUT } why = ALL_DONE;
    for (;;) {
      if (ctl.finished >= started) break;
      if (ctl.cancel) {
        why = CANCELLED;
        break;
      }
      const uint64_t now = ticks_ms();
      uint64_t wake = now + std::max<uint32_t>(o.poll_interval_ms, 1);
      if (early) {
        if (grace_started && now >= grace_deadline) {
          why = GRACE_EXPIRED;
          break;
        }
        if (!grace_started && ctl.finished >= static_cast<int>(o.early_finish_count)) {
          grace_started = true;
          grace_deadline = now + o.early_finish_grace_ms;
          const int done = ctl.finished;
          lock.unlock();
          log_info(CAT_NET, "Early finish: %ld/%d responded (threshold %d), grace period %u ms started", (long)done,
                   started, (int)o.early_finish_count, o.early_finish_grace_ms);
          lock.lock();
          continue;
        }
        if (now - start >= o.attempt_timeout_ms) {
          why = HARD_TIMEOUT;
          break;
        }
        if (grace_started) wake = std::min(wake, grace_deadline);
        wake = std::min(wake, start + o.attempt_timeout_ms);
      }
      ctl.cv.wait_for(lock, std::chrono::milliseconds(wake > now ? wake - now : 1));
    }
    const int done = ctl.finished;
    if (early || why == CANCELLED) {
      ctl.cancel = true;
      cancel_sockets = true;
      if (early && why != CANCELLED) {
        cut_ms = static_cast<uint32_t>(ticks_ms() - start);
        for (const auto& w : workers)
          if (!w->done) cut[w->server_id] = true;
      }
    }
    lock.unlock();
    if (why == GRACE_EXPIRED)
      log_info(CAT_NET, "Early finish: %ld/%d responded, grace period expired, skipping %ld remaining", (long)done,
               started, (long)(started - done));
    else if (why == HARD_TIMEOUT)
      log_info(CAT_NET, "Early finish: hard timeout %u ms reached, %ld/%d responded", o.attempt_timeout_ms, (long)done,
               started);
  }
  // Shut every socket of the run so blocked reads end now rather than at their time-outs.
  if (cancel_sockets && o.adapter) o.adapter->cancel(ctl.call_id);

  if (early) {
    const uint32_t limit = 2 * o.attempt_timeout_ms + 2000;
    std::unique_lock<std::mutex> lock(ctl.mu);
    ctl.cv.wait_for(lock, std::chrono::milliseconds(limit), [&] { return ctl.finished >= started; });
    if (ctl.finished < started) {
      for (const auto& w : workers)
        if (!w->done)
          log_warn(CAT_NET,
                   "KOVRA %d thread did not finish after %u ms join timeout, doing blocking join to prevent "
                   "use-after-free",
                   w->server_id, limit);
    }
  }
  // Every thread is joined before its record is read: a record is never written from two sides.
  for (auto& w : workers) w->thread.join();
  unregister_run(&ctl);

  for (auto& w : workers) {
    ServerResult& r = res->servers[w->server_id];
    r = std::move(w->result);
    if (cut[w->server_id]) {
      // Cut off at the cancel, whatever the thread produced since: early finish decided without it.
      ++res->cut_off;
      r.responded = false;
      r.success = false;
      r.timed_out = true;
      r.challenge_ok = false;
      r.status = 0;
      r.response = ParsedResponse{};
      r.parse_failed = false;
      r.elapsed_ms = cut_ms;
      r.error_text = "Early finish: cancelled";
    }
  }
  for (int i = 0; i < kServers; ++i) count_server(res->servers[i], res);
  if (o.per_server_callback)
    for (int i = 0; i < kServers; ++i) o.per_server_callback(i, res->servers[i]);
}

void run_serial(uint8_t group, uint8_t command, const BodyBuilder& builder, const ExecutorOptions& o,
                ExecutorResults* res) {
  RunControl ctl;
  ctl.call_id = res->call_id;
  register_run(&ctl);
  int done = 0;
  for (int i = 0; i < kServers; ++i) {
    ServerResult& r = res->servers[i];
    bool cancelled;
    {
      std::lock_guard<std::mutex> lock(ctl.mu);
      cancelled = ctl.cancel;
    }
    if (const char* why = skip_reason(i, o, false)) {
      r.error_text = why;
      ++res->skipped;
    } else if (cancelled) {
      r.error_text = "Cancelled";
    } else {
      Secret payload;
      if (builder && builder(i, &payload) != RC_OK)
        r.error_text = "Failed to build body";
      else
        single_request(i, group, command, std::move(payload), o, ctl.call_id, &r);
    }
    count_server(r, res);
    ++done;
    if (o.per_server_callback) o.per_server_callback(i, r);
    if (o.progress_callback) o.progress_callback(done, kServers);
  }
  unregister_run(&ctl);
}

void dump_failed_headers(const ExecutorResults& res) {
  int seen[3];
  int nseen = 0;
  for (int i = 0; i < kServers && nseen < 3; ++i) {
    const ServerResult& r = res.servers[i];
    if (!r.parse_failed || !r.has_response_header) continue;
    const int status = r.response_header[2];
    if (std::find(seen, seen + nseen, status) != seen + nseen) continue;
    seen[nseen++] = status;
    log_warn(CAT_PROTO, "KOVRA %2d FAILED (status %3d) - Request header", i, status);
    hex_dump(r.request_header, r.request_header_length, "Request header");
    log_warn(CAT_PROTO, "KOVRA %2d FAILED (status %3d) - Response header", i, status);
    hex_dump(r.response_header, sizeof r.response_header, "Response header");
  }
}

void write_summary(uint8_t group, uint8_t command, const ExecutorResults& res) {
  std::vector<ServerReportRow> rows(kServers);
  for (int i = 0; i < kServers; ++i) {
    const ServerResult& r = res.servers[i];
    ServerReportRow& row = rows[i];
    row.attempted = r.attempted;
    row.answered = r.responded;
    row.timed_out = r.timed_out;
    row.passed = r.success;
    row.status = r.status;
    row.ms = r.elapsed_ms;
    row.status_name = status_text(r.status);
  }
  server_results(executor_command_name(group, command), rows, res.elapsed_ms);
}

}  // namespace

void executor_options_init(ExecutorOptions* options) {
  if (!options) return;
  *options = ExecutorOptions{};
  const TimingPolicy p = timing_policy_snapshot();
  options->attempt_timeout_ms = p.attempt_timeout_ms[ATTEMPT_KOVRA_DEFAULT];
  options->early_finish_count = p.executor_early_finish_count;
  options->early_finish_grace_ms = p.executor_early_finish_grace_ms;
  options->poll_interval_ms = p.executor_poll_interval_ms;
  options->adapter = transport_get();
}

ResultCode executor_set_encryption(ExecutorOptions* options, uint32_t type, const KeyMaterial* key,
                                   KeyProvider provider) {
  if (!options) return RC_INVALID_PARAM;
  const bool has_provider = static_cast<bool>(provider);
  if (type == 0) {
    if (key || has_provider) return RC_INVALID_PARAM;
  } else if (type == 1 || type == 2 || type == 8 || type == 9) {
    if ((key != nullptr) == has_provider) return RC_INVALID_PARAM;
    if (key) {
      if (key->type != type) return RC_INVALID_PARAM;
      if (type == 8 && !key->dual) return RC_INVALID_PARAM;
      if (type == 9 && !key->mail_key_present) return RC_INVALID_PARAM;
    }
  } else {
    return RC_INVALID_PARAM;
  }
  options->encryption_type = type;
  options->has_key = key != nullptr;
  options->key = key ? *key : KeyMaterial{};
  options->key_provider = std::move(provider);
  return RC_OK;
}

ResultCode executor_set_content_framing(ExecutorOptions* options) {
  if (!options) return RC_INVALID_PARAM;
  if (options->encryption_type != 0 && options->encryption_type != 8) return RC_INVALID_PARAM;
  options->header_version = 2;
  options->content_subversion = 2;
  options->content_value = 0;
  return RC_OK;
}

ResultCode executor_run(uint8_t group, uint8_t command, const BodyBuilder& body_builder, const ExecutorOptions* options,
                        ExecutorResults* results) {
  if (!results) return RC_INVALID_PARAM;
  ExecutorOptions defaults;
  if (!options) {
    executor_options_init(&defaults);
    options = &defaults;
  }
  for (int i = 0; i < kServers; ++i) {
    results->servers[i] = ServerResult{};
    results->servers[i].server_id = i;
  }
  results->success = results->error = results->timeout = results->skipped = results->cut_off = 0;
  results->elapsed_ms = 0;
  const uint64_t start = ticks_ms();
  uint32_t call_id = options->call_id;
  while (call_id == 0) {
    if (random_fill(&call_id, sizeof call_id) != RC_OK) call_id = static_cast<uint32_t>(start) | 1u;
  }
  results->call_id = call_id;

  try {
    if (options->mode == EXEC_PARALLEL)
      run_parallel(group, command, body_builder, *options, results, start);
    else
      run_serial(group, command, body_builder, *options, results);
  } catch (const std::bad_alloc&) {
    return RC_MEMORY;
  }
  const uint64_t elapsed = ticks_ms() - start;
  results->elapsed_ms = elapsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed);
  if (results->error > 0 || results->timeout > 0) dump_failed_headers(*results);
  write_summary(group, command, *results);
  return RC_OK;
}

ResultCode executor_run_single(int server_id, uint8_t group, uint8_t command, const uint8_t* payload, size_t length,
                               const ExecutorOptions& options, ServerResult* result) {
  Secret owned;
  if (payload && length > 0) owned.assign(payload, length);
  return executor_run_single_owned(server_id, group, command, std::move(owned), options, result);
}

ResultCode executor_run_single_owned(int server_id, uint8_t group, uint8_t command, Secret&& payload,
                                     const ExecutorOptions& options, ServerResult* result) {
  if (!result || server_id < 0 || server_id >= kServers) return RC_INVALID_PARAM;
  uint32_t call_id = options.call_id;
  while (call_id == 0) {
    if (random_fill(&call_id, sizeof call_id) != RC_OK) call_id = static_cast<uint32_t>(ticks_ms()) | 1u;
  }
  return single_request(server_id, group, command, std::move(payload), options, call_id, result);
}

void executor_results_free_bodies(ExecutorResults* results) {
  if (!results) return;
  for (ServerResult& r : results->servers) r.response.body.clear();
}

void executor_cancel(uint32_t call_id) {
  if (call_id == 0) return;
  TransportAdapter* adapter = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_runs_mu);
    for (RunControl* ctl : g_runs) {
      if (ctl->call_id != call_id) continue;
      std::lock_guard<std::mutex> inner(ctl->mu);
      ctl->cancel = true;
      ctl->cv.notify_all();
      if (ctl->adapter) adapter = ctl->adapter;
    }
  }
  // With no run registered yet the transport still remembers the id, so a run that starts just
  // after this call ends at once; before start-up has made a transport there is nothing to cancel.
  if (adapter)
    adapter->cancel(call_id);
  else if (transport_initialized())
    transport_get()->cancel(call_id);
}

int executor_active_runs() {
  std::lock_guard<std::mutex> lock(g_runs_mu);
  return static_cast<int>(g_runs.size());
}

const char* executor_command_name(uint8_t group, uint8_t command) {
  if (group == 2) {
    switch (command) {
      case 40: return "GetTicket";
      case 50: return "ValidateTicket";
      case 60: return "Find";
      case 61: return "Fix2";
      case 80: return "Fix";
      default: return "HealingUnknown";
    }
  }
  if (group == 6) {
    switch (command) {
      case 61: case 71: return "PelkoTell";
      case 62: case 72: return "PelkoPing";
      case 63: case 73: return "PelkoPeek";
      case 64: case 74: return "PelkoDownload";
      case 70: return "PelkoUpload";
      default: return "PelkoUnknown";
    }
  }
  switch (command) {
    case 0: return "Echo";
    case 1: return "Version";
    case 3: return "Count";
    case 10: return "Detect";
    case 11: return "DetectSum";
    case 20: return "Pown";
    case 21: return "PownSum";
    case 44: return "GetEncryptTicket";
    case 45: return "FixEncrypted";
    case 82: return "PutLocker";
    case 83: return "PeekLocker";
    case 90: return "MakeChange";
    case 170: return "ShardSwitch";
    case 171: return "ShardPickup";
    case 172: return "ShardGetSNs";
    case 173: return "ShardRollback";
    case 174: return "ShardSwitchSNs";
    case 175: return "ShardSwitchNoSum";
    case 176: return "ConvertAuthenticate";
    case 177: return "ConvertPickup";
    case 178: return "ConvertGetSNs";
    default: return "Unknown";
  }
}
