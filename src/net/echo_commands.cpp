#include "net/echo_commands.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "http/task_registry.h"
#include "net/executor.h"
#include "net/server_directory.h"
#include "net/status_codes.h"
#include "net/transport.h"
#include "runtime/log.h"
#include "runtime/timing_policy.h"

namespace {

constexpr int kServers = kovra::kServerCount;

std::atomic<int> g_echo_in_progress{0};

// Raises the counter for one scope.
struct EchoInProgress {
  EchoInProgress() { echo_in_progress_enter(); }
  ~EchoInProgress() { echo_in_progress_leave(); }
};

bool strip_terminator(const uint8_t* body, size_t* length) {
  if (*length >= 2 && body[*length - 1] == kovra::kTerminator && body[*length - 2] == kovra::kTerminator) {
    *length -= 2;
    return true;
  }
  return false;
}

// Options shared by version and count: parallel, TCP, type 0, unavailable servers skipped.
void diagnostic_options(ExecutorOptions* o, int attempt_index) {
  executor_options_init(o);
  o->mode = EXEC_PARALLEL;
  o->transport = TRANSPORT_TCP;
  o->attempt_timeout_ms = attempt_timeout(attempt_index);
  o->skip_unavailable = true;
}

// Asks every server `command` for version and count: `fill` reads one answered server into its
// record (setting `ok`); the rest of each record, the tally and the summary line are common.
template <class Out, class Fill>
ResultCode run_diagnostic(const char* what, int attempt_index, uint8_t command, Out* out, Fill fill) {
  ExecutorOptions o;
  diagnostic_options(&o, attempt_index);
  if (!o.adapter) {
    log_error(CAT_NET, "%s: no transport", what);
    return RC_ERROR;
  }
  auto results = std::make_unique<ExecutorResults>();
  ResultCode rc = executor_run(kovra::group::kStatus, command, BodyBuilder(), &o, results.get());
  if (rc != RC_OK) {
    log_error(CAT_NET, "%s: executor_run failed: %d", what, (int)rc);
    return rc;
  }
  for (int i = 0; i < kServers; ++i) {
    const ServerResult& r = results->servers[i];
    auto& s = out->servers[i];
    s.elapsed_ms = r.elapsed_ms;
    s.timed_out = r.timed_out;
    s.skipped = !r.attempted;
    fill(r, &s);
    if (s.ok)
      ++out->success;
    else if (s.skipped)
      ++out->skipped;
    else if (s.timed_out)
      ++out->timeout;
    else
      ++out->error;
  }
  out->total_ms = results->elapsed_ms;
  log_info(CAT_NET, "%s: %d success, %d timeout, %d error, %d skipped (%ums)", what, out->success, out->timeout,
           out->error, out->skipped, out->total_ms);
  return RC_OK;
}

}  // namespace

void echo_in_progress_enter() { g_echo_in_progress.fetch_add(1); }

void echo_in_progress_leave() {
  int v = g_echo_in_progress.load();
  while (v > 0 && !g_echo_in_progress.compare_exchange_weak(v, v - 1)) {
  }
}

int echo_in_progress() { return g_echo_in_progress.load(); }

ResultCode cmd_echo(int api_transport, bool encryption, bool parallel, uint32_t timeout_ms, EchoResult* out,
                    uint32_t call_id) {
  if (!out) return RC_INVALID_PARAM;
  *out = EchoResult{};
  if (timeout_ms == 0) timeout_ms = attempt_timeout(ATTEMPT_ECHO);
  out->api_transport = api_transport;
  out->encryption = encryption;
  out->parallel = parallel;
  out->timeout_ms = timeout_ms;
  out->request_id = task_new_id();
  for (int i = 0; i < kServers; ++i) out->servers[i].id = i;

  ExecutorOptions o;
  executor_options_init(&o);
  if (!o.adapter) {
    log_error(CAT_NET, parallel ? "Echo parallel: no transport" : "Echo serial: no transport");
    return RC_ERROR;
  }
  o.mode = parallel ? EXEC_PARALLEL : EXEC_SERIAL;
  o.transport = rest_transport_choice(api_transport);
  // The flag only marks the header as type 1: no key coin is named and nothing is encrypted.
  o.encryption_type = encryption ? kovra::enc::kAes128Coin : kovra::enc::kNone;
  o.attempt_timeout_ms = timeout_ms;
  o.skip_unavailable = false;
  o.call_id = call_id;

  EchoInProgress raised;
  auto results = std::make_unique<ExecutorResults>();
  ResultCode rc = executor_run(kovra::group::kStatus, kovra::cmd::kEcho, BodyBuilder(), &o, results.get());
  if (rc != RC_OK) return rc;
  for (int i = 0; i < kServers; ++i) {
    const ServerResult& r = results->servers[i];
    EchoServer& s = out->servers[i];
    s.responded = r.responded;
    s.elapsed_ms = r.elapsed_ms;
    s.timed_out = !r.responded && (r.timed_out || r.elapsed_ms >= timeout_ms);
    s.status = r.responded ? 250 : 0;
    s.error_text = r.error_text;
  }
  out->available = results->success;
  out->error = results->error;
  out->timeout = results->timeout;
  out->total_ms = results->elapsed_ms;
  save_stats();
  return RC_OK;
}

bool version_from_body(const uint8_t* body, size_t length, std::string* version, std::string* error) {
  if (length < 8) {
    *error = "Invalid response size";
    return false;
  }
  if (length < 10 && body[length - 1] == kovra::kTerminator && body[length - 2] == kovra::kTerminator) {
    *error = "Response body too short after stripping terminator";
    return false;
  }
  version->assign(reinterpret_cast<const char*>(body), 8);
  return true;
}

ResultCode cmd_version(VersionResult* out) {
  if (!out) return RC_INVALID_PARAM;
  *out = VersionResult{};
  out->request_id = task_new_id();
  for (int i = 0; i < kServers; ++i) out->servers[i].id = i;
  std::printf("\n  Querying all 25 KOVRA servers for version info...\n\n");
  std::fflush(stdout);
  return run_diagnostic("Version", ATTEMPT_VERSION, kovra::cmd::kVersion, out,
                        [](const ServerResult& r, VersionServer* s) {
                          s->error_text = r.error_text;
                          if (!r.responded) return;
                          s->ok = version_from_body(r.response.body.data(), r.response.body.size(), &s->version,
                                                    &s->error_text);
                          if (s->ok) s->error_text.clear();
                        });
}

uint64_t count_denomination_units(int code) {
  if (code < -8 || code > 11) return 0;
  uint64_t units = 1;
  for (int i = 0; i < code + 8; ++i) units *= 10;
  return units;
}

bool count_from_body(const uint8_t* body, size_t length, CountServer* s) {
  s->pairs.clear();
  s->total_units = 0;
  strip_terminator(body, &length);
  if (length >= 1 && length <= 4) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Malformed count response: %zu bytes (expected multiple of 5)", length);
    s->error_text = buf;
    return false;
  }
  if (length % 5 != 0)
    log_warn(CAT_NET, "Count response: %zu bytes is not a multiple of 5, trailing %zu bytes ignored", length,
             length % 5);
  const size_t records = length / 5;
  for (size_t i = 0; i < records && s->pairs.size() < kCountMaxPairs; ++i) {
    const uint8_t* p = body + 5 * i;
    DenominationCount d;
    d.code = static_cast<int8_t>(p[0]);
    d.count = (uint32_t(p[1]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 8) | uint32_t(p[4]);
    s->pairs.push_back(d);
    // A server may report more than 64 bits of value; the total then stays at the largest count
    // instead of wrapping round to a small number.
    const uint64_t units = count_denomination_units(d.code);
    uint64_t value;
    if (__builtin_mul_overflow(units, uint64_t(d.count), &value) ||
        __builtin_add_overflow(s->total_units, value, &s->total_units))
      s->total_units = UINT64_MAX;
  }
  s->error_text.clear();
  return true;
}

ResultCode cmd_count(CountResult* out) {
  if (!out) return RC_INVALID_PARAM;
  *out = CountResult{};
  out->request_id = task_new_id();
  for (int i = 0; i < kServers; ++i) out->servers[i].id = i;
  return run_diagnostic("Count", ATTEMPT_COUNT, kovra::cmd::kCount, out, [](const ServerResult& r, CountServer* s) {
    if (!r.responded)
      s->error_text = r.error_text;
    else if (!r.success)
      s->error_text = status_text(r.status);
    else
      s->ok = count_from_body(r.response.body.data(), r.response.body.size(), s);
  });
}

std::string version_display(std::string_view v) {
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  if (v.size() != 8) return std::string(v);
  for (char c : v)
    if (c < '0' || c > '9') return std::string(v);
  auto num = [&](size_t at, size_t n) {
    int x = 0;
    for (size_t i = 0; i < n; ++i) x = x * 10 + (v[at + i] - '0');
    return x;
  };
  const int year = num(0, 4), month = num(4, 2), day = num(6, 2);
  if (year < 2020 || year > 2099 || month < 1 || month > 12 || day < 1 || day > 31) return std::string(v);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%d-%s-%02d", year, kMonths[month - 1], day);
  return buf;
}

std::string denomination_text(int code) {
  char buf[40];
  if (code >= 0 && code <= 11) {
    // Exact integers: the largest values do not fit a 32-bit number.
    std::snprintf(buf, sizeof buf, "%llu", (unsigned long long)(count_denomination_units(code) / 100000000ULL));
  } else if (code < 0 && code >= -8) {
    double value = 1.0;
    for (int i = 0; i < -code; ++i) value /= 10.0;
    std::snprintf(buf, sizeof buf, "%.8f", value);
  } else {
    std::snprintf(buf, sizeof buf, "%.8f", 0.0);
  }
  return buf;
}
