#include "runtime/send_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "runtime/log.h"
#include "runtime/platform.h"

namespace {
// Guards the send-log file and the remembered paths. Stands alone in the lock order.
std::mutex g_send_mutex;
FILE* g_send_file = nullptr;
std::string g_send_root;
std::string g_send_path;
}  // namespace

bool send_log_resolve_enabled(bool configured) {
  const char* v = std::getenv("PELKO_SEND_LOG");
  if (!v || !*v) return configured;
  const char c = v[0];
  return c == '1' || c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

void send_log_rotate(const std::string& data_root) {
  const std::string base = data_root + "/send.log";
  struct stat st;
  if (::stat(base.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) <= kSendLogRotateBytes - 1) return;
  ::unlink((base + ".5").c_str());
  for (int i = 4; i >= 1; --i)
    ::rename((base + "." + std::to_string(i)).c_str(), (base + "." + std::to_string(i + 1)).c_str());
  ::rename(base.c_str(), (base + ".1").c_str());
}

ResultCode send_log_open(const std::string& data_root, bool enabled) {
  const std::string path = data_root + "/send.log";
  {
    std::lock_guard<std::mutex> g(g_send_mutex);
    g_send_root = data_root;
    g_send_path = path;
  }
  if (!enabled) {
    log_info(CAT_GEN, "Pelko send log: disabled");
    return RC_OK;
  }
  send_log_rotate(data_root);
  FILE* f = fopen(path.c_str(), "a");
  if (!f) {
    log_warn(CAT_GEN, "Pelko send log: cannot open %s", path.c_str());
    return RC_FILE;
  }
  {
    std::lock_guard<std::mutex> g(g_send_mutex);
    if (g_send_file) fclose(g_send_file);
    g_send_file = f;
  }
  log_info(CAT_GEN, "Pelko send log: active at %s", path.c_str());
  return RC_OK;
}

bool send_log_is_open() {
  std::lock_guard<std::mutex> g(g_send_mutex);
  return g_send_file != nullptr;
}

void send_log(const char* send_id, const char* phase, const char* extra_fmt, ...) {
  {
    std::lock_guard<std::mutex> g(g_send_mutex);
    if (!g_send_file) return;
  }
  char extra[4096] = "";
  if (extra_fmt) {
    va_list ap;
    va_start(ap, extra_fmt);
    vsnprintf(extra, sizeof extra, extra_fmt, ap);
    va_end(ap);
  }
  time_t now = time(nullptr);
  struct tm ut;
  gmtime_r(&now, &ut);
  char ts[32];
  strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%SZ", &ut);

  std::lock_guard<std::mutex> g(g_send_mutex);
  if (!g_send_file) return;
  fprintf(g_send_file, "{\"ts\":\"%s\",\"send_id\":\"%s\",\"phase\":\"%s\"%s%s}\n", ts, send_id ? send_id : "",
          phase ? phase : "UNKNOWN", extra[0] ? "," : "", extra);
  fflush(g_send_file);
}

void send_log_close() {
  std::lock_guard<std::mutex> g(g_send_mutex);
  if (g_send_file) {
    fflush(g_send_file);
    fclose(g_send_file);
  }
  g_send_file = nullptr;
}

std::string new_send_id() {
  unsigned char b[8] = {0};
  platform_random_fill(b, sizeof b);  // on failure the clock mix below still varies the identifier
  const uint64_t ms = now_ms();
  char out[18];
  out[0] = 's';
  static const char hex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    unsigned char v = b[i] ^ static_cast<unsigned char>(ms >> (8 * i));
    out[1 + 2 * i] = hex[v >> 4];
    out[2 + 2 * i] = hex[v & 0xF];
  }
  out[17] = '\0';
  return out;
}
