// The send log: one JSON line per phase of every mail send in `<data root>/send.log`, kept to
// about 10 MiB per file with five older generations (`send.log.1` .. `send.log.5`). Start-up opens
// it when the `pelko_send_log_enabled` setting (or PELKO_SEND_LOG) says so; shutdown closes it.
// All functions may be called from any thread; writes take the send-log lock, which stands alone.
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"

constexpr uint64_t kSendLogRotateBytes = 10485760;  // rotated when larger than this minus one

// The configured switch, overridden by a non-empty PELKO_SEND_LOG: on when its first character is
// one of 1, T, t, Y, y, off for anything else.
bool send_log_resolve_enabled(bool configured);

// Remembers the data root; when disabled logs "Pelko send log: disabled" and returns RC_OK.
// Otherwise rotates an over-large send.log and opens it for appending: RC_OK, or RC_FILE after
// the warning "Pelko send log: cannot open %s" (the send log is then disabled).
ResultCode send_log_open(const std::string& data_root, bool enabled);
bool send_log_is_open();
// Appends {"ts":..,"send_id":..,"phase":..[,<extra>]} and flushes; `extra_fmt` formats members
// already escaped by the caller (may be null). Does nothing while the send log is closed.
void send_log(const char* send_id, const char* phase, const char* extra_fmt, ...)
    __attribute__((format(printf, 3, 4)));
void send_log_close();
// "s" and 16 lower-case hex digits: 8 random bytes mixed with the wall-clock milliseconds.
std::string new_send_id();

// Shifts send.log -> .1 -> .2 ... -> .5 (dropping .5) when send.log is larger than
// kSendLogRotateBytes - 1. Exposed for tests; send_log_open calls it.
void send_log_rotate(const std::string& data_root);
