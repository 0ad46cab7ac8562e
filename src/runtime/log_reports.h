// The main log's debug reports: hex dumps (always, or only in debug), the per-server summary of a
// network command with its timing chart and box, and the full request report of the debug echo.
// The network layer calls these after each command that involves the servers; the texts go to
// the log file under the log lock without the line prefix, so any thread may call them. Status
// names come from the caller, which keeps this layer free of the server protocol.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bytes shown by a hex dump; longer data is cut with a note.
constexpr size_t kHexDumpMaxBytes = 32;

// The hex dump text: label ("Data" when null or empty), length, a framed table of up to 32 bytes.
std::string hex_dump_text(const void* data, size_t len, const char* label);
// Writes the hex dump in every mode.
void hex_dump(const void* data, size_t len, const char* label);
// Writes the hex dump only when this thread's effective level is DEBUG.
void hex_dump_if_debug(const void* data, size_t len, const char* label);

// One server's part in a network command.
struct ServerReportRow {
  bool attempted = false;
  bool answered = false;   // a reply was received and read
  bool timed_out = false;  // no reply in time, or the reply carried the time-out status
  bool passed = false;     // the reply's status is a success verdict
  uint8_t status = 0;
  uint32_t ms = 0;
  std::string status_name;  // the status's name, for the debug lines
};

struct ServerTally {
  int attempted = 0, passed = 0, rejected = 0, errors = 0, timeouts = 0;
};
// Counts over the attempted servers: timeouts, then passes and rejections among the answers,
// and errors (no answer without a time-out).
ServerTally server_tally(const std::vector<ServerReportRow>& rows);

// Logs "<label>: p/a pass, r rejected, e errors, t timeouts (ms)" (INFO, CMD); in debug also one
// line per attempted server, the timing chart (when the global level is DEBUG) and the box.
void server_results(const char* label, const std::vector<ServerReportRow>& rows, uint32_t total_ms);
// The chart and the box as written by server_results (`when` is the local time text).
std::string server_results_chart(const char* label, const std::vector<ServerReportRow>& rows, uint32_t total_ms,
                                 const std::string& when);
std::string server_results_box(const ServerTally& t);

// One server's part in a reported request, with the headers to dump for error statuses.
struct RequestReportRow {
  bool answered = false;       // a reply was received
  bool timed_out = false;
  bool network_error = false;  // no reply for another reason than a time-out
  bool passed = false;
  uint8_t status = 0;
  uint32_t ms = 0;
  std::string status_name;
  std::vector<uint8_t> request_header;
  std::vector<uint8_t> response_header;  // empty when nothing came back
};

struct RequestReport {
  std::string name;        // "Echo"
  std::string id;          // the task identifier
  bool encrypted = false;  // "AES-128-CTR" or "None"
  bool tcp = true;
  bool parallel = true;
  uint32_t timeout_ms = 0;
  double duration_s = 0;
  std::vector<RequestReportRow> rows;  // one per server, in server order
};

// The full request report text (`when` is the local time text).
std::string request_report_text(const RequestReport& r, const std::string& when);
// Writes the report to the log.
void request_report(const RequestReport& r);
