// The 25 KOVRA servers: where each one listens, whether it also serves mail, and a small
// statistics record per server that survives restarts in `kovra_stats.csv`. Loaded once by the
// transport's initialisation from `kovra_ips.csv` in the data root (or the built-in list, and in
// the desktop role refreshed by discovery); the table is then read without a lock. The statistics
// live under one lock that stands alone in the lock order; every function here may be called from
// any thread once the directory is initialised.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_code.h"

struct ServerEntry {
  uint8_t id = 0;
  std::string host;  // numeric IPv4 address or host name, at most 63 characters
  uint16_t port = 0;
  bool enabled = false;
  bool mail = false;
  bool operator==(const ServerEntry& o) const { return host == o.host && port == o.port && mail == o.mail; }
};

struct ServerStats {
  uint8_t id = 0;
  uint32_t last_response_ms = 0;
  bool is_available = true;
  uint32_t success_count = 0;
  uint32_t error_count = 0;
  uint32_t timeout_count = 0;
  uint64_t last_update = 0;  // ms since 1970; 0 = never updated
};

// ---- Lifecycle (called by the transport) ----
// Loads the server table (with discovery in the desktop role) and then `kovra_stats.csv`. A table
// that cannot be loaded falls back to the built-in list; calling again while initialised does
// nothing. RC_OK.
ResultCode directory_init(bool with_discovery);
// Saves the statistics and marks the directory uninitialised.
void directory_shutdown();
bool directory_initialized();
// Number of servers in the live table (25 once initialised, 0 before).
int loaded_server_count();

// ---- Lookups ----
// Copy of the entry; RC_INVALID_PARAM for an id above 24, RC_NOT_FOUND before initialisation.
ResultCode server_entry(int id, ServerEntry* out);
// Copy of the statistics record, read under the statistics lock (a zero record for a bad id).
ServerStats server_stats(int id);
// Duration of the last request to the server; 0 for an id above 24.
uint32_t last_response_ms(int id);
// The availability saved by the last `save_stats` when `kovra_stats.csv` has the server's line,
// else the in-memory value; false for an id above 24.
bool is_available(int id);
// Records one request's outcome: a reply marks the server available and counts a success; any
// other outcome marks it unavailable and counts a time-out or an error.
void record_result(int id, uint32_t elapsed_ms, bool got_reply, bool timed_out);
// True when the server is marked unavailable, was updated, and fewer than `cooldown_ms` ms have
// passed since; `age_ms` (optional) receives that age. False for a cool-down of 0 or a bad id.
bool in_cooldown(int id, uint32_t cooldown_ms, uint64_t* age_ms = nullptr);
// The same against a given clock reading (ms since 1970), for callers and tests that hold one.
bool in_cooldown_at(int id, uint32_t cooldown_ms, uint64_t now_ms, uint64_t* age_ms = nullptr);
// Writes `kovra_stats.csv`; RC_FILE (logged) when it cannot be written.
ResultCode save_stats();
// Resets every statistics record to its initial state (tests and re-initialisation).
void reset_stats();

// ---- The server list file ----
std::string server_file_path();  // <data root>/kovra_ips.csv
std::string stats_file_path();   // <data root>/kovra_stats.csv
// The built-in list: 127.0.0.1, ports 50000 + id, mail on ids 0, 1, 11, 13, 14, 18, 20, 22, 24.
std::vector<ServerEntry> builtin_server_list();
bool builtin_mail_flag(int id);
// Reads a server list file. RC_OK only with exactly 25 entries; RC_FILE when it cannot be opened,
// RC_CORRUPT_FILE with fewer usable lines. `out` holds what was read either way.
ResultCode read_server_file(const std::string& path, std::vector<ServerEntry>* out);
// Writes 25 lines "host:port,P|K". RC_INVALID_PARAM for a list that is not 25 long, RC_FILE on I/O.
ResultCode write_server_file(const std::string& path, const std::vector<ServerEntry>& list);
// Writes the built-in list to `path`.
ResultCode write_default_server_file(const std::string& path);
// True when the file exists and no line contains "," (the old host:port form).
bool server_file_is_old_form(const std::string& path);
