#include "sim_app.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "runtime/durable_write.h"
#include "runtime/fs.h"

namespace {
ControlReply error_reply(int status, const std::string& message) {
  return {status, "{\"error\":true,\"message\":\"" + json_escape(message) + "\"}"};
}

bool int_param(const ControlRequest& req, const char* name, long lo, long hi, long fallback, long* out) {
  auto it = req.params.find(name);
  if (it == req.params.end() || it->second.empty()) {
    *out = fallback;
    return true;
  }
  char* end = nullptr;
  long v = std::strtol(it->second.c_str(), &end, 10);
  if (*end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool coin_param(const ControlRequest& req, SimCoinId* coin) {
  auto d = req.params.find("denomination");
  auto s = req.params.find("serial");
  if (d == req.params.end() || s == req.params.end()) return false;
  char* end = nullptr;
  long den = std::strtol(d->second.c_str(), &end, 10);
  if (d->second.empty() || *end || den < -8 || den > 11) return false;
  unsigned long sn = std::strtoul(s->second.c_str(), &end, 10);
  if (s->second.empty() || *end || sn == 0 || sn > 0xFFFFFFFFul) return false;
  *coin = {int8_t(den), uint32_t(sn)};
  return true;
}

std::string param(const ControlRequest& req, const char* name) {
  auto it = req.params.find(name);
  return it == req.params.end() ? "" : it->second;
}
}  // namespace

std::string default_ports_file(const std::string& state_dir) { return state_dir + "/sim.ports"; }

ResultCode read_ports_file(const std::string& path, SimPorts* out) {
  std::ifstream in(path);
  if (!in) return RC_FILE;
  SimPorts p;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "pid") p.pid = std::atoi(value.c_str());
    if (key == "control_port") p.control_port = std::atoi(value.c_str());
    if (key == "server_ports") {
      std::stringstream ss(value);
      std::string item;
      while (std::getline(ss, item, ',')) p.server_ports.push_back(std::atoi(item.c_str()));
    }
  }
  if (p.control_port <= 0 || p.server_ports.size() != size_t(kSimServers)) return RC_CORRUPT_FILE;
  *out = p;
  return RC_OK;
}

int lock_state_folder(const std::string& state_dir) {
  if (make_dirs(state_dir) != RC_OK) return -2;
  int fd = open((state_dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -2;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

ControlReply handle_control(SimControl* ops, const SimCounters* counters, const ControlRequest& req) {
  const std::string& p = req.path;
  if (p == "/mint") {
    MintRequest m;
    if (!parse_mint_batches(param(req, "denominations"), &m.batches))
      return error_reply(400, "denominations must look like 0:3,1:2 (codes -8..11, at most 20000 coins)");
    m.folder = param(req, "folder");
    m.multi = param(req, "multi") == "1" || param(req, "multi") == "true";
    m.tag = param(req, "tag");
    MintResult r;
    ResultCode rc = ops->mint(m, &r);
    if (rc != RC_OK) return error_reply(500, std::string("mint failed: ") + short_name(rc));
    return {200, mint_result_json(r)};
  }
  if (p == "/corrupt") {
    SimCoinId coin;
    CorruptMode mode;
    std::vector<int> servers;
    if (!coin_param(req, &coin)) return error_reply(400, "denomination and serial are required");
    if (!parse_corrupt_mode(param(req, "mode").empty() ? "counterfeit" : param(req, "mode"), &mode))
      return error_reply(400, "mode must be counterfeit, fracked or forget");
    if (!parse_server_list(param(req, "servers"), &servers)) return error_reply(400, "servers must look like 0,1,2");
    ResultCode rc = ops->corrupt(coin, mode, servers);
    if (rc == RC_NOT_FOUND) return error_reply(404, "no server knows that coin");
    if (rc == RC_INVALID_PARAM) return error_reply(400, "a fracked coin needs 1 to 12 servers");
    if (rc != RC_OK) return error_reply(500, std::string("corrupt failed: ") + short_name(rc));
    return {200, "{\"success\":true}"};
  }
  if (p == "/coin") {
    SimCoinId coin;
    if (!coin_param(req, &coin)) return error_reply(400, "denomination and serial are required");
    return {200, numbers_json(coin, ops->numbers(coin))};
  }
  if (p == "/fault") {
    if (!ops->faults()) return error_reply(409, "faults live in a running simulator");
    FaultRule rule;
    long group, command, delay, status, delta, count;
    if (!parse_fault_kind(param(req, "kind"), &rule.kind))
      return error_reply(400, "kind must be down, delay, drop, refuse, status, bad-echo, corrupt-body, "
                              "wrong-length or close-after-header");
    if (!parse_server_list(param(req, "servers"), &rule.servers)) return error_reply(400, "servers must look like 0,1,2");
    if (!int_param(req, "group", -1, 255, -1, &group) || !int_param(req, "command", -1, 255, -1, &command) ||
        !int_param(req, "delay_ms", 0, 600000, 0, &delay) || !int_param(req, "status", 0, 255, 252, &status) ||
        !int_param(req, "length_delta", -0xFFFFFF, 0xFFFFFF, 1, &delta) ||
        !int_param(req, "count", -1, 1000000000, -1, &count) || count == 0)
      return error_reply(400, "group, command, delay_ms, status, length_delta or count out of range");
    rule.group = int(group);
    rule.command = int(command);
    rule.delay_ms = uint32_t(delay);
    rule.status = uint8_t(status);
    rule.length_delta = int32_t(delta);
    rule.remaining = count;
    int id = ops->faults()->add(rule);
    return {200, "{\"id\":" + std::to_string(id) + "}"};
  }
  if (p == "/faults") {
    if (!ops->faults()) return error_reply(409, "faults live in a running simulator");
    return {200, faults_json(ops->faults()->rules())};
  }
  if (p == "/fault/remove") {
    long id;
    if (!ops->faults()) return error_reply(409, "faults live in a running simulator");
    if (!int_param(req, "id", 1, 1L << 30, 0, &id) || id == 0) return error_reply(400, "id is required");
    if (!ops->faults()->remove(int(id))) return error_reply(404, "no fault with that id");
    return {200, "{\"success\":true}"};
  }
  if (p == "/reset") {
    std::string what = param(req, "what").empty() ? "all" : param(req, "what");
    if (!counters && what != "coins") return error_reply(409, "counters and faults live in a running simulator");
    ResultCode rc = ops->reset(what);
    if (rc == RC_INVALID_PARAM) return error_reply(400, "what must be counters, coins, faults or all");
    if (rc != RC_OK) return error_reply(500, std::string("reset failed: ") + short_name(rc));
    return {200, "{\"success\":true}"};
  }
  if (p == "/counters") {
    if (!counters) return error_reply(409, "counters live in a running simulator");
    std::vector<int> only;
    if (!parse_server_list(param(req, "server"), &only) || only.size() > 1)
      return error_reply(400, "server must be one id from 0 to 24");
    return {200, counters_json(*counters, only.empty() ? -1 : only[0])};
  }
  return error_reply(404, "unknown path " + p);
}

SimApp::SimApp()
    : counters_(kSimServers), exchange_(&table_, &counters_, &registry_, &faults_), ops_(&table_, &counters_, &faults_) {
  register_all_commands(&registry_);
}

SimApp::~SimApp() { stop(); }

ResultCode SimApp::start(const SimOptions& options, std::string* error) {
  options_ = options;
  auto fail = [&](ResultCode rc, const std::string& why) {
    if (error) *error = why;
    stop();
    return rc;
  };
  if (options_.state_dir.empty()) return fail(RC_INVALID_PARAM, "a state folder is required");
  int lock = lock_state_folder(options_.state_dir);
  if (lock == -2) return fail(RC_FILE, "cannot create the state folder " + options_.state_dir);
  if (lock < 0) return fail(RC_BUSY, "state folder in use by another simulator: " + options_.state_dir);
  lock_fd_ = lock;
  // A ports file left by a simulator that was killed must not announce ports nobody serves.
  unlink(default_ports_file(options_.state_dir).c_str());
  if (!options_.ports_file.empty()) unlink(options_.ports_file.c_str());
  ResultCode rc = table_.open(options_.state_dir);
  if (rc != RC_OK) return fail(rc, std::string("cannot load the state folder: ") + short_name(rc));
  cluster_ = std::make_unique<SimCluster>(&exchange_);
  ClusterOptions co;
  co.base_port = options_.base_port;
  co.ephemeral = options_.ephemeral;
  co.read_timeout_ms = options_.read_timeout_ms;
  std::string why;
  if (cluster_->start(co, &why) != RC_OK) return fail(RC_NETWORK, why);
  if (control_.start(options_.control_port, [this](const ControlRequest& r) { return route(r); }) != RC_OK)
    return fail(RC_NETWORK, "cannot bind the control port " + std::to_string(options_.control_port));
  for (const std::string& root : options_.data_roots) {
    if (make_dirs(root) != RC_OK || write_server_list(root, cluster_->ports()) != RC_OK)
      return fail(RC_FILE, "cannot write " + root + "/kovra_ips.csv");
  }
  std::string text = "pid=" + std::to_string(getpid()) + "\ncontrol_port=" + std::to_string(control_.port()) +
                     "\nserver_ports=";
  std::vector<int> ports = cluster_->ports();
  for (size_t i = 0; i < ports.size(); ++i) text += (i ? "," : "") + std::to_string(ports[i]);
  text += "\n";
  DurableOptions quick;
  quick.sync = false;
  // The command line finds a running simulator through the copy in its state folder.
  for (const std::string& path : {options_.ports_file, default_ports_file(options_.state_dir)}) {
    if (!path.empty() && durable_write(path, text, quick) != RC_OK)
      return fail(RC_FILE, "cannot write the ports file " + path);
  }
  return RC_OK;
}

void SimApp::stop() {
  if (lock_fd_ < 0) return;
  control_.stop();
  if (cluster_) cluster_->stop();
  cluster_.reset();
  table_.save();
  if (!options_.ports_file.empty()) unlink(options_.ports_file.c_str());
  unlink(default_ports_file(options_.state_dir).c_str());
  close(lock_fd_);
  lock_fd_ = -1;
}

bool SimApp::wait_for_shutdown_request(int ms) {
  std::unique_lock<std::mutex> lock(shutdown_mu_);
  return shutdown_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return shutdown_asked_; });
}

ControlReply SimApp::route(const ControlRequest& req) {
  if (req.path == "/status") {
    std::string json = "{\"servers\":" + std::to_string(kSimServers) + ",\"control_port\":" +
                       std::to_string(control_.port()) + ",\"state_dir\":\"" + json_escape(options_.state_dir) +
                       "\",\"next_serial\":" + std::to_string(table_.next_serial()) + ",\"ports\":[";
    std::vector<int> ports = cluster_ ? cluster_->ports() : std::vector<int>{};
    for (size_t i = 0; i < ports.size(); ++i) json += (i ? "," : "") + std::to_string(ports[i]);
    json += "],\"coins\":[";
    for (int s = 0; s < kSimServers; ++s) json += (s ? "," : "") + std::to_string(table_.size(s));
    return {200, json + "]}"};
  }
  // The servers' web endpoint for discovery: the same list kovra_ips.csv holds.
  if (req.path == "/service/kovra_servers" && cluster_) return {200, server_list_text(cluster_->ports()), "text/plain"};
  if (req.path == "/shutdown") {
    std::lock_guard<std::mutex> lock(shutdown_mu_);
    shutdown_asked_ = true;
    shutdown_cv_.notify_all();
    return {200, "{\"success\":true}"};
  }
  return handle_control(&ops_, &counters_, req);
}
