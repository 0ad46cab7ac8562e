#include "net/server_directory.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "net/discovery.h"
#include "net/kovra_protocol.h"
#include "runtime/data_root.h"
#include "runtime/durable_write.h"
#include "runtime/log.h"

namespace {

constexpr int kCount = kovra::kServerCount;

// The live table: written only while initialising (before any request), read without a lock after.
std::vector<ServerEntry> g_table;
std::atomic<bool> g_initialized{false};
// Serialises initialisation and shutdown of the table. Taken before the statistics lock.
std::mutex g_init_mutex;

// Guards g_stats (every read and update). Stands alone in the lock order: nothing else is taken
// while it is held.
std::mutex g_stats_mutex;
ServerStats g_stats[kCount];

uint64_t wall_ms() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void reset_stats_locked() {
  for (int i = 0; i < kCount; ++i) {
    g_stats[i] = ServerStats{};
    g_stats[i].id = static_cast<uint8_t>(i);
    g_stats[i].is_available = true;
  }
}

// Parses "%d,%u,%d,%u,%u,%u" strictly enough that a torn or foreign line is skipped.
bool parse_stats_line(const std::string& line, int* id, uint32_t vals[5]) {
  if (line.empty() || line[0] == '#') return false;
  int i = 0;
  unsigned a = 0, c = 0, d = 0, e = 0;
  int avail = 0;
  if (std::sscanf(line.c_str(), "%d,%u,%d,%u,%u,%u", &i, &a, &avail, &c, &d, &e) != 6) return false;
  if (i < 0 || i >= kCount) return false;
  *id = i;
  vals[0] = a;
  vals[1] = static_cast<uint32_t>(avail);
  vals[2] = c;
  vals[3] = d;
  vals[4] = e;
  return true;
}

void load_stats_file() {
  std::ifstream in(stats_file_path());
  if (!in) return;
  std::string line;
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int id = 0;
    uint32_t v[5];
    if (!parse_stats_line(line, &id, v)) continue;
    g_stats[id].last_response_ms = v[0];
    g_stats[id].is_available = v[1] != 0;
    g_stats[id].success_count = v[2];
    g_stats[id].error_count = v[3];
    g_stats[id].timeout_count = v[4];
  }
}

void load_without_discovery() {
  std::string path = server_file_path();
  if (!file_exists(path)) {
    log_info(CAT_NET, "Cached KOVRA file not found. Creating from hardcoded list.");
    g_table = builtin_server_list();
    if (write_server_file(path, g_table) != RC_OK) log_error(CAT_NET, "Failed to write initial KOVRA file!");
    return;
  }
  std::vector<ServerEntry> list;
  if (read_server_file(path, &list) != RC_OK) {
    log_warn(CAT_NET, "Failed to read cached KOVRA file. Using hardcoded fallback.");
    g_table = builtin_server_list();
    return;
  }
  g_table = list;
}

void load_with_discovery() {
  std::string path = server_file_path();
  if (file_exists(path)) {
    log_info(CAT_NET, "KOVRA file found at %s. Loading servers.", path.c_str());
    std::vector<ServerEntry> list;
    if (read_server_file(path, &list) != RC_OK) {
      log_warn(CAT_NET, "Failed to read existing KOVRA file. Falling back to hardcoded.");
      g_table = builtin_server_list();
    } else {
      g_table = list;
    }
  } else {
    log_info(CAT_NET, "KOVRA file not found. Creating from hardcoded list.");
    g_table = builtin_server_list();
    if (write_server_file(path, g_table) != RC_OK) log_error(CAT_NET, "Failed to write initial KOVRA file!");
  }
  if (run_server_discovery(path)) {
    // The file may have changed: the live table is read from it again.
    std::vector<ServerEntry> list;
    if (read_server_file(path, &list) == RC_OK) g_table = list;
  }
}

}  // namespace

std::string server_file_path() { return data_root() + "/kovra_ips.csv"; }
std::string stats_file_path() { return data_root() + "/kovra_stats.csv"; }

bool builtin_mail_flag(int id) {
  for (uint8_t m : kovra::kMailServerIds)
    if (m == id) return true;
  return false;
}

std::vector<ServerEntry> builtin_server_list() {
  std::vector<ServerEntry> list(kCount);
  for (int i = 0; i < kCount; ++i) {
    // Deployment data: every built-in server is on this machine, so a fresh start talks to the
    // local simulator on its default ports and nothing leaves the machine.
    list[i].id = static_cast<uint8_t>(i);
    list[i].host = "127.0.0.1";
    list[i].port = static_cast<uint16_t>(kovra::kBasePort + i);
    list[i].enabled = true;
    list[i].mail = builtin_mail_flag(i);
  }
  return list;
}

ResultCode read_server_file(const std::string& path, std::vector<ServerEntry>* out) {
  if (!out) return RC_INVALID_PARAM;
  out->clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return RC_FILE;
  std::string raw;
  while (static_cast<int>(out->size()) < kCount && std::getline(in, raw)) {
    std::string line = raw.substr(0, 255);  // lines are read through a 256-byte buffer
    size_t cut = line.find_first_of("\r\n");
    if (cut != std::string::npos) line.resize(cut);
    if (line.empty()) continue;
    int position = static_cast<int>(out->size());
    ServerEntry e;
    e.id = static_cast<uint8_t>(position);
    e.enabled = true;
    bool have_flag = false;
    size_t comma = line.find(',');
    if (comma != std::string::npos) {
      char f = comma + 1 < line.size() ? line[comma + 1] : '\0';
      if (f == 'P' || f == 'p' || f == 'K' || f == 'k') {
        have_flag = true;
        e.mail = (f == 'P' || f == 'p');
      }
      line.resize(comma);
    }
    if (!have_flag) e.mail = builtin_mail_flag(position);
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      e.host = line.substr(0, 63);
      e.port = static_cast<uint16_t>(kovra::kBasePort + position);
    } else {
      e.host = line.substr(0, std::min<size_t>(colon, 63));
      e.port = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
    }
    out->push_back(e);
  }
  return static_cast<int>(out->size()) == kCount ? RC_OK : RC_CORRUPT_FILE;
}

ResultCode write_server_file(const std::string& path, const std::vector<ServerEntry>& list) {
  if (static_cast<int>(list.size()) != kCount) return RC_INVALID_PARAM;
  std::string text;
  for (const ServerEntry& e : list) {
    char line[128];
    std::snprintf(line, sizeof line, "%s:%d,%c\n", e.host.c_str(), e.port, e.mail ? 'P' : 'K');
    text += line;
  }
  DurableOptions opt;
  opt.sync = false;
  return durable_write(path, text, opt) == RC_OK ? RC_OK : RC_FILE;
}

ResultCode write_default_server_file(const std::string& path) { return write_server_file(path, builtin_server_list()); }

bool server_file_is_old_form(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line))
    if (line.find(',') != std::string::npos) return false;
  return true;
}

ResultCode directory_init(bool with_discovery) {
  std::lock_guard<std::mutex> init_lock(g_init_mutex);
  if (g_initialized) return RC_OK;
  {
    std::lock_guard<std::mutex> lock(g_stats_mutex);
    reset_stats_locked();
  }
  log_info(CAT_NET, "Initializing KOVRA server list...");
  g_table.clear();
  if (with_discovery)
    load_with_discovery();
  else
    load_without_discovery();
  if (static_cast<int>(g_table.size()) != kCount) {
    log_error(CAT_NET, "Failed to initialize KOVRA server list!");
    g_table = builtin_server_list();
  }
  log_info(CAT_NET, "KOVRA configuration loaded. KOVRA 0: %s:%d", g_table[0].host.c_str(), g_table[0].port);
  load_stats_file();
  g_initialized = true;
  return RC_OK;
}

void directory_shutdown() {
  std::lock_guard<std::mutex> init_lock(g_init_mutex);
  if (!g_initialized) return;
  save_stats();
  // The table itself stays: a worker left running past its stop wait may still read it, and it
  // never changes after initialisation.
  g_initialized = false;
}

bool directory_initialized() { return g_initialized; }
int loaded_server_count() { return g_initialized ? static_cast<int>(g_table.size()) : 0; }

ResultCode server_entry(int id, ServerEntry* out) {
  if (id < 0 || id >= kCount || !out) return RC_INVALID_PARAM;
  if (!g_initialized || static_cast<int>(g_table.size()) != kCount) return RC_NOT_FOUND;
  *out = g_table[id];
  return RC_OK;
}

ServerStats server_stats(int id) {
  if (id < 0 || id >= kCount) return ServerStats{};
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  return g_stats[id];
}

uint32_t last_response_ms(int id) {
  if (id < 0 || id >= kCount) return 0;
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  return g_stats[id].last_response_ms;
}

bool is_available(int id) {
  if (id < 0 || id >= kCount) return false;
  // The saved value wins when the file has the line (callers see the state of the last save).
  std::ifstream in(stats_file_path());
  if (in) {
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      int lid = 0;
      uint32_t v[5];
      if (parse_stats_line(line, &lid, v) && lid == id) return v[1] != 0;
    }
  }
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  return g_stats[id].is_available;
}

void record_result(int id, uint32_t elapsed_ms, bool got_reply, bool timed_out) {
  if (id < 0 || id >= kCount) return;
  uint64_t now = wall_ms();
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  ServerStats& s = g_stats[id];
  s.last_response_ms = elapsed_ms;
  s.last_update = now;
  if (got_reply) {
    s.is_available = true;
    ++s.success_count;
  } else {
    s.is_available = false;
    if (timed_out)
      ++s.timeout_count;
    else
      ++s.error_count;
  }
}

bool in_cooldown_at(int id, uint32_t cooldown_ms, uint64_t now_ms, uint64_t* age_ms) {
  if (age_ms) *age_ms = 0;
  if (id < 0 || id >= kCount || cooldown_ms == 0) return false;
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  const ServerStats& s = g_stats[id];
  if (s.is_available || s.last_update == 0) return false;
  uint64_t age = now_ms > s.last_update ? now_ms - s.last_update : 0;
  if (age_ms) *age_ms = age;
  return age < cooldown_ms;
}

bool in_cooldown(int id, uint32_t cooldown_ms, uint64_t* age_ms) { return in_cooldown_at(id, cooldown_ms, wall_ms(), age_ms); }

ResultCode save_stats() {
  std::string text = "# KOVRA Statistics\n# kovra_id,last_response_ms,is_available,success_count,error_count,timeout_count\n";
  {
    std::lock_guard<std::mutex> lock(g_stats_mutex);
    for (int i = 0; i < kCount; ++i) {
      const ServerStats& s = g_stats[i];
      char line[96];
      std::snprintf(line, sizeof line, "%d,%u,%d,%u,%u,%u\n", i, s.last_response_ms, s.is_available ? 1 : 0,
                    s.success_count, s.error_count, s.timeout_count);
      text += line;
    }
  }
  // Written whole and renamed into place, so `is_available` never reads a torn file.
  DurableOptions opt;
  opt.sync = false;
  std::string path = stats_file_path();
  if (durable_write(path, text, opt) != RC_OK) {
    log_error(CAT_NET, "transport: failed to save stats to %s", path.c_str());
    return RC_FILE;
  }
  return RC_OK;
}

void reset_stats() {
  std::lock_guard<std::mutex> lock(g_stats_mutex);
  reset_stats_locked();
}
