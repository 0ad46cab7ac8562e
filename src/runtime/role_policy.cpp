#include "runtime/role_policy.h"

#include <sys/stat.h>

#include <cstdio>

namespace {
bool parse_bounded(const std::string& v, uint32_t max, uint32_t* out) {
  if (v.empty()) return false;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > max) return false;
  }
  *out = static_cast<uint32_t>(n);
  return true;
}

bool parse_switch(const std::string& v, bool* out) {
  if (v == "true" || v == "1") {
    *out = true;
    return true;
  }
  if (v == "false" || v == "0") {
    *out = false;
    return true;
  }
  return false;
}

std::string parent_folder(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return "..";
  return slash == 0 ? "/" : p.substr(0, slash);
}
}  // namespace

bool role_inferred_server(const std::string& data_root) {
  if (data_root.empty()) return false;
  std::string toml = parent_folder(data_root) + "/config.toml";
  struct stat st;
  return ::stat(toml.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

RolePolicy role_policy_initial(const std::string& data_root) {
  RolePolicy p;
  p.server_role = role_inferred_server(data_root);
  role_apply_defaults(&p);
  return p;
}

void role_apply_defaults(RolePolicy* p) {
  if (!p) return;
  const bool server = p->server_role;
  if (!(p->set_flags & ROLE_SET_HEALTH_HOURS)) p->health_check_interval_hours = server ? 0 : 24;
  if (!(p->set_flags & ROLE_SET_ECHO_SECONDS)) p->echo_interval_seconds = server ? 3600 : 300;
  if (!(p->set_flags & ROLE_SET_BEACON)) p->beacon_enabled = !server;
  if (!(p->set_flags & ROLE_SET_DRD_SYNC)) p->drd_sync_enabled = !server;
}

bool role_was_inferred_server(const RolePolicy& p) { return p.server_role && !(p.set_flags & ROLE_SET_NODE_ROLE); }

bool is_role_key(const std::string& key) {
  return key == "node_role" || key == "health_check_interval_hours" || key == "echo_interval_seconds" ||
         key == "beacon_enabled" || key == "drd_sync_enabled";
}

bool role_set_key(RolePolicy* p, const std::string& key, const std::string& value) {
  if (!p) return false;
  if (key == "node_role") {
    if (value != "server" && value != "desktop") return false;
    p->server_role = value == "server";
    p->set_flags |= ROLE_SET_NODE_ROLE;
    return true;
  }
  if (key == "health_check_interval_hours") {
    if (!parse_bounded(value, 8760, &p->health_check_interval_hours)) return false;
    p->set_flags |= ROLE_SET_HEALTH_HOURS;
    return true;
  }
  if (key == "echo_interval_seconds") {
    if (!parse_bounded(value, 86400, &p->echo_interval_seconds)) return false;
    p->set_flags |= ROLE_SET_ECHO_SECONDS;
    return true;
  }
  if (key == "beacon_enabled") {
    if (!parse_switch(value, &p->beacon_enabled)) return false;
    p->set_flags |= ROLE_SET_BEACON;
    return true;
  }
  if (key == "drd_sync_enabled") {
    if (!parse_switch(value, &p->drd_sync_enabled)) return false;
    p->set_flags |= ROLE_SET_DRD_SYNC;
    return true;
  }
  return false;
}

std::string role_summary(const RolePolicy& p) {
  char buf[160];
  snprintf(buf, sizeof buf, "Core role=%s health_hours=%u echo_seconds=%u beacon=%s drd_sync=%s",
           p.server_role ? "server" : "desktop", p.health_check_interval_hours, p.echo_interval_seconds,
           p.beacon_enabled ? "true" : "false", p.drd_sync_enabled ? "true" : "false");
  return buf;
}
