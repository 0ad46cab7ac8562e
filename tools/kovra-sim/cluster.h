// The 25 simulated servers on the network: each server id gets its own loopback port, served over
// TCP (one request per connection) and UDP (one datagram each way). Ports are either a fixed
// block (base + id, 50000 by default, the ports the built-in server list uses) or ephemeral ports
// picked by the kernel, which lets tests run side by side. One poll thread watches all sockets
// and hands every connection or datagram to its own short-lived worker, so a slow request never
// holds up another server. start/stop from one controlling thread; ports() from any thread.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/result_code.h"
#include "exchange.h"

struct ClusterOptions {
  int base_port = 50000;  // server id i listens on base_port + i
  bool ephemeral = false; // let the kernel pick each port instead
  uint32_t read_timeout_ms = 5000;  // a TCP client that stalls mid-request is dropped after this
  uint32_t hold_limit_ms = 120000;  // a lost answer keeps its TCP connection open at most this long
};

class SimCluster {
 public:
  explicit SimCluster(const Exchange* exchange) : exchange_(exchange) {}
  ~SimCluster();
  SimCluster(const SimCluster&) = delete;
  SimCluster& operator=(const SimCluster&) = delete;

  // Binds all 25 TCP and UDP sockets on 127.0.0.1 and starts serving. RC_OK, or RC_NETWORK with
  // `error` naming the port that could not be bound (nothing is left open then).
  ResultCode start(const ClusterOptions& options, std::string* error);
  // Stops accepting, waits for the requests in flight (bounded by the read time-out) and closes
  // every socket. Safe to call twice.
  void stop();
  std::vector<int> ports() const;

 private:
  void poll_loop();
  void serve_tcp(int fd, int server);
  void serve_udp(int fd, int server, std::vector<uint8_t> datagram, std::vector<uint8_t> peer);
  // Runs `work` on its own thread; false (nothing started) when too many are in flight.
  bool spawn(std::function<void()> work);
  // Waits up to `ms`; false when the cluster is stopping meanwhile.
  bool pause(uint32_t ms);
  // Sends a TCP outcome: delay, reset, hold open, or (part of) the answer.
  void deliver_tcp(int fd, const ExchangeOutcome& out);

  const Exchange* exchange_;
  ClusterOptions options_;
  std::vector<int> ports_;
  std::vector<int> tcp_fds_;
  std::vector<int> udp_fds_;
  int wake_[2] = {-1, -1};
  std::thread poller_;
  std::atomic<bool> running_{false};
  // Guards nothing but the wake-up of pause(); stands alone in the lock order.
  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  // Guards workers_; stands alone in the lock order.
  std::mutex workers_mu_;
  std::condition_variable workers_cv_;
  int workers_ = 0;
};

// The server list for these ports, one line per server id: "127.0.0.1:<port>,<P|K>\n".
std::string server_list_text(const std::vector<int>& ports);
// Writes `<data_root>/kovra_ips.csv` for these ports: 25 lines "127.0.0.1:<port>,<P|K>", P for the
// servers that also serve mail. RC_OK, RC_INVALID_PARAM without 25 ports, or the write's failure.
ResultCode write_server_list(const std::string& data_root, const std::vector<int>& ports);
// True for the server ids that also serve mail.
bool sim_is_mail_server(int server);
