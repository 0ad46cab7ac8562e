#include "sim_control.h"

#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "command_registry.h"
#include "mint_files.h"

namespace {
constexpr uint32_t kMaxMint = 20000;

bool parse_int(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t pos = s.find(sep, start);
    out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
    if (pos == std::string::npos) return out;
    start = pos + 1;
  }
}

Secret fresh_number() {
  Secret an(kAnBytes);
  RAND_bytes(an.data(), kAnBytes);
  return an;
}
}  // namespace

bool parse_corrupt_mode(const std::string& text, CorruptMode* mode) {
  if (text == "counterfeit") *mode = CorruptMode::kCounterfeit;
  else if (text == "fracked") *mode = CorruptMode::kFracked;
  else if (text == "forget") *mode = CorruptMode::kForget;
  else return false;
  return true;
}

bool parse_mint_batches(const std::string& text, std::vector<std::pair<int8_t, uint32_t>>* out) {
  out->clear();
  uint64_t total = 0;
  for (const std::string& part : split(text, ',')) {
    std::vector<std::string> fields = split(part, ':');
    long den = 0, n = 1;
    if (fields.size() > 2 || !parse_int(fields[0], -8, 11, &den)) return false;
    if (fields.size() == 2 && !parse_int(fields[1], 1, kMaxMint, &n)) return false;
    total += uint64_t(n);
    out->push_back({int8_t(den), uint32_t(n)});
  }
  return !out->empty() && total <= kMaxMint;
}

bool parse_server_list(const std::string& text, std::vector<int>* out) {
  out->clear();
  if (text.empty()) return true;
  std::set<int> seen;
  for (const std::string& part : split(text, ',')) {
    long id = 0;
    if (!parse_int(part, 0, kSimServers - 1, &id)) return false;
    if (seen.insert(int(id)).second) out->push_back(int(id));
  }
  return true;
}

ResultCode SimControl::mint(const MintRequest& request, MintResult* result) {
  uint64_t total = 0;
  for (const auto& [den, n] : request.batches) {
    if (den < -8 || den > 11 || n == 0) return RC_INVALID_PARAM;
    total += n;
  }
  if (total == 0 || total > kMaxMint) return RC_INVALID_PARAM;
  uint32_t first = table_->allocate_serials(uint32_t(total));
  if (first == 0) return RC_INVALID_PARAM;
  std::vector<MintedCoin> coins;
  uint32_t serial = first;
  for (const auto& [den, n] : request.batches)
    for (uint32_t i = 0; i < n; ++i) coins.push_back({den, serial++});
  // Every server gets its own number for every coin: the coin file carries all 25.
  std::vector<std::vector<Secret>> numbers(coins.size());
  for (size_t c = 0; c < coins.size(); ++c) {
    for (int s = 0; s < kSimServers; ++s) {
      numbers[c].push_back(fresh_number());
      table_->put(s, {coins[c].denomination, coins[c].serial}, numbers[c].back());
    }
  }
  ResultCode rc = table_->save();
  if (rc != RC_OK) return rc;
  if (result) result->coins = coins;
  if (request.folder.empty()) return RC_OK;
  std::vector<std::string> files;
  rc = write_minted_files(request.folder, coins, numbers, request.multi, request.tag, &files);
  if (result) result->files = files;
  return rc;
}

ResultCode SimControl::corrupt(SimCoinId coin, CorruptMode mode, const std::vector<int>& chosen) {
  bool known = false;
  for (int s = 0; s < kSimServers && !known; ++s) known = table_->contains(s, coin);
  if (!known) return RC_NOT_FOUND;
  std::vector<int> servers = chosen;
  if (servers.empty() && mode != CorruptMode::kFracked)
    for (int s = 0; s < kSimServers; ++s) servers.push_back(s);
  // A fracked coin must stay authentic: fewer than 13 servers may disagree with it.
  if (mode == CorruptMode::kFracked && (servers.empty() || servers.size() >= 13)) return RC_INVALID_PARAM;
  for (int s : servers) {
    if (mode == CorruptMode::kForget) {
      table_->erase(s, coin);
    } else {
      table_->put(s, coin, fresh_number());
    }
  }
  return table_->save();
}

std::vector<std::string> SimControl::numbers(SimCoinId coin) const {
  std::vector<std::string> out;
  for (int s = 0; s < kSimServers; ++s) {
    Secret an;
    std::string hex;
    if (table_->lookup(s, coin, &an)) {
      char two[3];
      for (size_t i = 0; i < an.size(); ++i) {
        std::snprintf(two, sizeof two, "%02x", an[i]);
        hex += two;
      }
    }
    out.push_back(hex);
  }
  return out;
}

ResultCode SimControl::reset(const std::string& what) {
  if (what != "counters" && what != "coins" && what != "faults" && what != "all") return RC_INVALID_PARAM;
  if ((what == "counters" || what == "all") && counters_) counters_->reset();
  if ((what == "faults" || what == "all") && faults_) faults_->clear();
  if (what == "coins" || what == "all") {
    table_->clear();
    return table_->save();
  }
  return RC_OK;
}

std::string json_escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string mint_result_json(const MintResult& r) {
  std::string out = "{\"minted\":[";
  for (size_t i = 0; i < r.coins.size(); ++i) {
    if (i) out += ",";
    out += "{\"denomination\":" + std::to_string(r.coins[i].denomination) +
           ",\"serial\":" + std::to_string(r.coins[i].serial) + "}";
  }
  out += "],\"files\":[";
  for (size_t i = 0; i < r.files.size(); ++i) out += (i ? ",\"" : "\"") + json_escape(r.files[i]) + "\"";
  return out + "]}";
}

std::string counters_json(const SimCounters& counters, int only_server) {
  CommandRegistry names;
  register_all_commands(&names);
  std::string out = "{\"servers\":[";
  int current = -1;
  bool first_cmd = true;
  auto rows = counters.rows();
  for (int s = 0; s < kSimServers; ++s) {
    if (only_server >= 0 && s != only_server) continue;
    if (current >= 0) out += "]},";
    current = s;
    out += "{\"id\":" + std::to_string(s) + ",\"requests\":" + std::to_string(counters.requests(s)) +
           ",\"commands\":[";
    first_cmd = true;
    for (const CounterRow& r : rows) {
      if (r.server != s) continue;
      const CommandCounter& c = r.counter;
      out += first_cmd ? "" : ",";
      first_cmd = false;
      out += "{\"group\":" + std::to_string(r.group) + ",\"command\":" + std::to_string(r.command) +
             ",\"name\":\"" + json_escape(names.name(r.group, r.command)) +
             "\",\"requests\":" + std::to_string(c.requests) + ",\"tcp\":" + std::to_string(c.tcp) +
             ",\"udp\":" + std::to_string(c.udp) + ",\"succeeded\":" + std::to_string(c.succeeded) +
             ",\"refused\":" + std::to_string(c.refused) + ",\"unanswered\":" + std::to_string(c.unanswered) +
             ",\"applied\":" + std::to_string(c.applied) +
             ",\"statuses\":{";
      bool first_st = true;
      for (const auto& [st, n] : c.statuses) {
        out += (first_st ? "\"" : ",\"") + std::to_string(st) + "\":" + std::to_string(n);
        first_st = false;
      }
      out += "}}";
    }
  }
  if (current >= 0) out += "]}";
  return out + "]}";
}

std::string numbers_json(SimCoinId coin, const std::vector<std::string>& numbers) {
  std::string out = "{\"denomination\":" + std::to_string(coin.denomination) +
                    ",\"serial\":" + std::to_string(coin.serial) + ",\"numbers\":[";
  for (size_t i = 0; i < numbers.size(); ++i) {
    out += i ? "," : "";
    out += numbers[i].empty() ? "null" : "\"" + numbers[i] + "\"";
  }
  return out + "]}";
}

std::string faults_json(const std::vector<FaultRule>& rules) {
  std::string out = "{\"faults\":[";
  for (size_t i = 0; i < rules.size(); ++i) {
    const FaultRule& r = rules[i];
    out += i ? "," : "";
    out += "{\"id\":" + std::to_string(r.id) + ",\"kind\":\"" + fault_kind_name(r.kind) + "\",\"servers\":[";
    for (size_t k = 0; k < r.servers.size(); ++k) out += (k ? "," : "") + std::to_string(r.servers[k]);
    out += "],\"group\":" + std::to_string(r.group) + ",\"command\":" + std::to_string(r.command) +
           ",\"delay_ms\":" + std::to_string(r.delay_ms) + ",\"status\":" + std::to_string(r.status) +
           ",\"length_delta\":" + std::to_string(r.length_delta) + ",\"remaining\":" + std::to_string(r.remaining) +
           ",\"hits\":" + std::to_string(r.hits) + "}";
  }
  return out + "]}";
}
