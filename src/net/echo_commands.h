// The three status commands of group 0 that need no coin: echo (is each server there and how fast
// does it answer), version (the server software's build date) and count (how many coins of each
// denomination a server holds). The endpoints, the boot echo and the mail-health refresh run them
// through the executor. Also the process-wide echo-in-progress counter that mail object transfers
// wait on. All functions may be called from any thread; the counter is atomic.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "net/kovra_protocol.h"

struct EchoServer {
  int id = 0;
  bool responded = false;  // a response arrived and parsed, whatever its status
  bool timed_out = false;  // no response, and the executor saw a time-out or the time-out passed
  uint32_t elapsed_ms = 0;
  uint8_t status = 0;      // 250 when responded, else 0
  std::string error_text;
};

struct EchoResult {
  int api_transport = 0;   // 0 TCP, 1 UDP
  bool encryption = false;
  bool parallel = true;
  uint32_t timeout_ms = 0;
  std::string request_id;  // made like a task identifier
  EchoServer servers[kovra::kServerCount];
  int available = 0;       // responded
  int error = 0;
  int timeout = 0;
  uint32_t total_ms = 0;
};

struct VersionServer {
  int id = 0;
  bool ok = false;         // a version text was read
  bool skipped = false;    // not asked (marked unavailable)
  bool timed_out = false;  // the executor's own time-out flag
  uint32_t elapsed_ms = 0;
  std::string version;     // the 8-character text
  std::string error_text;
};

struct VersionResult {
  std::string request_id;
  VersionServer servers[kovra::kServerCount];
  int success = 0, error = 0, timeout = 0, skipped = 0;
  uint32_t total_ms = 0;
};

struct DenominationCount {
  int8_t code = 0;
  uint32_t count = 0;
};

constexpr size_t kCountMaxPairs = 20;

struct CountServer {
  int id = 0;
  bool ok = false;
  bool skipped = false;
  bool timed_out = false;
  uint32_t elapsed_ms = 0;
  std::vector<DenominationCount> pairs;  // at most kCountMaxPairs
  uint64_t total_units = 0;              // saturates at 2^64 - 1
  std::string error_text;
};

struct CountResult {
  std::string request_id;
  CountServer servers[kovra::kServerCount];
  int success = 0, error = 0, timeout = 0, skipped = 0;
  uint32_t total_ms = 0;
};

// Echo of all 25 servers: `api_transport` 0 TCP, 1 UDP (rest_transport_choice); the encryption
// flag sends type 1 headers naming no key coin; serial or parallel; `timeout_ms` 0 takes the echo
// attempt time-out. Raises the echo-in-progress counter while it runs and saves the server
// statistics after it. RC_OK (the outcome per server is in `out`), RC_INVALID_PARAM without
// `out`, RC_ERROR when there is no transport, or the executor's failure. A non-zero `call_id` lets
// another thread cancel the run through executor_cancel.
ResultCode cmd_echo(int api_transport, bool encryption, bool parallel, uint32_t timeout_ms, EchoResult* out,
                    uint32_t call_id = 0);
// Version of every available server (parallel, TCP, the version attempt time-out). Prints the
// console banner first. RC_OK, RC_INVALID_PARAM, RC_ERROR without transport, the executor's code.
ResultCode cmd_version(VersionResult* out);
// Coin counts of every available server (parallel, TCP, the count attempt time-out). As above.
ResultCode cmd_count(CountResult* out);

// Reads a version body (terminator included as it arrived) into `version`; false with `error` set.
bool version_from_body(const uint8_t* body, size_t length, std::string* version, std::string* error);
// Reads a count body into `server` (pairs, total, error text); false when the body is malformed.
bool count_from_body(const uint8_t* body, size_t length, CountServer* server);
// Units of one coin of denomination `code` (10^(code+8)); 0 outside -8..11.
uint64_t count_denomination_units(int code);

// "2026-December-01" for a text YYYYMMDD with year 2020-2099, month 1-12, day 1-31; any other
// text unchanged.
std::string version_display(std::string_view version);
// The value of a denomination as text: "%llu" for a value of at least 1, else "%.8f".
std::string denomination_text(int code);

// The echo-in-progress counter: raised around every echo run, never below 0.
void echo_in_progress_enter();
void echo_in_progress_leave();
int echo_in_progress();
