#include "runtime/log.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {
// Guards the log file, its path and the level and timestamp switches. Taken alone, never while
// holding another lock's callback.
std::mutex g_log_mutex;
FILE* g_file = nullptr;  // null: lines go to stdout
std::string g_path;
int g_min_level = LOG_INFO;
bool g_timestamps = false;

thread_local bool t_override_set = false;
thread_local int t_override = LOG_INFO;
thread_local std::string t_tag;
thread_local bool t_quiet = false;

bool normalize_enabled() {
  static const bool on = [] {
    const char* v = std::getenv("RESTCORE_LOG_NORMALIZE");
    return !(v && std::strcmp(v, "0") == 0);
  }();
  return on;
}

bool word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// Request paths, parameters and peer texts reach log lines; a line feed among them would let a
// caller forge whole lines. Control bytes other than tab are written as \xNN.
void escape_controls(std::string& text) {
  size_t i = 0;
  while (i < text.size() && (static_cast<unsigned char>(text[i]) >= 0x20 || text[i] == '\t')) ++i;
  if (i == text.size()) return;
  std::string out = text.substr(0, i);
  for (; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t') {
      char esc[5];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  text.swap(out);
}

void write_line(int level, int cat, const char* fmt, va_list ap) {
  if (t_override_set) {
    if (level < t_override) return;
  } else {
    std::lock_guard<std::mutex> g(g_log_mutex);
    if (level < g_min_level) return;
  }
  char msg[2048];
  vsnprintf(msg, sizeof msg, fmt, ap);
  std::string text = normalize_enabled() ? log_normalize(msg) : std::string(msg);
  escape_controls(text);

  char prefix[48];
  if (!t_tag.empty())
    snprintf(prefix, sizeof prefix, "%s/%-5s/%s", log_level_name(level), log_cat_name(cat), t_tag.c_str());
  else
    snprintf(prefix, sizeof prefix, "%s/%-5s", log_level_name(level), log_cat_name(cat));

  std::lock_guard<std::mutex> g(g_log_mutex);
  FILE* out = g_file ? g_file : stdout;
  if (g_timestamps) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char ts[32];
    strftime(ts, sizeof ts, "%Y-%m-%d %H:%M:%S", &tmv);
    fprintf(out, "[%s] ", ts);
  }
  fprintf(out, "[%s] %s\n", prefix, text.c_str());
  fflush(out);
}
}  // namespace

const char* log_level_name(int level) {
  switch (level) {
    case LOG_DEBUG: return "DEBUG";
    case LOG_INFO: return "INFO";
    case LOG_WARN: return "WARN";
    case LOG_ERROR: return "ERROR";
    default: return "UNKNOWN";
  }
}

const char* log_cat_name(int cat) {
  static const char* const names[] = {"NET", "PROTO", "CMD", "CRYPT", "GEN", "HTTP"};
  return (cat >= 0 && cat <= 5) ? names[cat] : "???";
}

std::string log_normalize(const std::string& msg) {
  std::string out;
  out.reserve(msg.size() + 16);
  const size_t n = msg.size();
  for (size_t i = 0; i < n && out.size() < 4095;) {
    if (i + 5 <= n && strncasecmp(msg.c_str() + i, "kovra", 5) == 0 && (i == 0 || !word_char(msg[i - 1])) &&
        (i + 5 == n || !word_char(msg[i + 5]))) {
      out += "KOVRA";
      i += 5;
      continue;
    }
    if (i > 0 && std::isdigit(static_cast<unsigned char>(msg[i - 1]))) {
      if (msg[i] == 'm' && i + 1 < n && msg[i + 1] == 's' && (i + 2 == n || !letter(msg[i + 2]))) {
        out += " ms";
        i += 2;
        continue;
      }
      if (msg[i] == 's' && (i + 1 == n || !letter(msg[i + 1]))) {
        out += " s";
        i += 1;
        continue;
      }
    }
    out += msg[i++];
  }
  if (out.size() > 4095) out.resize(4095);
  return out;
}

#define RC_LOG_FORWARD(level)   \
  va_list ap;                   \
  va_start(ap, fmt);            \
  write_line(level, cat, fmt, ap); \
  va_end(ap)

void log_line(int level, int cat, const char* fmt, ...) { RC_LOG_FORWARD(level); }
void log_debug(int cat, const char* fmt, ...) { RC_LOG_FORWARD(LOG_DEBUG); }
void log_info(int cat, const char* fmt, ...) { RC_LOG_FORWARD(LOG_INFO); }
void log_warn(int cat, const char* fmt, ...) { RC_LOG_FORWARD(LOG_WARN); }
void log_error(int cat, const char* fmt, ...) { RC_LOG_FORWARD(LOG_ERROR); }

void log_set_min_level(int level) {
  std::lock_guard<std::mutex> g(g_log_mutex);
  g_min_level = level;
}

int log_min_level() {
  std::lock_guard<std::mutex> g(g_log_mutex);
  return g_min_level;
}

void log_set_timestamps(bool on) {
  std::lock_guard<std::mutex> g(g_log_mutex);
  g_timestamps = on;
}

bool log_open(const std::string& path) {
  FILE* f = fopen(path.c_str(), "a");
  if (!f) {
    fprintf(stderr, "[LOG] Error: Failed to open log file: %s\n", path.c_str());
    return false;
  }
  std::lock_guard<std::mutex> g(g_log_mutex);
  if (g_file) fclose(g_file);
  g_file = f;
  g_path = path.size() > 511 ? path.substr(0, 511) : path;
  return true;
}

void log_close() {
  std::lock_guard<std::mutex> g(g_log_mutex);
  if (g_file && g_file != stdout && g_file != stderr) fclose(g_file);
  g_file = nullptr;
  g_path.clear();
  g_min_level = LOG_INFO;
  g_timestamps = false;
}

std::string log_path() {
  std::lock_guard<std::mutex> g(g_log_mutex);
  return g_path;
}

void log_set_tag(const std::string& tag) { t_tag = tag.substr(0, 15); }
std::string log_tag() { return t_tag; }
void log_set_level_override(int level) {
  t_override_set = true;
  t_override = level;
}
void log_clear_level_override() {
  t_override_set = false;
  t_override = LOG_INFO;
}
void log_set_quiet() { t_quiet = true; }
void log_clear_quiet() { t_quiet = false; }
bool log_is_quiet() { return t_quiet; }
int log_effective_level() {
  if (t_override_set) return t_override;
  std::lock_guard<std::mutex> g(g_log_mutex);
  return g_min_level;
}

void log_raw(const std::string& text) {
  std::lock_guard<std::mutex> g(g_log_mutex);
  FILE* out = g_file ? g_file : stdout;
  fwrite(text.data(), 1, text.size(), out);
  fflush(out);
}
