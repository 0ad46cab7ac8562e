// Faults the simulated servers can be told to show, per server and per command: stay down, answer
// late, lose the answer, refuse, answer with another status, a wrong challenge echo or tag, a
// damaged body, a wrong body length, or only the header. A rule may be limited to the next N
// matching requests. The exchange asks the plan once per request; the first live rule that
// matches applies. Rules live in memory only (a restart clears them). All functions may be
// called from any thread; each takes the plan's lock.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class FaultKind {
  kDown,              // no answer at all: TCP connections are reset, UDP datagrams ignored
  kDelay,             // the honest answer, `delay_ms` late
  kDropReply,         // the request is carried out but its answer is lost (the client times out)
  kRefuse,            // refused with `status` before the command runs (nothing changes)
  kForceStatus,       // the command runs; the answer carries `status` instead (still keyed)
  kBadEcho,           // the challenge echo or GCM tag is wrong
  kCorruptBody,       // one body byte is flipped after encryption
  kWrongLength,       // the header announces `length_delta` bytes more (or fewer) than sent
  kCloseAfterHeader,  // only the 32-byte header is sent, then the connection closes
};

struct FaultRule {
  int id = 0;                  // given by add()
  std::vector<int> servers;    // empty: every server
  int group = -1;              // -1: any command group
  int command = -1;            // -1: any command
  FaultKind kind = FaultKind::kDown;
  uint32_t delay_ms = 0;       // kDelay
  uint8_t status = 0;          // kRefuse, kForceStatus
  int32_t length_delta = 1;    // kWrongLength
  int64_t remaining = -1;      // requests it still applies to; -1 without limit
  uint64_t hits = 0;           // requests it applied to
};

// "down", "delay", "drop", "refuse", "status", "bad-echo", "corrupt-body", "wrong-length",
// "close-after-header".
bool parse_fault_kind(const std::string& text, FaultKind* kind);
const char* fault_kind_name(FaultKind kind);

class FaultPlan {
 public:
  // Adds a rule and returns its id (ids count up from 1).
  int add(FaultRule rule);
  // Removes one rule; false when no rule has that id.
  bool remove(int id);
  void clear();
  std::vector<FaultRule> rules() const;
  // The first rule with requests left that matches, counted as used; false when none applies.
  bool take(int server, uint8_t group, uint8_t command, FaultRule* applied);

 private:
  // Guards rules_ and next_id_. Stands alone in the lock order.
  mutable std::mutex mu_;
  std::vector<FaultRule> rules_;
  int next_id_ = 1;
};
