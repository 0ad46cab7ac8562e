// The role policy: desktop or server role and the switches that decide which background workers
// run. The configuration loader sets fields from `rest_core.conf` (recording which ones it set);
// every switch it did not set takes its role default. The role itself, when not configured, is
// inferred from a regular file `config.toml` beside the data root. Plain values: the caller keeps
// the record (the configuration module holds the live one under its own lock).
#pragma once
#include <cstdint>
#include <string>

enum RoleSetFlag : uint32_t {
  ROLE_SET_HEALTH_HOURS = 1u << 0,
  ROLE_SET_ECHO_SECONDS = 1u << 1,
  ROLE_SET_BEACON = 1u << 2,
  ROLE_SET_DRD_SYNC = 1u << 3,
  ROLE_SET_NODE_ROLE = 1u << 4,
};

struct RolePolicy {
  bool server_role = false;
  bool beacon_enabled = true;
  bool drd_sync_enabled = true;
  uint32_t health_check_interval_hours = 24;  // 0..8760; 0 disables the boot health worker
  uint32_t echo_interval_seconds = 300;       // 0..86400; 0 disables the periodic echo worker
  uint32_t set_flags = 0;                     // RoleSetFlag bits set by the configuration file

  bool operator==(const RolePolicy& o) const = default;
};

// True when a regular file `config.toml` exists in the parent folder of `data_root`.
bool role_inferred_server(const std::string& data_root);
// A fresh policy: no set-flags, the role inferred from `data_root`, role defaults applied.
RolePolicy role_policy_initial(const std::string& data_root);
// Gives every switch whose set-flag is clear its default for the policy's role.
void role_apply_defaults(RolePolicy* p);
// True when the server role came from config.toml rather than from `node_role`.
bool role_was_inferred_server(const RolePolicy& p);

// Readers for the role keys of the configuration file. Each returns false for a bad value and
// leaves the policy unchanged; a good value sets the field and its set-flag.
bool role_set_key(RolePolicy* p, const std::string& key, const std::string& value);
// True for node_role, health_check_interval_hours, echo_interval_seconds, beacon_enabled and
// drd_sync_enabled.
bool is_role_key(const std::string& key);

// "Core role=%s health_hours=%u echo_seconds=%u beacon=%s drd_sync=%s".
std::string role_summary(const RolePolicy& p);
