// The whole simulator in one object: the coin table on its state folder, the 25 servers, the
// counters and the control endpoint. `kovra-sim serve` runs one; tests may run one inside their
// own process. While it runs it holds an exclusive lock on the state folder, writes the server
// list into each data root it was given, and publishes its ports in a ports file (written last,
// so its presence means every port answers). start/stop from one controlling thread; the
// accessors from any thread.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "cluster.h"
#include "coin_table.h"
#include "command_registry.h"
#include "control_http.h"
#include "exchange.h"
#include "sim_control.h"
#include "sim_counters.h"

struct SimOptions {
  std::string state_dir;                // required
  int base_port = 50000;                // server id i on base_port + i
  bool ephemeral = false;               // kernel-chosen ports instead
  std::vector<std::string> data_roots;  // each gets a matching kovra_ips.csv
  std::string ports_file;               // another copy of <state_dir>/sim.ports, when set
  int control_port = 0;                 // 0 picks a free port
  uint32_t read_timeout_ms = 5000;      // a TCP request that stalls is refused after this
};

// What a ports file says; also read back by the command line and the test harness.
struct SimPorts {
  int pid = 0;
  int control_port = 0;
  std::vector<int> server_ports;
};
// Reads a ports file. RC_OK, RC_FILE when missing or unreadable, RC_CORRUPT_FILE when malformed.
ResultCode read_ports_file(const std::string& path, SimPorts* out);
std::string default_ports_file(const std::string& state_dir);

class SimApp {
 public:
  SimApp();
  ~SimApp();
  SimApp(const SimApp&) = delete;
  SimApp& operator=(const SimApp&) = delete;

  // Locks and loads the state folder, binds every port, writes the server lists and the ports
  // file. RC_BUSY when another simulator holds the folder, the table's load failure, RC_NETWORK
  // for a port that cannot be bound, RC_FILE for a file that cannot be written; `error` says
  // which. Nothing keeps running after a failure.
  ResultCode start(const SimOptions& options, std::string* error);
  // Stops serving, saves the table, removes the ports file and releases the folder.
  void stop();
  // Waits up to `ms` for a shutdown asked through the control endpoint; true when it was.
  bool wait_for_shutdown_request(int ms);

  std::vector<int> server_ports() const { return cluster_ ? cluster_->ports() : std::vector<int>{}; }
  int control_port() const { return control_.port(); }
  CoinTable& table() { return table_; }
  SimCounters& counters() { return counters_; }
  SimControl& control() { return ops_; }
  FaultPlan& faults() { return faults_; }

 private:
  ControlReply route(const ControlRequest& req);

  SimOptions options_;
  CoinTable table_;
  SimCounters counters_;
  FaultPlan faults_;
  CommandRegistry registry_;
  Exchange exchange_;
  SimControl ops_;
  std::unique_ptr<SimCluster> cluster_;
  ControlServer control_;
  int lock_fd_ = -1;
  // Guards shutdown_asked_; stands alone in the lock order.
  std::mutex shutdown_mu_;
  std::condition_variable shutdown_cv_;
  bool shutdown_asked_ = false;
};

// Takes the state folder's lock file without blocking (creating the folder when missing); returns
// its descriptor, -1 when another process holds it, -2 when the folder or file cannot be made.
// Closing the descriptor releases it.
int lock_state_folder(const std::string& state_dir);
// Serves one control request against a table and counters; shared by the endpoint and by the
// command line when no simulator runs on the folder (counters are then absent).
ControlReply handle_control(SimControl* ops, const SimCounters* counters, const ControlRequest& req);
