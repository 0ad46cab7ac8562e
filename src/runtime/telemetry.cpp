#include "runtime/telemetry.h"

#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "runtime/log.h"
#include "runtime/platform.h"

const char kTelemetryHeader[] =
    "timestamp,timestamp_ms,call_id,cmd_group,cmd_code,transport,encryption,kovra_id,kovra_endpoint,req_bytes,"
    "coin_count,timeout_ms,rtt_ms,server_us,resp_bytes,status,success,timed_out,cancelled,fail_cause";

namespace {
// Guards the telemetry file and its enabled flag. Stands alone in the lock order.
std::mutex g_tel_mutex;
FILE* g_tel_file = nullptr;
}  // namespace

ResultCode telemetry_open(const std::string& data_root) {
  const std::string path = data_root + "/kovra_telemetry.csv";
  {
    std::lock_guard<std::mutex> g(g_tel_mutex);
    if (g_tel_file) return RC_OK;
    FILE* f = data_root.empty() ? nullptr : fopen(path.c_str(), "a");
    if (f) {
      struct stat st;
      if (fstat(fileno(f), &st) == 0 && st.st_size == 0) {
        fprintf(f, "%s\n", kTelemetryHeader);
        fflush(f);
      }
      g_tel_file = f;
    }
  }
  if (!telemetry_enabled()) {
    log_warn(CAT_GEN, "Telemetry: cannot open %s", path.c_str());
    return RC_ERROR;
  }
  log_info(CAT_GEN, "Telemetry: logging to %s", path.c_str());
  return RC_OK;
}

bool telemetry_enabled() {
  std::lock_guard<std::mutex> g(g_tel_mutex);
  return g_tel_file != nullptr;
}

std::string telemetry_line(const TelemetryRecord& r, uint64_t unix_s, uint64_t wall_ms) {
  char buf[512];
  snprintf(buf, sizeof buf, "%lu,%llu,%u,%u,%u,%u,%u,%u,%s,%u,%d,%u,%u,%u,%u,%u,%d,%d,%d,%u",
           static_cast<unsigned long>(unix_s), static_cast<unsigned long long>(wall_ms), r.call_id,
           static_cast<unsigned>(r.cmd_group), static_cast<unsigned>(r.cmd_code), r.transport, r.encryption,
           static_cast<unsigned>(r.kovra_id), r.kovra_endpoint.c_str(), r.req_bytes, r.coin_count, r.timeout_ms,
           r.rtt_ms, r.server_us, r.resp_bytes, static_cast<unsigned>(r.status), r.success ? 1 : 0,
           r.timed_out ? 1 : 0, r.cancelled ? 1 : 0, static_cast<unsigned>(r.fail_cause));
  return buf;
}

void telemetry_record(const TelemetryRecord& rec) {
  const uint64_t ms = now_ms();
  std::string line = telemetry_line(rec, ms / 1000, ms);
  std::lock_guard<std::mutex> g(g_tel_mutex);
  if (!g_tel_file) return;
  fprintf(g_tel_file, "%s\n", line.c_str());
  fflush(g_tel_file);
}

void telemetry_close() {
  std::lock_guard<std::mutex> g(g_tel_mutex);
  if (!g_tel_file) return;
  fflush(g_tel_file);
  fclose(g_tel_file);
  g_tel_file = nullptr;
}
