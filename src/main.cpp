// Entry point: runs start-up in its fixed order, serves the loopback HTTP API on the main thread
// until /api/system/shutdown, then stops everything in the fixed shutdown order. Each numbered
// step below is one start-up step; a subsystem joins by filling in its step in place, so the
// order stays readable here and nowhere else.
#include <cstdio>

#include "coins/receipts.h"
#include "coins/wallet_endpoints.h"
#include "coins/wallet_registry.h"
#include "http/event_stream.h"
#include "http/http_server.h"
#include "http/reply.h"
#include "http/routes.h"
#include "http/task_endpoint.h"
#include "http/task_registry.h"
#include "net/echo_worker.h"
#include "net/kovra_endpoints.h"
#include "net/kovra_protocol.h"
#include "net/server_directory.h"
#include "net/transport.h"
#include "runtime/config.h"
#include "runtime/crash_report.h"
#include "runtime/data_root.h"
#include "runtime/log.h"
#include "runtime/log_rotate.h"
#include "runtime/send_log.h"
#include "runtime/startup.h"
#include "runtime/startup_config.h"
#include "runtime/telemetry.h"
#include "runtime/update_cleanup.h"
#include "runtime/timing_policy.h"

namespace {

// The one HTTP server; the shutdown route keeps a pointer to it as its context.
HttpServer g_server;

// A fatal start-up error once the transport is up: it is released before the instance lock.
int fatal_after_transport(ResultCode rc) {
  transport_cleanup();
  return startup_fatal(rc);
}

// Fills the route table at each bind attempt.
void register_routes(HttpServer& server) { routes_register_all(server); }

}  // namespace

int main(int argc, char** argv) {
  // 1. Crash filter.
  crash_report_install();

  // 2. Command line.
  const int early_exit = startup_command_line(argc, argv);
  if (early_exit >= 0) return early_exit;
  StartupState& st = startup_state();
  http_set_api_token(st.opts.api_token);

  // 3-4. Banner, executable folder, data root, wallets folder, wallet names.
  ResultCode rc = startup_paths();
  if (rc != RC_OK) return startup_fatal(rc);

  // 5. Configuration defaults and role defaults.
  startup_reset_settings();

  // 6. First folders of the data root.
  rc = startup_create_folders();
  if (rc != RC_OK) return startup_fatal(rc);

  // 7. Instance lock.
  rc = startup_instance_lock();
  if (rc != RC_OK) return startup_fatal(rc);

  // 8. Default and Mail wallet folders.
  rc = wallet_startup_create_defaults(wallets_dir());
  if (rc != RC_OK) return startup_fatal(rc);

  // 9. guardians.csv when missing.
  startup_write_guardians();

  // 10. kovra_ips.csv and BackupPlaces.txt when missing.
  rc = startup_write_server_list_and_backup_places(write_default_server_file);
  if (rc != RC_OK) return startup_fatal(rc);

  // 11. rest_core.conf: default file when missing, load, role defaults, role log line. Each
  // published timing policy hands its default attempt time-out to the transport.
  timing_policy_set_publish_hook(
      [](const TimingPolicy& p) { transport_set_default_timeout(p.attempt_timeout_ms[ATTEMPT_KOVRA_DEFAULT]); });
  startup_load_configuration();

  // 12. Transport adapter for the role in force (the server list, with discovery in the desktop
  // role, and the saved statistics).
  if (transport_init(config_snapshot().role.server_role) != RC_OK) {
    fprintf(stderr, "ERROR: Failed to initialize transport adapter\n");
    return startup_fatal(RC_NETWORK);
  }

  // 13. Wallet registry.
  rc = wallet_startup_registry(data_root(), wallets_dir());
  if (rc != RC_OK) return fatal_after_transport(rc);

  // 14. Locker-funding state and identity settings.

  // 15. Socket library (nothing to start on POSIX).

  // 16. Server list.
  if (loaded_server_count() != kovra::kServerCount) {
    fprintf(stderr, "ERROR: Failed to load cached KOVRA servers\n");
    fprintf(stderr, "ERROR: Failed to load KOVRA servers\n");
    return fatal_after_transport(RC_FILE);
  }
  printf("Loaded %d KOVRA servers from cached topology.\n", loaded_server_count());
  printf("\nInitialization complete.\n\n");

  // 17-18. The command-line port and debug flag stay in force; configuration summary.
  startup_print_configuration();

  // 19. Main log (rotation first).
  LogRotateResult rotated;
  rotate_main_log(data_root(), &rotated);
  startup_open_log();
  if (rotated.rotated) log_info(CAT_GEN, "Rotated the previous main.log to %s", rotated.moved_to.c_str());

  // 20. Per-wallet funding locks.

  // 21. Telemetry and send log.
  telemetry_open(data_root());
  send_log_open(data_root(), send_log_resolve_enabled(config_snapshot().send_log_enabled));

  // 22. Debug level and start lines.
  startup_log_start();

  // 23. Update clean-up.
  update_cleanup(st.exe_dir);
  crash_report_test_trigger();  // test-only: a crash on request, with the log open

  // 24. Boot echo (never stops start-up).
  boot_echo();

  // 25. Upgrade mode.
  if (st.opts.upgrade_mode != UPGRADE_NONE) {
    fprintf(stderr, "ERROR: Upgrading legacy coins is not available yet in this version of %s.\n", PRODUCT_NAME);
    log_error(CAT_GEN, "Upgrade mode requested but not available yet");
    transport_cleanup();
    log_close();
    return 1;
  }

  // 26. Health manager.

  // 27. Encryption-at-rest providers and boot scan.

  // 28. Unprocessed coins; receipt writer.
  receipt_install_writer();

  // 29. HTTP server with the port fallback; core.port.
  wallet_endpoints_provide();
  task_endpoint_provide();
  kovra_endpoints_provide();
  if (http_server_start_with_fallback(g_server, st.opts.port, st.opts.port_explicit, register_routes, &st.bound_port) !=
      RC_OK) {
    fprintf(stderr, "ERROR: Failed to start HTTP server on port %d\n", st.opts.port);
    log_error(CAT_HTTP, "Failed to start HTTP server on port %d", st.opts.port);
    transport_cleanup();
    log_close();
    return 1;
  }
  st.opts.port = st.bound_port;
  reply_set_service_port(st.bound_port);
  startup_write_port_file(st.bound_port);
  startup_print_serving();

  // 30. Event stream on port + 100.
  if (st.bound_port <= 65435) {
    const unsigned sse_port = st.bound_port + 100u;
    if (event_stream_start(static_cast<uint16_t>(sse_port)) == RC_OK)
      log_info(CAT_HTTP, "SSE event stream running on http://%s:%u/events", "127.0.0.1", sse_port);
    else
      log_warn(CAT_HTTP, "SSE event stream failed to start on port %u \xE2\x80\x94 continuing without push notifications",
               sse_port);
  } else {
    log_warn(CAT_HTTP, "SSE event stream disabled: HTTP port %d is too high to add 100 safely", st.bound_port);
  }

  // 31. Background workers.
  echo_refresh_start(config_snapshot().role.echo_interval_seconds);

  // 32. Recovery worker.

  // 33. Mail subsystem.
  // Task reconciliation (no resumable transfers yet, so nothing is protected).
  task_reconcile_at_startup({}, RC_OK);

  // 34. Serve until /api/system/shutdown.
  http_server_run(g_server);

  // Shutdown, in this order:
  // 1. Object-transfer manager.
  // 2. Tell retry worker.
  // 3. Beacon (and its time stamps).
  // 4. Directory sync worker.
  // 5. Mail database, directory store, mail health tracker.
  // 6. Boot health worker, health manager.
  // 7. Listening socket; event stream.
  http_server_close(g_server);
  event_stream_stop();
  // 8. Mail health refresh and download-retry workers.
  echo_refresh_stop(2000);
  // 9. Send log and telemetry.
  send_log_close();
  telemetry_close();
  // 10-11. Server statistics saved with the transport's clean-up; closing lines, "shutdown
  // complete", main log.
  transport_cleanup();
  startup_shutdown_finish();
  return 0;
}
