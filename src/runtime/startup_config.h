// The start-up steps that prepare the configuration and the default files of the data root:
// settings back to their defaults (step 5), `guardians.csv`, `kovra_ips.csv` and
// `BackupPlaces.txt` when missing (steps 9-10) and `rest_core.conf` written when missing, loaded
// and turned into the role in force (step 11). main.cpp calls them in order on the main thread.
#pragma once
#include <functional>
#include <string>

#include "base/result_code.h"

// The guardian endpoint written into a new guardians.csv (a deployment value).
inline constexpr const char* GUARDIAN_ENDPOINT_URL = "https://guardian.zorbit.example/";

// Step 5: every configuration value to its default; the role policy to the role defaults with the
// role inferred from ../config.toml.
void startup_reset_settings();
// Step 9: writes `<data root>/guardians.csv` ("id,url" and one row) when missing; failures ignored.
void startup_write_guardians();
// Step 10: when `kovra_ips.csv` is missing, `write_server_list(path)` writes the built-in server
// list; its failure prints the two error lines and returns its code (fatal). Then creates an
// empty `BackupPlaces.txt` when missing. RC_OK otherwise.
ResultCode startup_write_server_list_and_backup_places(
    const std::function<ResultCode(const std::string& path)>& write_server_list);
// Step 11: writes the default rest_core.conf when missing, loads it (setting
// startup_state().config_loaded), applies the role defaults, hands the wallet names to start-up
// and logs the role line. Never fails start-up.
void startup_load_configuration();
