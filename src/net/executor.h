// The parallel executor: asks the 25 servers one command at once (one thread per server) or one
// after another, fills one `ServerResult` per server and the run's counters, and stops waiting as
// soon as enough servers have answered (early finish with a grace period) or the attempt time-out
// has passed. Every coin, mail and directory command runs through it. A run owns its threads and
// sockets: when executor_run returns, every thread of the run has been joined and every socket
// closed. Any number of runs may go on at once on different threads, each with its own call id;
// executor_cancel may be called from any thread. The run registry has its own lock, which stands
// alone in the lock order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "base/secret.h"
#include "net/kovra_protocol.h"
#include "net/packet.h"
#include "net/status_codes.h"
#include "net/transport.h"

enum ExecutorMode : int { EXEC_SERIAL = 0, EXEC_PARALLEL = 1 };

// In a parallel run the key and challenge providers are called from the run's server threads,
// possibly at the same time; the body builder and the per-server callback only from the thread
// that called executor_run.

struct ServerResult;

// A key per server; takes precedence over the fixed key. Non-RC_OK fails that server's request.
using KeyProvider = std::function<ResultCode(int server_id, KeyMaterial* out)>;
// Supplies the 16-byte request challenge instead of the random one.
using ChallengeProvider = std::function<ResultCode(int server_id, uint8_t challenge[16])>;
// Called once per server after the run (parallel) or after each server (serial).
using PerServerCallback = std::function<void(int server_id, const ServerResult& result)>;
// Serial mode only: after each server, with the number done and 25.
using ProgressCallback = std::function<void(int done, int total)>;
// Builds the request payload of one server: RC_OK with the payload (may stay empty), anything else
// skips that server as an error ("Failed to build body").
using BodyBuilder = std::function<ResultCode(int server_id, Secret* payload)>;

struct ExecutorOptions {
  int mode = EXEC_PARALLEL;           // EXEC_PARALLEL, anything else serial
  int transport = TRANSPORT_TCP;      // TRANSPORT_TCP or TRANSPORT_UDP
  uint32_t encryption_type = 0;
  bool has_key = false;
  KeyMaterial key;                    // one key for all servers
  KeyProvider key_provider;
  uint8_t header_version = 1;         // 2 selects the content framing
  uint8_t content_subversion = 0;
  uint64_t content_value = 0;
  bool plaintext_allowed = false;
  uint32_t attempt_timeout_ms = 0;    // per request; executor_options_init takes the policy's default
  uint64_t response_limit = 0;        // 0: the transport's 64 MiB ceiling
  uint8_t shard_id = kovra::kDefaultShard;
  TransportAdapter* adapter = nullptr;  // required
  bool skip_unavailable = false;
  bool skip_slow = false;             // parallel mode only
  uint32_t slow_threshold_ms = 1000;
  std::optional<std::vector<int>> server_subset;  // when set, servers not listed are skipped
  PerServerCallback per_server_callback;
  ProgressCallback progress_callback;
  ChallengeProvider challenge_provider;
  uint32_t early_finish_count = 23;   // 0 disables early finish
  uint32_t early_finish_grace_ms = 500;
  uint32_t poll_interval_ms = 50;     // the longest the wait loop sleeps between checks
  uint32_t call_id = 0;               // 0: a random id is drawn at the start of the run
};

struct ServerResult {
  int server_id = 0;
  bool attempted = false;     // the request was started for this server
  bool responded = false;     // a response arrived and parsed
  bool success = false;       // status_is_success of its status
  bool timed_out = false;     // the transport timed out, or early finish cut the server off
  KovraStatus status = 0;
  uint32_t elapsed_ms = 0;
  bool challenge_ok = false;
  ParsedResponse response;    // body owned by the result
  bool parse_failed = false;  // a response arrived but could not be parsed
  std::string error_text;     // at most 255 characters; empty on success
  uint8_t request_header[kovra::kWideHeaderSize] = {0};
  size_t request_header_length = 0;
  uint8_t response_header[kovra::kHeaderSize] = {0};
  bool has_response_header = false;
};

struct ExecutorResults {
  ServerResult servers[kovra::kServerCount];
  int success = 0;   // responded
  int error = 0;
  int timeout = 0;
  int skipped = 0;
  uint32_t elapsed_ms = 0;
  uint32_t call_id = 0;      // the id the run used
  int cut_off = 0;           // servers early finish cut off (also counted as timeouts)
};

// Defaults with the attempt time-out, early finish count and grace and the poll interval of the
// live timing policy, and the process-wide transport adapter.
void executor_options_init(ExecutorOptions* options);
// Encryption: type 0 with neither key nor provider; types 1, 2, 8, 9 with exactly one of a key
// (whose type matches; 8 needs `dual`, 9 `mail_key_present`) or a provider. RC_INVALID_PARAM and
// nothing changed otherwise.
ResultCode executor_set_encryption(ExecutorOptions* options, uint32_t type, const KeyMaterial* key,
                                   KeyProvider provider);
// Header version 2, sub-version 2, content value 0; only with encryption types 0 and 8, else
// RC_INVALID_PARAM.
ResultCode executor_set_content_framing(ExecutorOptions* options);

// Runs `command` of `group` against the servers. `body_builder` may be empty (empty payloads);
// `options` null means the defaults. RC_OK (the outcome is in `results`), RC_INVALID_PARAM
// without `results`, RC_MEMORY when the run cannot be set up.
ResultCode executor_run(uint8_t group, uint8_t command, const BodyBuilder& body_builder, const ExecutorOptions* options,
                        ExecutorResults* results);
// One request to one server, filling `result`; the ResultCode of the attempt (RC_INVALID_PARAM for
// a server id above 24, a missing result or no adapter).
ResultCode executor_run_single(int server_id, uint8_t group, uint8_t command, const uint8_t* payload, size_t length,
                               const ExecutorOptions& options, ServerResult* result);
// The same, taking the payload buffer.
ResultCode executor_run_single_owned(int server_id, uint8_t group, uint8_t command, Secret&& payload,
                                     const ExecutorOptions& options, ServerResult* result);
// Frees the response bodies of all 25 records.
void executor_results_free_bodies(ExecutorResults* results);

// Cancels the parallel run with this call id, if one is in progress: threads not yet started send
// nothing, the wait ends, and every socket of the call is shut down through the transport. Safe
// from any thread; does nothing for 0 or an unknown id (beyond the transport's cancel).
void executor_cancel(uint32_t call_id);
// Number of parallel runs in progress (diagnostics and tests).
int executor_active_runs();

// The name of a command in the response summary ("Echo", "Pown", "PelkoTell", ...).
const char* executor_command_name(uint8_t group, uint8_t command);
