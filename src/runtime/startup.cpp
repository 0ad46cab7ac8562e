#include "runtime/startup.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "runtime/data_root.h"
#include "runtime/instance_lock.h"
#include "runtime/log.h"

namespace {

StartupState g_state;
// Guards the wallet names, which the configuration and handlers may change after start-up.
// Taken alone.
std::mutex g_names_mutex;
std::string g_wallets_dir;
std::string g_current_wallet = "Default";
std::string g_payment_wallet = "Default";

// mkdir -p: every missing parent, from the left.
bool make_dirs(const std::string& path) {
  if (path.empty()) return false;
  std::string cur;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    cur = path.substr(0, slash == std::string::npos ? path.size() : slash);
    if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

StartupState& startup_state() { return g_state; }

std::string wallets_dir() {
  std::lock_guard<std::mutex> g(g_names_mutex);
  return g_wallets_dir.empty() ? data_root() + "/Wallets" : g_wallets_dir;
}
std::string current_wallet() {
  std::lock_guard<std::mutex> g(g_names_mutex);
  return g_current_wallet;
}
void set_current_wallet(const std::string& name) {
  std::lock_guard<std::mutex> g(g_names_mutex);
  g_current_wallet = name.substr(0, 63);
}
std::string payment_wallet() {
  std::lock_guard<std::mutex> g(g_names_mutex);
  return g_payment_wallet;
}
void set_payment_wallet(const std::string& name) {
  std::lock_guard<std::mutex> g(g_names_mutex);
  g_payment_wallet = name.substr(0, 63);
}

int startup_command_line(int argc, char** argv) {
  // Console output interleaves with the log until main.log opens; keep it in order.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer that goes away mid-write costs a failed send, never the process.
  signal(SIGPIPE, SIG_IGN);
  g_state = StartupState{};
  std::vector<std::string> args(argv + 1, argv + argc);
  CmdlineResult r = cmdline_parse(args, std::getenv("PELKO_API_TOKEN"), &g_state.opts);
  if (!r.err.empty()) fputs(r.err.c_str(), stderr);
  if (!r.out.empty()) fputs(r.out.c_str(), stdout);
  fflush(stdout);
  if (r.action == CmdlineAction::EXIT_OK) return 0;
  if (r.action == CmdlineAction::EXIT_FAIL) return 1;
  return -1;
}

ResultCode startup_paths() {
  printf("\n=== %s v%s ===\n\n", PRODUCT_NAME, PRODUCT_VERSION);
  std::string exe = executable_dir();
  if (exe.empty() || exe == "." || exe.size() >= 4096) {
    fprintf(stderr, "ERROR: Failed to determine executable directory\n");
    return RC_ERROR;
  }
  g_state.exe_dir = exe;
  printf("Executable path: %s\n", exe.c_str());
  std::string root = g_state.opts.data_root.empty() ? exe + "/Client_Data" : g_state.opts.data_root;
  set_data_root(root);
  printf("Client data:     %s\n", root.c_str());
  {
    std::lock_guard<std::mutex> g(g_names_mutex);
    g_wallets_dir = root + "/Wallets";
    g_current_wallet = "Default";
    g_payment_wallet = "Default";
  }
  printf("Wallets path:    %s\n", wallets_dir().c_str());
  printf("Current wallet:  %s\n\n", current_wallet().c_str());
  return RC_OK;
}

ResultCode startup_create_folders() {
  printf("Creating folder structure...\n");
  const std::string root = data_root();
  for (const std::string& dir : {root, wallets_dir(), root + "/Tasks", root + "/OldLogs"}) {
    if (!make_dirs(dir)) {
      fprintf(stderr, "ERROR: Failed to create Client_Data bootstrap directories\n");
      fprintf(stderr, "ERROR: Failed to create folder structure\n");
      return RC_FILE;
    }
  }
  printf("Folder structure created successfully.\n");
  return RC_OK;
}

ResultCode startup_instance_lock() {
  ResultCode rc = acquire_instance_lock(data_root());
  if (rc == RC_BUSY) {
    fprintf(stderr,
            "ERROR: Another instance is already running against:\n       %s\n"
            "       Close it (or wait for it to exit) before starting another.\n",
            data_root().c_str());
    return rc;
  }
  if (rc != RC_OK) {
    fprintf(stderr, "ERROR: Could not acquire the instance lock (%s)\n", instance_lock_path().c_str());
    return rc;
  }
  printf("Instance lock:   %s\n", instance_lock_path().c_str());
  return RC_OK;
}

void startup_print_configuration() {
  printf(g_state.config_loaded ? "Configuration:   Loaded from rest_core.conf\n" : "Configuration:   Using defaults\n");
  printf("  HTTP port:     %d\n", g_state.opts.port);
  printf("  Debug mode:    %s\n", g_state.opts.debug ? "enabled" : "disabled");
}

void startup_open_log() {
  if (log_open(data_root() + "/main.log")) log_set_timestamps(true);
}

void startup_log_start() {
  if (g_state.opts.debug) {
    log_set_min_level(LOG_DEBUG);
    log_info(CAT_GEN, "=== DEBUG MODE ACTIVE ===");
    log_info(CAT_GEN, "Histograms: ON | Hex dumps on error: ON");
  }
  log_info(CAT_GEN, "REST Core starting — port=%d, debug=%s, config=%s", g_state.opts.port,
           g_state.opts.debug ? "on" : "off", g_state.config_loaded ? "rest_core.conf" : "defaults");
  log_info(CAT_GEN, "Instance lock held: %s (data root: %s)", instance_lock_path().c_str(), data_root().c_str());
}

void startup_write_port_file(uint16_t port) {
  const std::string path = data_root() + "/core.port";
  FILE* f = fopen(path.c_str(), "w");
  bool ok = f && fprintf(f, "%u\n", static_cast<unsigned>(port)) > 0;
  if (f && fclose(f) != 0) ok = false;
  if (!ok) log_warn(CAT_GEN, "Could not write port file %s", path.c_str());
}

void startup_print_serving() {
  printf("REST API server running on http://%s:%d\n", "127.0.0.1", g_state.bound_port);
  printf("Press Ctrl+C to stop.\n\n");
  fflush(stdout);
  log_info(CAT_GEN, "REST API server running on http://%s:%d", "127.0.0.1", g_state.bound_port);
}

int startup_fatal(ResultCode rc) {
  release_instance_lock();
  fprintf(stderr, "ERROR: Failed to initialize: %s\n", short_name(rc));
  log_close();
  return 1;
}

void startup_shutdown_finish() {
  log_info(CAT_GEN, "REST client shutting down");
  // The POSIX socket layer needs no clean-up; the line stays for the log's readers.
  log_info(CAT_NET, "Winsock cleaned up");
  printf("\n%s shutdown complete.\n", PRODUCT_NAME);
  fflush(stdout);
  log_close();
}
