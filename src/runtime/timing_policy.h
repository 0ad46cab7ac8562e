// The timing policy: per-command attempt time-outs and the executor, mail and conversion timing
// values. One live record is published whole or not at all: the configuration loader fills a
// working copy key by key, validates it as a whole and only then replaces the live record, with
// a new generation. Readers on any thread call attempt_timeout() or timing_policy_snapshot();
// both take the policy lock, which stands alone in the lock order.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "base/result_code.h"

// Index of each attempt time-out; an index above the last reads ATTEMPT_KOVRA_DEFAULT.
enum AttemptIndex : int {
  ATTEMPT_KOVRA_DEFAULT = 0,
  ATTEMPT_ECHO = 1,
  ATTEMPT_COUNT = 2,
  ATTEMPT_VERSION = 3,
  ATTEMPT_JOIN = 4,
  ATTEMPT_GET_SNS = 5,
  ATTEMPT_DETECT = 6,
  ATTEMPT_FIND = 7,
  ATTEMPT_POWN = 8,
  ATTEMPT_FIX = 9,
  ATTEMPT_FIX_ENCRYPTION = 10,
  ATTEMPT_FIX2 = 11,
  ATTEMPT_GET_TICKET = 12,
  ATTEMPT_HEAL = 13,
  ATTEMPT_LOCKER = 14,
  ATTEMPT_MAKE_CHANGE = 15,
  ATTEMPT_PELKO_PING = 16,
  ATTEMPT_PELKO_PEEK = 17,
  ATTEMPT_PELKO_TELL = 18,
  ATTEMPT_PELKO_UPLOAD = 19,
  ATTEMPT_PELKO_DOWNLOAD = 20,
  ATTEMPT_PELKO_TRANSFER = 21,
  ATTEMPT_HEALTH_DETECT = 22,
  ATTEMPT_HEALTH_FIX_ENCRYPTION = 23,
  ATTEMPT_HEALTH_FIX = 24,
  ATTEMPT_HEALTH_HEAL_DETECT = 25,
  ATTEMPT_HEALTH_GET_TICKET = 26,
  ATTEMPT_HEALTH_FIX2 = 27,
  ATTEMPT_AUTHENTICATE_DETECT = 28,
  ATTEMPT_DRD = 29,
  ATTEMPT_RKE = 30,
  ATTEMPT_TIMEOUT_COUNT = 31,
};

struct TimingPolicy {
  uint32_t policy_schema_version = 1;
  uint32_t generation = 1;
  uint32_t attempt_timeout_ms[ATTEMPT_TIMEOUT_COUNT] = {};  // filled by timing_policy_defaults()
  uint32_t health_boot_deadline_ms = 10000;
  uint32_t executor_early_finish_grace_ms = 500;
  uint32_t make_change_early_finish_grace_ms = 2000;
  uint32_t pelko_upload_early_finish_grace_ms = 3000;
  uint32_t pelko_send_object_deadline_ms = 900000;
  uint32_t pelko_upload_chunk_bytes = 0;  // 0: use the size the server advertises
  uint32_t pelko_upload_background_stripes = 1;
  uint32_t pelko_receive_lease_ms = 600000;
  uint32_t kovra_unavailable_cooldown_ms = 60000;  // 0 disables the cool-down
  uint32_t executor_poll_interval_ms = 50;
  uint32_t convert_base_timeout_ms = 5000;
  uint32_t convert_zb1_per_coin_ms = 3;
  uint32_t convert_zb2_per_coin_ms = 4;
  uint32_t convert_timeout_cap_ms = 15000;
  uint32_t executor_early_finish_count = 23;  // 0 disables early finish
};

// The built-in policy (generation 1).
TimingPolicy timing_policy_defaults();
// The configuration key of an attempt time-out ("kovra_default_attempt_timeout_ms" for index 0
// and for any index out of range), and its allowed range.
const char* attempt_timeout_key(int index);
uint32_t attempt_timeout_min(int index);
uint32_t attempt_timeout_max(int index);

// Checks a whole policy; on failure `*reason` (may be null) gets the first rule broken.
bool timing_policy_validate(const TimingPolicy& p, std::string* reason);

// True when `key` is a timing key of the configuration file (including the alias
// "default_timeout_ms").
bool is_timing_key(const std::string& key);
// Reads one timing key into the working copy `p`: a base-10 number with at least one digit,
// nothing after it, no overflow, inside the key's range. RC_OK, RC_NOT_FOUND (not a timing key),
// RC_INVALID_PARAM with `*reason` = "invalid <key>=<value> (expected <min>..<max>)".
ResultCode timing_policy_set_key(TimingPolicy* p, const std::string& key, const std::string& value,
                                 std::string* reason);

// Validates `p` and, when valid, makes it the live policy (generation 0 becomes 1), calls the
// publish hook and logs the publication. RC_INVALID_PARAM with the reason logged as
// "Invalid timeout policy: %s" and nothing changed otherwise.
ResultCode timing_policy_publish(const TimingPolicy& p);
// A copy of the live policy.
TimingPolicy timing_policy_snapshot();
// The live attempt time-out of `index` (index 0 for an index out of range).
uint32_t attempt_timeout(int index);

// Called after each publication with the new live policy, outside the policy lock; the network
// layer uses it to take the default attempt time-out. Set once at start-up.
void timing_policy_set_publish_hook(std::function<void(const TimingPolicy&)> hook);
// Puts the built-in defaults back as the live policy (tests and start-up only).
void timing_policy_reset_live();
