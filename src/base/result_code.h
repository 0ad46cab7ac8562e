// Program-wide result codes. Every operation that can fail returns one; callers log the short
// name and turn it into an HTTP status themselves. Pure values: safe from any thread.
#pragma once
#include <cstdint>

enum ResultCode : uint32_t {
  RC_OK = 0,
  RC_ERROR = 1,
  RC_TIMEOUT = 2,
  RC_NETWORK = 3,
  RC_INVALID_PARAM = 4,
  RC_MEMORY = 5,
  RC_FILE = 6,
  RC_ENCRYPTION = 7,
  RC_CRC = 8,
  RC_CANCELLED = 9,
  RC_PERMISSION = 10,
  RC_NOT_FOUND = 11,
  RC_INVALID_PASSWORD = 12,
  RC_CORRUPT_FILE = 13,
  RC_BAD_KEY = 14,
  RC_KEY_REJECTED = 15,
  RC_BUSY = 16,
  RC_REBUILD_FAILED = 17,
  RC_UNSUPPORTED_FORMAT = 19,
  RC_LOCKED = 20,
  RC_KEY_UNCONFIRMED = 21,
  RC_NO_CHANGE = 22,
  RC_CONVERT_RESIZE = 23,
  RC_RECOVERY_PENDING = 24,
  RC_CONVERT_INCOMPLETE = 25,
  RC_INSUFFICIENT_FUNDS = 100,
  RC_EXACT_UNAVAILABLE = 101,
};

// The short name used in log lines and in the `detail` of error replies; never null.
const char* short_name(uint32_t code);
// The sentence for the end user; never null.
const char* explanation(uint32_t code);
