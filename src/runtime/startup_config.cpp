#include "runtime/startup_config.h"

#include <cstdio>

#include "runtime/config.h"
#include "runtime/data_root.h"
#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "runtime/log.h"
#include "runtime/startup.h"

void startup_reset_settings() { config_reset_defaults(); }

void startup_write_guardians() {
  const std::string path = data_root() + "/guardians.csv";
  if (exists(path)) return;
  std::string text = std::string("id,url\n0,") + GUARDIAN_ENDPOINT_URL + "\n";
  DurableOptions opt;
  opt.sync = false;
  if (durable_write(path, text, opt) != RC_OK) log_warn(CAT_GEN, "Could not write %s", path.c_str());
}

ResultCode startup_write_server_list_and_backup_places(
    const std::function<ResultCode(const std::string& path)>& write_server_list) {
  const std::string ips = data_root() + "/kovra_ips.csv";
  if (!exists(ips)) {
    ResultCode rc = write_server_list ? write_server_list(ips) : RC_INVALID_PARAM;
    if (rc != RC_OK) {
      fprintf(stderr, "ERROR: Failed to create default KOVRA IP file: %s\n", ips.c_str());
      fprintf(stderr, "ERROR: Failed to create default configuration files\n");
      return rc;
    }
  }
  const std::string places = data_root() + "/BackupPlaces.txt";
  if (!exists(places)) {
    DurableOptions opt;
    opt.sync = false;
    if (durable_write(places, std::string(), opt) != RC_OK) log_warn(CAT_GEN, "Could not create %s", places.c_str());
  }
  return RC_OK;
}

void startup_load_configuration() {
  ResultCode rc = config_write_default_file();
  if (rc != RC_OK && rc != RC_NOT_FOUND) fprintf(stderr, "WARNING: Failed to create default config file\n");
  rc = config_load();
  if (rc == RC_OK) {
    startup_state().config_loaded = true;
  } else if (rc != RC_NOT_FOUND) {
    log_warn(CAT_GEN, "Failed to load config file; keeping available settings and previous timing policy");
  }
  // config_load and config_reset_defaults leave the role defaults applied to every switch the
  // file did not set.
  ConfigSettings s = config_snapshot();
  if (role_was_inferred_server(s.role)) log_warn(CAT_GEN, "node_role not set; inferred server from ../config.toml");
  log_info(CAT_GEN, "%s", role_summary(s.role).c_str());
  set_current_wallet(s.current_wallet);
  set_payment_wallet(s.payment_wallet);
}
