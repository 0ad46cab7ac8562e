// The configuration file `rest_core.conf` in the data root: the settings held in memory, the
// reader with every key's type, range, default and reaction to a bad value, and the writer that
// replaces the whole file (temporary file + rename, never rewritten in place). The reader also
// fills the timing policy (runtime/timing_policy.h), published whole or not at all, and the role
// policy (runtime/role_policy.h). Start-up reads and writes the file on the main thread; the
// settings are read from any thread through config_snapshot(). The configuration lock guards the
// settings and the writes of the file; it stands alone in the lock order.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "base/result_code.h"
#include "runtime/identity_cache.h"
#include "runtime/role_policy.h"

inline constexpr const char* CONFIG_FILE_NAME = "rest_core.conf";

struct ConfigSettings {
  std::string current_wallet = "Default";  // `default_wallet`, at most 63 characters
  std::string payment_wallet = "Default";  // never "Mail" (any letter case)
  uint32_t upload_locker_fee_zb = 0;       // deprecated; read and kept, never used
  uint64_t default_inbox_fee_units = 0;
  bool default_inbox_fee_set = false;  // `pelko_default_inbox_fee` was given explicitly
  uint64_t upload_fee_per_mb_units = 1000000;
  uint64_t upload_welfare_bytes = 1048576;
  int32_t prebreak_dn1_target = 20;
  int32_t prebreak_dn2_target = 20;
  bool locker_funding_enabled = false;
  uint64_t max_attachment_bytes = 177167400960ULL;
  bool send_log_enabled = true;
  IdentityCache identity;
  // Outside endpoints of the peripheral tools; empty unless the file names one, and written back
  // only then.
  std::string rkeys_url;
  std::string myip_url;
  RolePolicy role;
  int32_t drd_sync_interval_minutes = 60;  // 5..1440
  int32_t drd_sync_shards = 10;            // 1..25
  int32_t drd_sync_page_size = 200;        // 1..200
  // `http_port` and `debug_mode` as read from the file: validated, shown, never put in force.
  uint16_t file_http_port = 0;
  bool file_debug_mode = false;

  bool operator==(const ConfigSettings& o) const = default;
};

// `<data root>/rest_core.conf`.
std::string config_path();
// A copy of the settings in memory.
ConfigSettings config_snapshot();
// Replaces the settings in memory (tests, and callers that change one value and save).
void config_replace(const ConfigSettings& s);

// Every setting to its default and the role policy to the role defaults with the role inferred
// from `config.toml`; the live timing policy is left alone.
void config_reset_defaults();
// Reads the file. RC_OK; RC_NOT_FOUND when there is no file (nothing changes); RC_INVALID_PARAM
// when a timing key holds a bad value (the load stops at that line, the settings of the earlier
// lines stay, the timing policy is not touched) or the whole timing policy fails validation (all
// plain settings stay, the timing policy is not published). Lines of any length are read whole.
ResultCode config_load();
// Rewrites the whole file from memory, with `http_port` and `debug_mode` as in force for this
// process (the start-up options). CR and LF are removed from every written value so a value can
// never start a line of its own. RC_OK or RC_FILE (logged "Failed to save configuration to %s").
ResultCode config_write_file();
// RC_OK at once when the file exists; otherwise resets to defaults and writes the file.
ResultCode config_write_default_file();
// Runs `change` on the settings under the configuration lock and, when it returns true, rewrites
// the file before the lock is released (so two changes never interleave their writes). RC_OK or
// the writer's RC_FILE; `*changed` (may be null) tells whether `change` returned true.
ResultCode config_modify_and_save(const std::function<bool(ConfigSettings&)>& change, bool* changed = nullptr);
