#include "runtime/timing_policy.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "runtime/log.h"

namespace {
struct AttemptDef {
  const char* key;
  uint32_t default_ms;
};

const AttemptDef kAttempts[ATTEMPT_TIMEOUT_COUNT] = {
    {"kovra_default_attempt_timeout_ms", 5000},
    {"kovra_echo_attempt_timeout_ms", 2000},
    {"kovra_count_attempt_timeout_ms", 2000},
    {"kovra_version_attempt_timeout_ms", 3000},
    {"kovra_join_attempt_timeout_ms", 3000},
    {"kovra_get_sns_attempt_timeout_ms", 3000},
    {"kovra_detect_attempt_timeout_ms", 5000},
    {"kovra_find_attempt_timeout_ms", 5000},
    {"kovra_pown_attempt_timeout_ms", 5000},
    {"kovra_fix_attempt_timeout_ms", 5000},
    {"kovra_fix_encryption_attempt_timeout_ms", 5000},
    {"kovra_fix2_attempt_timeout_ms", 5000},
    {"kovra_get_ticket_attempt_timeout_ms", 5000},
    {"kovra_heal_attempt_timeout_ms", 5000},
    {"kovra_locker_attempt_timeout_ms", 3000},
    {"kovra_make_change_attempt_timeout_ms", 5000},
    {"pelko_ping_attempt_timeout_ms", 600000},
    {"pelko_peek_attempt_timeout_ms", 10000},
    {"pelko_tell_attempt_timeout_ms", 15000},
    {"pelko_upload_attempt_timeout_ms", 30000},
    {"pelko_download_attempt_timeout_ms", 30000},
    {"pelko_transfer_attempt_timeout_ms", 60000},
    {"health_detect_attempt_timeout_ms", 2000},
    {"health_fix_encryption_attempt_timeout_ms", 3000},
    {"health_fix_attempt_timeout_ms", 5000},
    {"health_heal_detect_attempt_timeout_ms", 2000},
    {"health_get_ticket_attempt_timeout_ms", 2000},
    {"health_fix2_attempt_timeout_ms", 7000},
    {"authenticate_detect_attempt_timeout_ms", 10000},
    {"drd_attempt_timeout_ms", 5000},
    {"rke_attempt_timeout_ms", 5000},
};

// The other timing keys: where each goes and the range the key check accepts.
struct FieldDef {
  const char* key;
  uint32_t TimingPolicy::*field;
  uint32_t min;
  uint32_t max;
};

const FieldDef kFields[] = {
    {"policy_schema_version", &TimingPolicy::policy_schema_version, 1, 1},
    {"health_boot_deadline_ms", &TimingPolicy::health_boot_deadline_ms, 1000, 300000},
    {"executor_early_finish_grace_ms", &TimingPolicy::executor_early_finish_grace_ms, 0, 30000},
    {"make_change_early_finish_grace_ms", &TimingPolicy::make_change_early_finish_grace_ms, 0, 30000},
    {"pelko_upload_early_finish_grace_ms", &TimingPolicy::pelko_upload_early_finish_grace_ms, 0, 30000},
    {"pelko_send_object_deadline_ms", &TimingPolicy::pelko_send_object_deadline_ms, 5000, 3600000},
    // 1..65535 passes here and is refused by the whole-record validation.
    {"pelko_upload_chunk_bytes", &TimingPolicy::pelko_upload_chunk_bytes, 0, 67108864},
    {"pelko_upload_background_stripes", &TimingPolicy::pelko_upload_background_stripes, 0, 8},
    {"pelko_receive_lease_ms", &TimingPolicy::pelko_receive_lease_ms, 60000, 3600000},
    {"kovra_unavailable_cooldown_ms", &TimingPolicy::kovra_unavailable_cooldown_ms, 0, 300000},
    {"executor_poll_interval_ms", &TimingPolicy::executor_poll_interval_ms, 1, 1000},
    {"convert_base_timeout_ms", &TimingPolicy::convert_base_timeout_ms, 50, 120000},
    {"convert_zb1_per_coin_ms", &TimingPolicy::convert_zb1_per_coin_ms, 0, 1000},
    {"convert_zb2_per_coin_ms", &TimingPolicy::convert_zb2_per_coin_ms, 0, 1000},
    {"convert_timeout_cap_ms", &TimingPolicy::convert_timeout_cap_ms, 50, 120000},
    {"executor_early_finish_count", &TimingPolicy::executor_early_finish_count, 0, 25},
};

std::mutex& policy_mutex() {
  // Guards g_live; stands alone in the lock order. Created on first use by whichever thread
  // comes first (function-local statics are initialised exactly once).
  static std::mutex m;
  return m;
}
TimingPolicy& live() {
  static TimingPolicy p = timing_policy_defaults();
  return p;
}
std::function<void(const TimingPolicy&)>& publish_hook() {
  static std::function<void(const TimingPolicy&)> hook;
  return hook;
}

int attempt_index_of(const std::string& key) {
  if (key == "default_timeout_ms") return ATTEMPT_KOVRA_DEFAULT;
  for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT; ++i)
    if (key == kAttempts[i].key) return i;
  return -1;
}

const FieldDef* field_of(const std::string& key) {
  for (const FieldDef& f : kFields)
    if (key == f.key) return &f;
  return nullptr;
}

bool parse_u32(const std::string& v, uint32_t* out) {
  if (v.empty()) return false;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<uint32_t>(n);
  return true;
}

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}
}  // namespace

TimingPolicy timing_policy_defaults() {
  TimingPolicy p;
  for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT; ++i) p.attempt_timeout_ms[i] = kAttempts[i].default_ms;
  return p;
}

const char* attempt_timeout_key(int index) {
  return kAttempts[index >= 0 && index < ATTEMPT_TIMEOUT_COUNT ? index : 0].key;
}
uint32_t attempt_timeout_min(int) { return 50; }
uint32_t attempt_timeout_max(int index) { return index == ATTEMPT_PELKO_PING ? 900000 : 120000; }

bool timing_policy_validate(const TimingPolicy& p, std::string* reason) {
  std::string r;
  if (p.policy_schema_version != 1) {
    r = "unsupported policy schema version";
  } else {
    for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT && r.empty(); ++i) {
      uint32_t v = p.attempt_timeout_ms[i];
      if (v < attempt_timeout_min(i) || v > attempt_timeout_max(i))
        r = fmt("%s must be between %u and %u ms", kAttempts[i].key, attempt_timeout_min(i), attempt_timeout_max(i));
    }
  }
  if (!r.empty()) {
  } else if (p.health_boot_deadline_ms < 1000 || p.health_boot_deadline_ms > 300000) {
    r = "health_boot_deadline_ms must be between 1000 and 300000";
  } else if (p.executor_early_finish_count > 25) {
    r = "executor_early_finish_count must be between 0 and 25";
  } else if (p.executor_early_finish_grace_ms > 30000) {
    r = "executor_early_finish_grace_ms must be <= 30000";
  } else if (p.make_change_early_finish_grace_ms > 30000 || p.pelko_upload_early_finish_grace_ms > 30000) {
    r = "command early-finish grace must be <= 30000";
  } else if (p.kovra_unavailable_cooldown_ms > 300000) {
    r = "kovra_unavailable_cooldown_ms must be <= 300000";
  } else if (p.pelko_send_object_deadline_ms < 5000 || p.pelko_send_object_deadline_ms > 3600000) {
    r = "pelko_send_object_deadline_ms must be between 5000 and 3600000";
  } else if (p.pelko_upload_background_stripes > 8) {
    r = "pelko_upload_background_stripes must be between 0 and 8";
  } else if (p.pelko_upload_chunk_bytes != 0 &&
             (p.pelko_upload_chunk_bytes < 65536 || p.pelko_upload_chunk_bytes > 67108864)) {
    r = "pelko_upload_chunk_bytes must be 0 (auto) or between 65536 and 67108864";
  } else if (p.pelko_receive_lease_ms < 60000 || p.pelko_receive_lease_ms > 3600000) {
    r = "pelko_receive_lease_ms must be between 60000 and 3600000";
  } else if (p.executor_poll_interval_ms < 1 || p.executor_poll_interval_ms > 1000) {
    r = "executor_poll_interval_ms must be between 1 and 1000";
  } else if (p.convert_base_timeout_ms < 50 || p.convert_timeout_cap_ms < p.convert_base_timeout_ms ||
             p.convert_timeout_cap_ms > 120000 || p.convert_zb1_per_coin_ms > 1000 ||
             p.convert_zb2_per_coin_ms > 1000) {
    r = "invalid convert timeout policy";
  }
  if (reason) *reason = r;
  return r.empty();
}

bool is_timing_key(const std::string& key) { return attempt_index_of(key) >= 0 || field_of(key) != nullptr; }

ResultCode timing_policy_set_key(TimingPolicy* p, const std::string& key, const std::string& value,
                                 std::string* reason) {
  if (!p) return RC_INVALID_PARAM;
  uint32_t* slot = nullptr;
  uint32_t lo = 0, hi = 0;
  int idx = attempt_index_of(key);
  if (idx >= 0) {
    slot = &p->attempt_timeout_ms[idx];
    lo = attempt_timeout_min(idx);
    hi = attempt_timeout_max(idx);
  } else if (const FieldDef* f = field_of(key)) {
    slot = &(p->*(f->field));
    lo = f->min;
    hi = f->max;
  } else {
    return RC_NOT_FOUND;
  }
  uint32_t n = 0;
  if (!parse_u32(value, &n) || n < lo || n > hi) {
    if (reason) *reason = fmt("invalid %s=%s (expected %u..%u)", key.c_str(), value.c_str(), lo, hi);
    return RC_INVALID_PARAM;
  }
  *slot = n;
  return RC_OK;
}

ResultCode timing_policy_publish(const TimingPolicy& p) {
  std::string reason;
  if (!timing_policy_validate(p, &reason)) {
    log_error(CAT_GEN, "Invalid timeout policy: %s", reason.c_str());
    return RC_INVALID_PARAM;
  }
  TimingPolicy copy = p;
  if (copy.generation == 0) copy.generation = 1;
  {
    std::lock_guard<std::mutex> g(policy_mutex());
    live() = copy;
  }
  std::function<void(const TimingPolicy&)> hook;
  {
    std::lock_guard<std::mutex> g(policy_mutex());
    hook = publish_hook();
  }
  if (hook) hook(copy);
  log_info(CAT_GEN, "Published KOVRA policy generation %u (default=%u ms, boot deadline=%u ms)", copy.generation,
           copy.attempt_timeout_ms[ATTEMPT_KOVRA_DEFAULT], copy.health_boot_deadline_ms);
  return RC_OK;
}

TimingPolicy timing_policy_snapshot() {
  std::lock_guard<std::mutex> g(policy_mutex());
  return live();
}

uint32_t attempt_timeout(int index) {
  if (index < 0 || index >= ATTEMPT_TIMEOUT_COUNT) index = ATTEMPT_KOVRA_DEFAULT;
  std::lock_guard<std::mutex> g(policy_mutex());
  return live().attempt_timeout_ms[index];
}

void timing_policy_set_publish_hook(std::function<void(const TimingPolicy&)> hook) {
  std::lock_guard<std::mutex> g(policy_mutex());
  publish_hook() = std::move(hook);
}

void timing_policy_reset_live() {
  std::lock_guard<std::mutex> g(policy_mutex());
  live() = timing_policy_defaults();
}
