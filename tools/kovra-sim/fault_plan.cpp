#include "fault_plan.h"

#include <algorithm>

namespace {
struct KindName {
  FaultKind kind;
  const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::kDown, "down"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kDropReply, "drop"},
    {FaultKind::kRefuse, "refuse"},
    {FaultKind::kForceStatus, "status"},
    {FaultKind::kBadEcho, "bad-echo"},
    {FaultKind::kCorruptBody, "corrupt-body"},
    {FaultKind::kWrongLength, "wrong-length"},
    {FaultKind::kCloseAfterHeader, "close-after-header"},
};
}  // namespace

bool parse_fault_kind(const std::string& text, FaultKind* kind) {
  for (const KindName& k : kKinds)
    if (text == k.name) {
      *kind = k.kind;
      return true;
    }
  return false;
}

const char* fault_kind_name(FaultKind kind) {
  for (const KindName& k : kKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

int FaultPlan::add(FaultRule rule) {
  std::lock_guard<std::mutex> lock(mu_);
  rule.id = next_id_++;
  rule.hits = 0;
  rules_.push_back(rule);
  return rule.id;
}

bool FaultPlan::remove(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(rules_.begin(), rules_.end(), [id](const FaultRule& r) { return r.id == id; });
  if (it == rules_.end()) return false;
  rules_.erase(it);
  return true;
}

void FaultPlan::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  rules_.clear();
}

std::vector<FaultRule> FaultPlan::rules() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rules_;
}

bool FaultPlan::take(int server, uint8_t group, uint8_t command, FaultRule* applied) {
  std::lock_guard<std::mutex> lock(mu_);
  for (FaultRule& r : rules_) {
    if (r.remaining == 0) continue;
    if (!r.servers.empty() && std::find(r.servers.begin(), r.servers.end(), server) == r.servers.end()) continue;
    if (r.group >= 0 && r.group != group) continue;
    if (r.command >= 0 && r.command != command) continue;
    if (r.remaining > 0) --r.remaining;
    ++r.hits;
    if (applied) *applied = r;
    return true;
  }
  return false;
}
