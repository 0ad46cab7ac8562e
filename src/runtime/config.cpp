#include "runtime/config.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "base/amount.h"
#include "runtime/data_root.h"
#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "runtime/http_get.h"
#include "runtime/log.h"
#include "runtime/startup.h"
#include "runtime/timing_policy.h"

namespace {
// Guards g_settings and the writes of the file; stands alone in the lock order.
std::mutex g_config_mutex;
ConfigSettings g_settings;

std::string trim(const std::string& s, bool leading, bool trailing) {
  size_t b = 0, e = s.size();
  if (leading)
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  if (trailing)
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// The value with a comment removed: cut at the first `#` that follows a space or a tab.
std::string clean_value(const std::string& raw) {
  std::string v = raw;
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] == '#' && (v[i - 1] == ' ' || v[i - 1] == '\t')) {
      v.resize(i);
      break;
    }
  }
  return trim(v, false, true);
}

bool parse_bool(const std::string& v) { return v == "true" || v == "1"; }

// All digits, no sign, no overflow.
bool parse_u64_strict(const std::string& v, uint64_t* out) {
  if (v.empty()) return false;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return false;
    n = n * 10 + d;
  }
  *out = n;
  return true;
}

// As a C integer conversion: optional blanks and sign, then the leading digits; 0 when none.
long long parse_leading(const std::string& v) {
  errno = 0;
  long long n = strtoll(v.c_str(), nullptr, 10);
  if (errno == ERANGE) return n < 0 ? LLONG_MIN : LLONG_MAX;
  return n;
}

long long clamp_ll(long long v, long long lo, long long hi) { return v < lo ? lo : (v > hi ? hi : v); }

// A whole number of Zorbit for the legacy keys: leading digits, then only blanks or a comment.
uint32_t parse_legacy_whole(const std::string& v) {
  size_t i = 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  size_t start = i;
  uint64_t n = 0;
  while (i < v.size() && v[i] >= '0' && v[i] <= '9') {
    n = n * 10 + static_cast<uint64_t>(v[i] - '0');
    if (n > 1000000) n = 1000001;  // clamped below; stops overflow
    ++i;
  }
  if (i == start) return 0;
  while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
  if (i < v.size() && v[i] != '#') return 0;
  return static_cast<uint32_t>(n > 1000000 ? 1000000 : n);
}

bool equals_ignore_case(const std::string& a, const char* b) {
  size_t i = 0;
  for (; b[i]; ++i) {
    if (i >= a.size()) return false;
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size();
}

std::string cut(const std::string& s, size_t max) { return s.size() > max ? s.substr(0, max) : s; }

// Reads one plain key (raw value). `inbox_fee_read` tells whether `pelko_default_inbox_fee` has
// been read earlier in this file.
void read_plain_key(ConfigSettings& s, const std::string& key, const std::string& raw, bool* inbox_fee_read) {
  if (key == "http_port") {
    uint64_t port = 0;
    if (parse_u64_strict(raw, &port) && port >= 1 && port <= 65535) s.file_http_port = static_cast<uint16_t>(port);
  } else if (key == "debug_mode") {
    s.file_debug_mode = parse_bool(raw);
  } else if (key == "default_wallet") {
    s.current_wallet = cut(raw, 63);
  } else if (key == "payment_wallet") {
    std::string w = cut(raw, 63);
    if (equals_ignore_case(w, "Mail")) {
      fprintf(stderr, "WARNING: rest_core.conf payment_wallet=%s is not allowed; falling back to %s\n", w.c_str(),
              "Default");
      w = "Default";
    }
    s.payment_wallet = w;
  } else if (key == "pelko_upload_locker_fee_zb") {
    s.upload_locker_fee_zb = parse_legacy_whole(raw);
    fprintf(stderr,
            "WARNING: pelko_upload_locker_fee_zb is deprecated under size-based upload fees and is ignored (use "
            "pelko_upload_fee_per_mb)\n");
  } else if (key == "pelko_upload_fee_per_mb") {
    uint64_t units = 0;
    if (parse_fee_amount(raw, &units) == RC_OK)
      s.upload_fee_per_mb_units = units;
    else
      fprintf(stderr, "WARNING: invalid pelko_upload_fee_per_mb=%s; keeping default\n", raw.c_str());
  } else if (key == "pelko_upload_welfare_mb") {
    uint64_t mb = 0;
    if (!parse_u64_strict(raw, &mb)) mb = 0;
    if (mb > 1048576) mb = 1048576;
    s.upload_welfare_bytes = mb * 1048576ULL;
  } else if (key == "pelko_prebreak_dn1_target") {
    s.prebreak_dn1_target = static_cast<int32_t>(clamp_ll(parse_leading(raw), 0, 100000));
  } else if (key == "pelko_prebreak_dn2_target") {
    s.prebreak_dn2_target = static_cast<int32_t>(clamp_ll(parse_leading(raw), 0, 100000));
  } else if (key == "pelko_locker_funding_enabled") {
    s.locker_funding_enabled = parse_bool(raw);
  } else if (key == "pelko_send_log_enabled") {
    s.send_log_enabled = parse_bool(raw);
  } else if (key == "pelko_max_attachment_bytes") {
    uint64_t n = 0;
    if (parse_u64_strict(raw, &n) && n != 0)
      s.max_attachment_bytes = n;
    else
      fprintf(stderr, "WARNING: invalid pelko_max_attachment_bytes=%s; keeping default\n", raw.c_str());
  } else if (key == "pelko_default_inbox_fee") {
    uint64_t units = 0;
    if (parse_fee_amount(raw, &units) == RC_OK) {
      s.default_inbox_fee_units = units;
      s.default_inbox_fee_set = true;
      *inbox_fee_read = true;
    } else {
      fprintf(stderr, "WARNING: invalid pelko_default_inbox_fee=%s; keeping current value\n", raw.c_str());
    }
  } else if (key == "pelko_default_inbox_fee_zb") {
    if (!*inbox_fee_read)
      s.default_inbox_fee_units =
          static_cast<uint64_t>(clamp_ll(parse_leading(raw), 0, 1000000)) * kUnitsPerZorbit;
  } else if (key == "identity_email") {
    s.identity.email = cut(raw, 255);
  } else if (key == "identity_first_name") {
    s.identity.first_name = cut(raw, 63);
  } else if (key == "identity_last_name") {
    s.identity.last_name = cut(raw, 63);
  } else if (key == "identity_description") {
    s.identity.description = cut(raw, 127);
  } else if (key == "identity_class_name") {
    s.identity.class_name = cut(raw, 31);
  } else if (key == "identity_sn") {
    // Leading digits only: a sign would otherwise wrap into a huge serial number.
    uint64_t sn = 0;
    for (size_t i = 0; i < raw.size() && raw[i] >= '0' && raw[i] <= '9'; ++i) {
      sn = sn * 10 + static_cast<uint64_t>(raw[i] - '0');
      if (sn > UINT32_MAX) sn = UINT32_MAX;
    }
    s.identity.serial_number = static_cast<uint32_t>(sn);
  } else if (key == "identity_denomination") {
    s.identity.denomination = static_cast<int8_t>(clamp_ll(parse_leading(raw), INT8_MIN, INT8_MAX));
  } else if (key == "identity_beacon_kovra" || key == "identity_secondary_beacon_kovra") {
    uint64_t id = 0;
    if (parse_u64_strict(raw, &id) && id <= 24) {
      if (key == "identity_beacon_kovra")
        s.identity.beacon_kovra = static_cast<uint32_t>(id);
      else
        s.identity.secondary_beacon_kovra = static_cast<uint32_t>(id);
    }
  } else if (key == "drd_sync_interval_minutes") {
    s.drd_sync_interval_minutes = static_cast<int32_t>(clamp_ll(parse_leading(raw), 5, 1440));
  } else if (key == "drd_sync_shards") {
    s.drd_sync_shards = static_cast<int32_t>(clamp_ll(parse_leading(raw), 1, 25));
  } else if (key == "drd_sync_page_size") {
    s.drd_sync_page_size = static_cast<int32_t>(clamp_ll(parse_leading(raw), 1, 200));
  } else if (key == "rkeys_url" || key == "myip_url") {
    bool ok = raw.size() <= 255 && (raw.rfind("https://", 0) == 0 || is_loopback_http_url(raw));
    if (ok) (key == "rkeys_url" ? s.rkeys_url : s.myip_url) = raw;
  }
}

// A value as written: CR and LF removed, so no value can add a line of its own.
std::string one_line(const std::string& v) {
  std::string out;
  out.reserve(v.size());
  for (char c : v)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

void add(std::string& out, const char* f, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& out, const char* f, ...) {
  va_list ap;
  va_start(ap, f);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(nullptr, 0, f, ap);
  va_end(ap);
  if (n > 0) {
    std::string buf(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(buf.data(), buf.size(), f, ap2);
    buf.resize(static_cast<size_t>(n));
    out += buf;
  }
  va_end(ap2);
}

std::string render(const ConfigSettings& s, const TimingPolicy& t, int port, bool debug) {
  std::string o;
  const char* tf[] = {"false", "true"};
  add(o, "# rest_core configuration file\n");
  add(o, "# Generated by %s v%s\n\n", PRODUCT_NAME, PRODUCT_VERSION);
  add(o, "# HTTP server port (default: %d)\n", static_cast<int>(DEFAULT_HTTP_PORT));
  add(o, "http_port=%d\n\n", port);
  add(o, "# Enable debug mode (true/false)\n");
  add(o, "debug_mode=%s\n\n", tf[debug]);

  add(o, "# ============================================================================\n");
  add(o, "# KOVRA TIMING POLICY\n");
  add(o, "# ============================================================================\n");
  add(o, "# All values are milliseconds unless the key says otherwise.\n");
  add(o, "# On a slow or distant connection, raise kovra_default_attempt_timeout_ms first.\n");
  add(o, "# attempt timeout: how long one request to one server may take before it counts as\n");
  add(o, "#   timed out (each command has its own below).\n");
  add(o, "# boot deadline: the total time the start-up health check may use.\n");
  add(o, "# early finish: stop waiting once enough servers have answered, after a short grace.\n");
  add(o, "# A value out of range is logged as 'rest_core.conf:<line>: <reason>' and the\n");
  add(o, "# previous policy is kept as a whole.\n");
  add(o, "# ============================================================================\n");
  add(o, "policy_schema_version=%u\n\n", t.policy_schema_version);

  add(o, "# Per-command attempt timeouts: one request to one server.\n");
  add(o, "# kovra_* keys cover coin commands, pelko_* the mail commands, health_* the health\n");
  add(o, "# checks; the range of each key is given beside it.\n");
  for (int i = 0; i < ATTEMPT_TIMEOUT_COUNT; ++i)
    add(o, "%s=%u    # range %u..%u\n", attempt_timeout_key(i), t.attempt_timeout_ms[i], attempt_timeout_min(i),
        attempt_timeout_max(i));
  add(o, "\n");

  add(o, "# Boot health check total deadline (range 1000..300000).\n");
  add(o, "health_boot_deadline_ms=%u\n\n", t.health_boot_deadline_ms);

  add(o, "# Early finish: once this many servers have answered, wait only the grace time for the\n");
  add(o, "# rest (count range 0..25; 0 turns early finish off).\n");
  add(o, "executor_early_finish_count=%d\n", static_cast<int>(t.executor_early_finish_count));
  add(o, "executor_early_finish_grace_ms=%u    # range 0..30000\n", t.executor_early_finish_grace_ms);
  add(o, "make_change_early_finish_grace_ms=%u    # range 0..30000\n", t.make_change_early_finish_grace_ms);
  add(o, "pelko_upload_early_finish_grace_ms=%u    # range 0..30000\n", t.pelko_upload_early_finish_grace_ms);

  add(o, "# A server that stopped answering is skipped for this long (range 0..300000;\n");
  add(o, "# 0 turns the cool-down off).\n");
  add(o, "kovra_unavailable_cooldown_ms=%u\n", t.kovra_unavailable_cooldown_ms);

  add(o, "# A mail send needs 8 of its 9 stripes on the servers. Once 8 are stored, this many\n");
  add(o, "# stragglers may finish quietly in the background (range 0..8).\n");
  add(o, "# 1 lets the ninth stripe finish, which keeps full parity.\n");
  add(o, "# 0 cancels the stragglers at once.\n");
  add(o, "# Higher values only matter for senders with more stripes in flight.\n");
  add(o, "pelko_upload_background_stripes=%u\n", t.pelko_upload_background_stripes);

  add(o, "# Object-transfer chunk size in bytes.\n");
  add(o, "# 0 = use the size the server advertises (recommended).\n");
  add(o, "# 16777216 suits a fast local network.\n");
  add(o, "# 1048576 suits a high-latency link.\n");
  add(o, "# Range: 0, or 65536..67108864.\n");
  add(o, "# Larger chunks mean fewer round trips but longer retries.\n");
  add(o, "pelko_upload_chunk_bytes=%u\n", t.pelko_upload_chunk_bytes);

  add(o, "# Total time one mail object send may take (range 5000..3600000).\n");
  add(o, "# Past it the send fails and may be retried.\n");
  add(o, "pelko_send_object_deadline_ms=%u\n", t.pelko_send_object_deadline_ms);
  add(o, "# How long a receive holds its lease on a message before another\n");
  add(o, "# attempt may take it over (range 60000..3600000).\n");
  add(o, "# Raise it for very large downloads on slow links.\n");
  add(o, "pelko_receive_lease_ms=%u\n", t.pelko_receive_lease_ms);
  add(o, "# How often the executor checks its servers' answers (range 1..1000).\n");
  add(o, "executor_poll_interval_ms=%u\n\n", t.executor_poll_interval_ms);

  add(o, "# Legacy conversion timeout: base + per-coin time x number of legacy coins,\n");
  add(o, "# capped at convert_timeout_cap_ms (base 50..120000, per coin 0..1000,\n");
  add(o, "# cap between the base and 120000).\n");
  add(o, "convert_base_timeout_ms=%u\n", t.convert_base_timeout_ms);
  add(o, "convert_zb1_per_coin_ms=%u\n", t.convert_zb1_per_coin_ms);
  add(o, "convert_zb2_per_coin_ms=%u\n", t.convert_zb2_per_coin_ms);
  add(o, "convert_timeout_cap_ms=%u\n\n", t.convert_timeout_cap_ms);

  add(o, "# Default wallet name\n");
  add(o, "default_wallet=%s\n\n", one_line(s.current_wallet).c_str());
  add(o, "# Wallet that funds the mail locker pool.\n");
  add(o, "# The Mail wallet is never allowed here; it falls back to Default.\n");
  add(o, "# The wallet must exist.\n");
  add(o, "payment_wallet=%s\n\n", one_line(s.payment_wallet).c_str());

  add(o, "# Size-based upload fees: pelko_upload_fee_per_mb is charged per MiB above the\n");
  add(o, "# free welfare allowance pelko_upload_welfare_mb (whole MiB). Fees are in Zorbit\n");
  add(o, "# with at most four decimals.\n");
  add(o, "pelko_upload_fee_per_mb=%s\n", format_units(s.upload_fee_per_mb_units).c_str());
  add(o, "pelko_upload_welfare_mb=%llu\n", static_cast<unsigned long long>(s.upload_welfare_bytes / 1048576ULL));
  add(o, "pelko_prebreak_dn1_target=%d\n", s.prebreak_dn1_target);
  add(o, "pelko_prebreak_dn2_target=%d\n", s.prebreak_dn2_target);
  add(o, "pelko_locker_funding_enabled=%s\n", tf[s.locker_funding_enabled]);
  add(o, "pelko_max_attachment_bytes=%llu\n", static_cast<unsigned long long>(s.max_attachment_bytes));
  add(o, "pelko_send_log_enabled=%s\n", tf[s.send_log_enabled]);
  if (s.default_inbox_fee_set)
    add(o, "pelko_default_inbox_fee=%s\n\n", format_units(s.default_inbox_fee_units).c_str());
  else
    add(o, "pelko_default_inbox_fee_zb=%d\n\n", static_cast<int>(s.default_inbox_fee_units / kUnitsPerZorbit));

  add(o, "# Pelko identity cache (auto-managed, do not edit)\n");
  add(o, "identity_email=%s\n", one_line(s.identity.email).c_str());
  add(o, "identity_first_name=%s\n", one_line(s.identity.first_name).c_str());
  add(o, "identity_last_name=%s\n", one_line(s.identity.last_name).c_str());
  add(o, "identity_description=%s\n", one_line(s.identity.description).c_str());
  add(o, "identity_class_name=%s\n", one_line(s.identity.class_name).c_str());
  add(o, "identity_sn=%u\n", s.identity.serial_number);
  add(o, "identity_denomination=%d\n", static_cast<int>(s.identity.denomination));
  add(o, "identity_beacon_kovra=%u\n", s.identity.beacon_kovra);
  add(o, "identity_secondary_beacon_kovra=%u\n", s.identity.secondary_beacon_kovra);

  add(o, "\n# Node role and background workers. The directory sync mirrors the user directory\n");
  add(o, "# into the local database drd_local.db.\n");
  add(o, "node_role=%s\nhealth_check_interval_hours=%u\necho_interval_seconds=%u\nbeacon_enabled=%s\n",
      s.role.server_role ? "server" : "desktop", s.role.health_check_interval_hours, s.role.echo_interval_seconds,
      tf[s.role.beacon_enabled]);
  add(o, "drd_sync_enabled=%s\n", tf[s.role.drd_sync_enabled]);
  add(o, "drd_sync_interval_minutes=%d    # range 5..1440\n",
      s.drd_sync_interval_minutes <= 0 ? 60 : s.drd_sync_interval_minutes);
  add(o, "drd_sync_shards=%d    # K cap; range 1..25; clamped to healthy count\n",
      s.drd_sync_shards <= 0 ? 10 : s.drd_sync_shards);
  add(o, "drd_sync_page_size=%d    # range 1..200\n", s.drd_sync_page_size <= 0 ? 200 : s.drd_sync_page_size);
  // Endpoints the user configured survive a rewrite; the built-in ones are never written.
  if (!s.rkeys_url.empty()) add(o, "rkeys_url=%s\n", one_line(s.rkeys_url).c_str());
  if (!s.myip_url.empty()) add(o, "myip_url=%s\n", one_line(s.myip_url).c_str());
  return o;
}

// Writes the file from `s`; the caller holds g_config_mutex.
ResultCode write_locked(const ConfigSettings& s) {
  const StartupOptions& opts = startup_state().opts;
  std::string text = render(s, timing_policy_snapshot(), opts.port, opts.debug);
  std::string path = config_path();
  if (durable_write(path, text) != RC_OK) {
    log_error(CAT_GEN, "Failed to save configuration to %s", path.c_str());
    return RC_FILE;
  }
  log_info(CAT_GEN, "Saved configuration to %s", CONFIG_FILE_NAME);
  return RC_OK;
}

ConfigSettings defaults_for_current_root() {
  ConfigSettings s;
  s.role = role_policy_initial(data_root());
  return s;
}
}  // namespace

std::string config_path() { return data_root() + "/" + CONFIG_FILE_NAME; }

ConfigSettings config_snapshot() {
  std::lock_guard<std::mutex> g(g_config_mutex);
  return g_settings;
}

void config_replace(const ConfigSettings& s) {
  std::lock_guard<std::mutex> g(g_config_mutex);
  g_settings = s;
}

void config_reset_defaults() {
  ConfigSettings s = defaults_for_current_root();
  std::lock_guard<std::mutex> g(g_config_mutex);
  g_settings = s;
}

ResultCode config_load() {
  std::ifstream in(config_path(), std::ios::binary);
  if (!in) return RC_NOT_FOUND;

  ConfigSettings s = config_snapshot();
  TimingPolicy work = timing_policy_snapshot();
  bool inbox_fee_read = false;
  ResultCode result = RC_OK;
  std::string line;
  int line_no = 0;
  // std::getline reads a line of any length whole: a long identity line is one setting, never
  // several.
  while (std::getline(in, line)) {
    ++line_no;
    // An editor may put a byte-order mark before the first key.
    if (line_no == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (line.empty() || line[0] == '\r' || line[0] == '#') continue;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = trim(line.substr(0, eq), true, true);
    std::string raw = trim(line.substr(eq + 1), true, false);
    if (is_timing_key(key)) {
      std::string reason;
      if (timing_policy_set_key(&work, key, clean_value(raw), &reason) != RC_OK) {
        log_error(CAT_GEN, "%s:%d: %s", CONFIG_FILE_NAME, line_no, reason.c_str());
        result = RC_INVALID_PARAM;
        break;
      }
    } else if (is_role_key(key)) {
      if (!role_set_key(&s.role, key, clean_value(raw)))
        log_warn(CAT_GEN, "%s:%d: invalid %s; keeping previous valid value or role default", CONFIG_FILE_NAME, line_no,
                 key.c_str());
    } else {
      read_plain_key(s, key, raw, &inbox_fee_read);
    }
  }
  role_apply_defaults(&s.role);
  config_replace(s);
  if (result != RC_OK) return result;

  work.generation = work.generation == UINT32_MAX ? 1 : work.generation + 1;
  if (timing_policy_publish(work) != RC_OK) return RC_INVALID_PARAM;
  log_info(CAT_GEN, "Loaded configuration from %s", CONFIG_FILE_NAME);
  return RC_OK;
}

ResultCode config_write_file() {
  std::lock_guard<std::mutex> g(g_config_mutex);
  return write_locked(g_settings);
}

ResultCode config_write_default_file() {
  if (is_file(config_path())) return RC_OK;
  config_reset_defaults();
  ConfigSettings s = config_snapshot();
  if (role_was_inferred_server(s.role)) log_warn(CAT_GEN, "node_role not set; inferred server from ../config.toml");
  std::lock_guard<std::mutex> g(g_config_mutex);
  return write_locked(g_settings);
}

ResultCode config_modify_and_save(const std::function<bool(ConfigSettings&)>& change, bool* changed) {
  if (changed) *changed = false;
  if (!change) return RC_INVALID_PARAM;
  std::lock_guard<std::mutex> g(g_config_mutex);
  ConfigSettings next = g_settings;
  if (!change(next)) return RC_OK;
  g_settings = next;
  if (changed) *changed = true;
  return write_locked(g_settings);
}
