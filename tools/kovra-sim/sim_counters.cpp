#include "sim_counters.h"

SimCounters::SimCounters(int servers) : counters_(servers) {}

void SimCounters::record(int server, uint8_t group, uint8_t command, SimTransport transport, bool applied,
                         bool answered, uint8_t status) {
  if (server < 0 || server >= int(counters_.size())) return;
  std::lock_guard<std::mutex> lock(mu_);
  CommandCounter& c = counters_[server][{group, command}];
  ++c.requests;
  ++(transport == SimTransport::kTcp ? c.tcp : c.udp);
  if (applied) ++c.applied;
  if (!answered) {
    ++c.unanswered;
    return;
  }
  ++(status == 0 || status == 241 || status == 250 ? c.succeeded : c.refused);
  ++c.statuses[status];
}

std::vector<CounterRow> SimCounters::rows() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<CounterRow> out;
  for (size_t s = 0; s < counters_.size(); ++s)
    for (const auto& [key, c] : counters_[s]) out.push_back({int(s), key.first, key.second, c});
  return out;
}

uint64_t SimCounters::requests(int server) const {
  if (server < 0 || server >= int(counters_.size())) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t n = 0;
  for (const auto& [key, c] : counters_[server]) n += c.requests;
  return n;
}

CommandCounter SimCounters::get(int server, uint8_t group, uint8_t command) const {
  if (server < 0 || server >= int(counters_.size())) return {};
  std::lock_guard<std::mutex> lock(mu_);
  auto it = counters_[server].find({group, command});
  return it == counters_[server].end() ? CommandCounter{} : it->second;
}

void SimCounters::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& m : counters_) m.clear();
}
