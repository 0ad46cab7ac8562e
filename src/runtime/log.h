// The main log: levels, categories, the per-thread context that tags a request's lines, and the
// line format "[time] [LEVEL/CAT  /tag] message". Lines go to the open log file, or to standard
// output before one is opened. All functions may be called from any thread; writes take the log
// lock, the thread context lives in thread-local storage. Logging never fails its caller.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

enum LogLevel : int { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3 };
enum LogCat : int { CAT_NET = 0, CAT_PROTO = 1, CAT_CMD = 2, CAT_CRYPT = 3, CAT_GEN = 4, CAT_HTTP = 5 };

const char* log_level_name(int level);  // "UNKNOWN" outside 0..3
const char* log_cat_name(int cat);      // "???" outside 0..5

void log_line(int level, int cat, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void log_debug(int cat, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_info(int cat, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_warn(int cat, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_error(int cat, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void log_set_min_level(int level);
int log_min_level();
void log_set_timestamps(bool on);
// Opens `path` for appending; on failure prints the error on stderr, keeps stdout and returns false.
bool log_open(const std::string& path);
// Closes the file (never stdout/stderr) and restores the defaults.
void log_close();
std::string log_path();

// Per-thread context.
void log_set_tag(const std::string& tag);  // empty clears; at most 15 characters kept
std::string log_tag();
void log_set_level_override(int level);
void log_clear_level_override();
void log_set_quiet();
void log_clear_quiet();
bool log_is_quiet();
int log_effective_level();

// Writes `text` to the log file as it is (no prefix), under the log lock. Used by the reports.
void log_raw(const std::string& text);

// The message normaliser ("kovra" -> "KOVRA", "120ms" -> "120 ms"); exposed for tests.
std::string log_normalize(const std::string& msg);
