#include "e2e/cluster_fixture.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace e2e {

namespace {
std::string url_encode(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/' || c == ':' || c == ',') {
      out += char(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}
}  // namespace

Cluster::Cluster() : service_(std::make_unique<Service>(dir_.path())) {}

Cluster::~Cluster() { stop(); }

std::string Cluster::sim_output() const { return testsupport::read_file(dir_.sub("kovra-sim.out")); }

bool Cluster::start_sim(int sim_base_port, int ready_timeout_ms) {
  std::string ports_file = dir_.sub("sim.ports");
  unlink(ports_file.c_str());
  std::vector<std::string> argv = {KOVRA_SIM_BIN, "serve", "--state", state_dir(), "--data-root", data_root(),
                                   "--ports-file", ports_file};
  if (sim_base_port > 0) {
    argv.push_back("--base-port");
    argv.push_back(std::to_string(sim_base_port));
  } else {
    argv.push_back("--ephemeral");
  }
  sim_ = std::make_unique<testsupport::Child>();
  if (!sim_->start(argv, {}, dir_.sub("kovra-sim.out"))) return false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ready_timeout_ms);
  while (std::chrono::steady_clock::now() < until && sim_->running()) {
    // The ports file is written last: once it is complete, every server port listens.
    std::istringstream in(testsupport::read_file(ports_file));
    std::string line;
    control_port_ = 0;
    server_ports_.clear();
    while (std::getline(in, line)) {
      if (line.rfind("control_port=", 0) == 0) control_port_ = std::atoi(line.c_str() + 13);
      if (line.rfind("server_ports=", 0) == 0) {
        std::istringstream ports(line.substr(13));
        std::string p;
        while (std::getline(ports, p, ',')) server_ports_.push_back(std::atoi(p.c_str()));
      }
    }
    if (control_port_ > 0 && server_ports_.size() == 25 && sim_get("/status").status == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sim_->kill_now();
  sim_->wait(5000);
  return false;
}

bool Cluster::start(const ClusterOptions& opts) {
  if (!start_sim(opts.sim_base_port, opts.ready_timeout_ms)) return false;
  if (!opts.start_service) return true;
  ServiceOptions so = opts.service;
  so.ready_timeout_ms = opts.ready_timeout_ms;
  // Discovery asks the simulator's web endpoint, never a host beyond loopback.
  so.env.emplace("RESTCORE_TEST_DISCOVERY_URL", "http://127.0.0.1:" + std::to_string(control_port_));
  return service_->start(so);
}

int Cluster::stop_sim(int timeout_ms) {
  if (!sim_ || !sim_->running()) return -1;
  sim_post("/shutdown");
  int code = sim_->wait(timeout_ms);
  if (code == -1) {
    sim_->kill_now(9);
    code = sim_->wait(5000);
  }
  return code;
}

void Cluster::stop() {
  if (service_ && service_->running()) service_->stop();
  stop_sim();
}

testsupport::HttpReply Cluster::sim_get(const std::string& target) const {
  return testsupport::http_get(control_port_, target, 10000);
}

testsupport::HttpReply Cluster::sim_post(const std::string& target, const std::string& form) const {
  return testsupport::http_post(control_port_, target, form, "application/x-www-form-urlencoded", 60000);
}

std::string Cluster::mint(const std::string& denominations, const std::string& folder, bool multi) const {
  std::string form = "denominations=" + url_encode(denominations) + "&folder=" + url_encode(folder);
  if (multi) form += "&multi=1";
  testsupport::HttpReply r = sim_post("/mint", form);
  return r.status == 200 ? r.body : "";
}

int Cluster::fault(const std::string& form) const {
  testsupport::HttpReply r = sim_post("/fault", form);
  return r.status == 200 && r.body.rfind("{\"id\":", 0) == 0 ? std::atoi(r.body.c_str() + 6) : 0;
}

}  // namespace e2e
