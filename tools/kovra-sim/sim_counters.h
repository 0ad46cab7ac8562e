// Request counters of the simulated servers, per server and per (command group, command): how
// many requests arrived over each transport, how many the server carried out, and how they were
// answered. Tests read them to prove
// which servers a client reached; the control interface reports and resets them. All functions
// may be called from any thread; each takes the counters lock.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

enum class SimTransport { kTcp, kUdp };

struct CommandCounter {
  uint64_t requests = 0;
  uint64_t tcp = 0;
  uint64_t udp = 0;
  uint64_t applied = 0;    // the command ran (key proven, command served), answered or not
  uint64_t succeeded = 0;  // answered with a success status
  uint64_t refused = 0;    // answered with any other status
  uint64_t unanswered = 0; // no reply went out
  std::map<uint8_t, uint64_t> statuses;
};

struct CounterRow {
  int server = 0;
  uint8_t group = 0;
  uint8_t command = 0;
  CommandCounter counter;
};

class SimCounters {
 public:
  explicit SimCounters(int servers);
  // Counts one request; `applied` says the command ran; `answered` false means no reply went out
  // (status is then ignored).
  void record(int server, uint8_t group, uint8_t command, SimTransport transport, bool applied, bool answered,
              uint8_t status);
  // Every non-empty counter, by server, then group, then command.
  std::vector<CounterRow> rows() const;
  // Requests a server received, all commands together.
  uint64_t requests(int server) const;
  // One counter; zero when nothing was counted.
  CommandCounter get(int server, uint8_t group, uint8_t command) const;
  void reset();

 private:
  // Guards counters_. Stands alone in the lock order.
  mutable std::mutex mu_;
  std::vector<std::map<std::pair<uint8_t, uint8_t>, CommandCounter>> counters_;
};
