#include "runtime/log_reports.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "runtime/log.h"

namespace {

void appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

std::string local_time_text() {
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &lt);
  return buf;
}

const char kChartFrame[] = "  +------------------------------------------------------------------+\n";

std::string box(const char* title_line, const char* total_label, int ready, int errors, int timeouts, int total) {
  const std::string frame = "+" + std::string(70, '-') + "+\n";
  std::string out = "\n" + frame + title_line + frame;
  appendf(out, "| %-30s %38d |\n", "Ready:", ready);
  appendf(out, "| %-30s %38d |\n", "Errors:", errors);
  appendf(out, "| %-30s %38d |\n", "Timeouts/No Reply:", timeouts);
  out += frame;
  appendf(out, "| %-30s %38d |\n", total_label, total);
  out += frame + "\n";
  return out;
}

// Bar length for a time: at least 1, at most 50, scaled to the largest time (no less than 100).
int bar_length(uint32_t ms, uint32_t largest) {
  const uint64_t scale = std::max<uint32_t>(largest, 100);
  return static_cast<int>(std::max<uint64_t>(1, std::min<uint64_t>(50, uint64_t{ms} * 50 / scale)));
}

}  // namespace

std::string hex_dump_text(const void* data, size_t len, const char* label) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (!p) len = 0;
  std::string out;
  appendf(out, "\n  %s (%u bytes", label && *label ? label : "Data", static_cast<unsigned>(len));
  if (len > kHexDumpMaxBytes) out += ", showing first 32";
  out += "):\n";
  const char frame[] = "  +--------------------------------------------------+------------------+\n";
  out += frame;
  out += "  | Offset  Hex Values                              | ASCII            |\n";
  out += frame;
  const size_t shown = std::min(len, kHexDumpMaxBytes);
  for (size_t row = 0; row < shown; row += 16) {
    appendf(out, "  | %04x    ", static_cast<unsigned>(row));
    for (size_t k = 0; k < 16; ++k) {
      if (row + k < shown)
        appendf(out, "%02X ", p[row + k]);
      else
        out += "   ";
      if (k == 7) out += ' ';
    }
    out += "| ";
    size_t k = 0;
    for (; k < 16 && row + k < shown; ++k) {
      uint8_t c = p[row + k];
      out += (c >= 32 && c <= 126) ? static_cast<char>(c) : '.';
    }
    out.append(16 - k, ' ');
    out += " |\n";
  }
  out += frame;
  out += "\n";
  return out;
}

void hex_dump(const void* data, size_t len, const char* label) { log_raw(hex_dump_text(data, len, label)); }

void hex_dump_if_debug(const void* data, size_t len, const char* label) {
  if (log_effective_level() == LOG_DEBUG) hex_dump(data, len, label);
}

ServerTally server_tally(const std::vector<ServerReportRow>& rows) {
  ServerTally t;
  for (const ServerReportRow& r : rows) {
    if (!r.attempted) continue;
    ++t.attempted;
    if (r.timed_out)
      ++t.timeouts;
    else if (!r.answered)
      ++t.errors;
    else if (r.passed)
      ++t.passed;
    else
      ++t.rejected;
  }
  return t;
}

std::string server_results_chart(const char* label, const std::vector<ServerReportRow>& rows, uint32_t total_ms,
                                 const std::string& when) {
  uint32_t mn = UINT32_MAX, mx = 0;
  uint64_t sum = 0;
  int valid = 0, attempted = 0;
  for (const ServerReportRow& r : rows) {
    if (!r.attempted) continue;
    ++attempted;
    if (!r.answered || r.timed_out) continue;
    ++valid;
    mn = std::min(mn, r.ms);
    mx = std::max(mx, r.ms);
    sum += r.ms;
  }
  std::string out;
  if (valid == 0) {
    appendf(out, "\n[%s] No valid responses for timing chart (%d attempted)\n", label, attempted);
    return out;
  }
  const uint32_t avg = static_cast<uint32_t>(sum / static_cast<uint64_t>(valid));
  out += "\n";
  appendf(out, "[%s] %s Server Response Times (ms)\n", when.c_str(), label);
  out += kChartFrame;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ServerReportRow& r = rows[i];
    if (!r.attempted) continue;
    appendf(out, "  | S%02d ", static_cast<int>(i));
    if (!r.answered || r.timed_out) {
      appendf(out, "[TIMEOUT/ERROR] %u ms\n", r.ms ? r.ms : total_ms);
      continue;
    }
    const bool outlier = uint64_t{r.ms} > 2 * uint64_t{avg};
    out.append(static_cast<size_t>(bar_length(r.ms, mx)), outlier ? '!' : '#');
    appendf(out, " %u ms%s\n", r.ms, outlier ? " (OUTLIER)" : "");
  }
  out += kChartFrame;
  appendf(out, "  Min: %u ms  |  Max: %u ms  |  Avg: %u ms  |  Valid: %d/%d  |  Total: %u ms\n", mn, mx, avg, valid,
          attempted, total_ms);
  return out;
}

std::string server_results_box(const ServerTally& t) {
  return box("|                        Server Response Summary                       |\n", "Total Servers:", t.passed,
             t.rejected + t.errors, t.timeouts, t.attempted);
}

void server_results(const char* label, const std::vector<ServerReportRow>& rows, uint32_t total_ms) {
  const ServerTally t = server_tally(rows);
  log_info(CAT_CMD, "%s: %d/%d pass, %d rejected, %d errors, %d timeouts (%u ms)", label, t.passed, t.attempted,
           t.rejected, t.errors, t.timeouts, total_ms);
  if (log_effective_level() != LOG_DEBUG) return;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ServerReportRow& r = rows[i];
    if (!r.attempted) continue;
    log_debug(CAT_CMD, "%s: KOVRA %2d status=%3d (0x%02X, %s) %u ms%s", label, static_cast<int>(i), r.status, r.status,
              r.status_name.c_str(), r.ms, r.passed ? "" : " FAILED");
  }
  if (log_min_level() == LOG_DEBUG) log_raw(server_results_chart(label, rows, total_ms, local_time_text()));
  log_raw(server_results_box(t));
}

std::string request_report_text(const RequestReport& r, const std::string& when) {
  const std::string rule = std::string(72, '=') + "\n";
  std::string out = rule;
  appendf(out, "TASK: %s Request\n", r.name.c_str());
  appendf(out, "ID: %s | Time: %s\n", r.id.c_str(), when.c_str());
  out += rule;
  out += "  KOVRA Communication:\n";
  appendf(out, "    * Encryption: %s\n", r.encrypted ? "AES-128-CTR" : "None");
  appendf(out, "    * Transport: %s\n", r.tcp ? "TCP" : "UDP");
  appendf(out, "    * Mode: %s\n", r.parallel ? "Parallel" : "Serial");
  appendf(out, "    * Timeout: %u ms\n\n", r.timeout_ms);

  int ready = 0, errors = 0, timeouts = 0, valid = 0;
  uint32_t mn = UINT32_MAX, mx = 0;
  uint64_t sum = 0;
  for (const RequestReportRow& row : r.rows) {
    if (row.timed_out)
      ++timeouts;
    else if (row.passed)
      ++ready;
    else
      ++errors;
    if (row.passed && !row.timed_out) {
      ++valid;
      mn = std::min(mn, row.ms);
      mx = std::max(mx, row.ms);
      sum += row.ms;
    }
  }
  const int total = static_cast<int>(r.rows.size());
  const uint32_t avg = valid ? static_cast<uint32_t>(sum / static_cast<uint64_t>(valid)) : 0;

  appendf(out, "  %s Response Times (ms)\n", r.name.c_str());
  out += kChartFrame;
  for (size_t i = 0; i < r.rows.size(); ++i) {
    const RequestReportRow& row = r.rows[i];
    appendf(out, "  | R%02d ", static_cast<int>(i));
    if (row.timed_out) {
      appendf(out, "[TIMEOUT] %u ms\n", row.ms);
    } else if (row.network_error || !row.answered) {
      out += "[NETWORK ERROR]\n";
    } else if (!row.passed) {
      appendf(out, "[ERROR] status=%3d (0x%02X, %s)\n", row.status, row.status, row.status_name.c_str());
    } else {
      const bool outlier = uint64_t{row.ms} > 2 * uint64_t{avg};
      out.append(static_cast<size_t>(bar_length(row.ms, mx)), outlier ? '!' : '#');
      appendf(out, " %u ms%s\n", row.ms, outlier ? " (OUTLIER)" : "");
    }
  }
  out += kChartFrame;
  if (valid)
    appendf(out, "  Min: %u ms  |  Max: %u ms  |  Avg: %u ms  |  Valid: %d/%d\n\n", mn, mx, avg, valid, total);
  else
    appendf(out, "  No valid responses for statistics (%d attempted)\n\n", total);

  out += box("|                        KOVRA Response Summary                        |\n", "Total KOVRAs:", ready, errors,
             timeouts, total);

  for (size_t i = 0; i < r.rows.size(); ++i) {
    const RequestReportRow& row = r.rows[i];
    appendf(out, "  [KOVRA %2d] ", static_cast<int>(i));
    if (row.timed_out)
      appendf(out, "TIMEOUT %u ms\n", row.ms);
    else if (row.passed)
      appendf(out, "OK status=%3d (0x%02X) %u ms\n", row.status, row.status, row.ms);
    else
      appendf(out, "ERROR status=%3d (0x%02X, %s) %u ms\n", row.status, row.status, row.status_name.c_str(), row.ms);
  }

  // Headers of the first three distinct error statuses: enough to diagnose without a flood.
  std::vector<int> seen;
  for (const RequestReportRow& row : r.rows) {
    if (row.passed || row.timed_out || seen.size() >= 3) continue;
    const int key = row.answered ? row.status : -1;
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    out += hex_dump_text(row.request_header.data(), row.request_header.size(), "REQUEST HEADER");
    if (row.response_header.empty())
      out += "  RESPONSE: (no response received)\n\n";
    else
      out += hex_dump_text(row.response_header.data(), row.response_header.size(), "RESPONSE HEADER");
  }

  out += rule;
  appendf(out, "  Results: %d/%d ready (%.1f%%)  |  Consensus: %s\n", ready, total,
          total ? 100.0 * ready / total : 0.0, ready >= 13 ? "Yes" : "No");
  appendf(out, "  Duration: %.3f s\n", r.duration_s);
  out += rule;
  return out;
}

void request_report(const RequestReport& r) { log_raw(request_report_text(r, local_time_text())); }
