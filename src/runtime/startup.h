// The runtime steps of start-up and shutdown that main.cpp runs in order: the command line, the
// banner and the process-wide paths, the first folders of the data root, the instance lock, the
// configuration summary, the main log, the port file, the fatal-error exit and the last steps of
// shutdown. Steps that belong to higher layers are called by main.cpp between these.
// Main thread only; the accessors of the process-wide paths may be read from any thread once
// start-up has set them.
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"
#include "runtime/cmdline.h"

// What start-up decided: the command-line options and the flags later steps read.
struct StartupState {
  StartupOptions opts;
  std::string exe_dir;
  bool config_loaded = false;  // set by the configuration step when rest_core.conf was read
  uint16_t bound_port = 0;     // the HTTP port in force once the server listens
};
StartupState& startup_state();

// Process-wide paths and names (set by startup_paths).
std::string wallets_dir();     // `<data root>/Wallets`
std::string current_wallet();  // "Default" until the configuration says otherwise
void set_current_wallet(const std::string& name);
std::string payment_wallet();  // "Default" until the configuration says otherwise
void set_payment_wallet(const std::string& name);

// Step 2: parses argv into startup_state().opts and prints what the parser returned. Returns -1
// to go on, or the exit code to end with at once (0 for --help/--version, 1 for an error).
int startup_command_line(int argc, char** argv);
// Steps 3-4: banner, executable folder, data root, wallets folder and wallet names, printed.
// RC_ERROR when the executable folder cannot be determined.
ResultCode startup_paths();
// Step 6: the data root, Wallets, Tasks and OldLogs with all parents. RC_FILE on failure (printed).
ResultCode startup_create_folders();
// Step 7: the instance lock. RC_BUSY when another instance runs (printed), other codes on failure.
ResultCode startup_instance_lock();
// Steps 17-18: prints where the configuration came from, the HTTP port and the debug mode. The
// command-line port and debug flag stay in force whatever the configuration file says.
void startup_print_configuration();
// Step 19: opens `<data root>/main.log` for appending and switches timestamps on.
void startup_open_log();
// Step 22: the debug level and the "REST Core starting" lines.
void startup_log_start();
// Writes the bound port to `<data root>/core.port` as "%u\n"; a failure is logged and survived.
void startup_write_port_file(uint16_t port);
// Prints and logs that the server is running on the port in force.
void startup_print_serving();
// The fatal path: prints "ERROR: Failed to initialize: <short name>", releases the instance lock
// and returns the exit code 1.
int startup_fatal(ResultCode rc);
// The last shutdown steps: the closing log lines, "shutdown complete" and the closed main log.
void startup_shutdown_finish();
