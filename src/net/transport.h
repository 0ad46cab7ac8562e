// Moves one already-framed request to one KOVRA server over TCP or UDP and brings back the raw
// response; it reads nothing of a packet but where the response's body length sits. One
// process-wide `TransportAdapter` is reached through `transport_get()`. Every open socket is
// registered under the caller's call id so that another thread can cancel the call by shutting
// its sockets down. Any number of threads may send at once; the socket registry has its own lock
// (standing alone in the lock order) and the statistics are the server directory's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "net/server_directory.h"

enum TransportKind : int { TRANSPORT_UDP = 0, TRANSPORT_TCP = 1 };

struct SendResult {
  bool got_reply = false;       // a complete response arrived
  bool timed_out = false;       // the failure was a time-out
  uint32_t elapsed_ms = 0;      // start of the send to its end, on every path
  std::string error_text;       // what went wrong (at most 255 characters), empty on success
  std::vector<uint8_t> response;  // the whole response, header and body
};

struct ServerInfo {
  int id = 0;
  std::string host;
  uint16_t port = 0;
  bool available = false;
};

class TransportAdapter {
 public:
  // Sends `request` to server `server_id` and reads one response. `transport` 1 is TCP, anything
  // else UDP; `timeout_ms` 0 means the default; `call_id` 0 makes the call not cancellable;
  // `max_response` (TCP) between 1 and 64 MiB lowers the 64 MiB ceiling. Returns RC_OK, RC_ERROR
  // (limit or framing), RC_TIMEOUT (`timed_out` set), RC_NETWORK, RC_INVALID_PARAM (bad id or
  // arguments) or RC_MEMORY; `result` is filled on every path and the statistics are updated.
  ResultCode send(int server_id, int transport, const uint8_t* request, size_t length, uint32_t timeout_ms,
                  uint32_t call_id, uint64_t max_response, SendResult* result);
  // Shuts down every socket registered under `call_id`; blocked sends and receives of that call
  // end at once with a network result, and a request of that call that starts later fails at
  // once (the last 64 cancelled ids are remembered). Safe from any thread.
  void cancel(uint32_t call_id);
  ResultCode server_info(int server_id, ServerInfo* out);
  bool is_available(int server_id);
  uint32_t last_response_ms(int server_id);
  ServerStats server_stats(int server_id);
};

// The process-wide adapter; initialises it in the desktop manner (with discovery) when start-up
// has not, logging a warning. Never null.
TransportAdapter* transport_get();
// Loads the server directory (discovery unless `server_role`) and readies the adapter. Does
// nothing when already initialised. RC_OK or the directory's failure.
ResultCode transport_init(bool server_role);
bool transport_initialized();
// Saves the statistics, shuts the directory down and marks the adapter uninitialised.
void transport_cleanup();
void transport_set_default_timeout(uint32_t ms);
uint32_t transport_default_timeout();
// The transport an API request names: 0 TCP, 1 UDP, anything else TCP (logged).
int rest_transport_choice(int value);
// Number of registry slots in use (tests and diagnostics).
int transport_active_sockets();
