// Telemetry: one CSV line per server call in `<data root>/kovra_telemetry.csv`, for later study
// of server timings. The executor records every call while telemetry is enabled; start-up opens
// the file and shutdown closes it. All functions may be called from any thread; they take the
// telemetry lock, which stands alone (never held together with another lock).
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"

struct TelemetryRecord {
  uint32_t call_id = 0;
  uint8_t cmd_group = 0;
  uint8_t cmd_code = 0;
  uint32_t transport = 0;
  uint32_t encryption = 0;
  uint8_t kovra_id = 0;
  std::string kovra_endpoint;  // "ip:port"; empty when none
  uint32_t req_bytes = 0;
  int32_t coin_count = 0;
  uint32_t timeout_ms = 0;
  uint32_t rtt_ms = 0;
  uint32_t server_us = 0;
  uint32_t resp_bytes = 0;
  uint8_t status = 0;
  bool success = false;
  bool timed_out = false;
  bool cancelled = false;
  uint8_t fail_cause = 0;
};

// The CSV header line, without the line feed.
extern const char kTelemetryHeader[];

// Opens `<data_root>/kovra_telemetry.csv` for appending (header first when the file is new or
// empty) and enables telemetry; does nothing when already open. RC_OK, or RC_ERROR after logging
// the warning "Telemetry: cannot open %s" (telemetry then stays disabled).
ResultCode telemetry_open(const std::string& data_root);
bool telemetry_enabled();
// Appends one line and flushes; does nothing while telemetry is disabled.
void telemetry_record(const TelemetryRecord& rec);
// Flushes, closes and disables telemetry.
void telemetry_close();
// The line telemetry_record writes for `rec` at the given times (without the line feed).
std::string telemetry_line(const TelemetryRecord& rec, uint64_t unix_s, uint64_t wall_ms);
