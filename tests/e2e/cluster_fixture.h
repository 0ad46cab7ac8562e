// Starts the simulated server cluster (`kovra-sim`) and a `rest_core` on it for an end-to-end
// test, and stops both again.
//
//   e2e::Cluster cl;                        // own scratch folder (removed at the end)
//   ASSERT_TRUE(cl.start());                // simulator on ephemeral ports, then the service
//   std::string coins = cl.mint("0:3", cl.dir() + "/coins");   // coin files ready to deposit
//   auto r = cl.service().get("/api/kovra/echo");
//   cl.stop();                              // service first, then the simulator
//
// The simulator keeps its state in `<dir>/sim-state` and writes `kovra_ips.csv` (its ports) into
// the service's data root before the service starts; discovery is pointed at the simulator's
// own web endpoint, so nothing leaves 127.0.0.1. Every port is chosen by the kernel or probed
// free, so clusters run in parallel. The destructor stops what still runs. Test-only; one thread.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "e2e/service_fixture.h"
#include "support/test_support.h"

namespace e2e {

struct ClusterOptions {
  ServiceOptions service;      // options for the service (the discovery override is added)
  bool start_service = true;   // false: the simulator alone
  int sim_base_port = 0;       // 0: ephemeral ports; else server i on base + i
  int ready_timeout_ms = 20000;
};

class Cluster {
 public:
  Cluster();
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  // Starts the simulator, waits until its ports file is written and its control endpoint
  // answers, then (unless told not to) starts the service and waits until it answers.
  bool start(const ClusterOptions& opts = {});
  // The simulator alone, on the same state folder (for restarts).
  bool start_sim(int sim_base_port = 0, int ready_timeout_ms = 20000);
  // Asks the simulator to stop, kills it after `timeout_ms`; its exit code (-1 when not running).
  int stop_sim(int timeout_ms = 10000);
  // Stops the service (through its API) and then the simulator.
  void stop();

  Service& service() { return *service_; }
  const std::string& dir() const { return dir_.path(); }
  std::string state_dir() const { return dir_.sub("sim-state"); }
  std::string data_root() const { return service_->data_root(); }
  int control_port() const { return control_port_; }
  const std::vector<int>& server_ports() const { return server_ports_; }
  std::string sim_output() const;

  testsupport::HttpReply sim_get(const std::string& target) const;
  testsupport::HttpReply sim_post(const std::string& target, const std::string& form = "") const;
  // Mints coins ("0:3,1:2") into `folder` (one multi-coin file when `multi`); the control reply
  // body, or "" when the mint failed.
  std::string mint(const std::string& denominations, const std::string& folder, bool multi = false) const;
  // Adds a fault rule ("kind=delay&servers=0,1&delay_ms=500", the control endpoint's form);
  // its id, or 0 when the simulator refused it.
  int fault(const std::string& form) const;

 private:
  testsupport::TempDir dir_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<testsupport::Child> sim_;
  int control_port_ = 0;
  std::vector<int> server_ports_;
};

}  // namespace e2e
