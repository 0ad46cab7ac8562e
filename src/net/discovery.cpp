#include "net/discovery.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "base/test_seams.h"
#include "net/kovra_protocol.h"
#include "runtime/http_get.h"
#include "runtime/log.h"

namespace {

constexpr int kCount = kovra::kServerCount;
// Nothing listens on port 1 of the loopback interface, so a default fetch fails at once.
constexpr const char* kDefaultHost = "http://127.0.0.1:1";

// Guards g_hosts, g_ranking and g_fetch. Stands alone in the lock order; copies are taken out
// before any fetch runs.
std::mutex g_config_mutex;
std::vector<std::string> g_hosts(kCount, kDefaultHost);
std::function<std::vector<int>()> g_ranking;
WebFetch g_fetch;

// The documents asked for are small; a bigger answer is not a server list.
constexpr size_t kMaxDocument = 1u << 20;

ResultCode default_fetch(const std::string& url, std::string* body) {
  HttpGetTimeouts t;  // 3 s each: a web host that does not answer never holds start-up long
  return http_get(url, &t, body, kMaxDocument);
}

WebFetch current_fetch() {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  return g_fetch ? g_fetch : WebFetch(default_fetch);
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> nonempty_trimmed_lines(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  auto flush = [&] {
    std::string t = trim(cur);
    if (!t.empty()) out.push_back(t);
    cur.clear();
  };
  for (char c : text) {
    if (c == '\r' || c == '\n')
      flush();
    else
      cur += c;
  }
  flush();
  return out;
}

bool all_digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool valid_host_text(const std::string& h) {
  if (h.empty() || h.size() > 63) return false;
  for (char c : h)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  return true;
}

std::mt19937& prng() {
  // Seeded from the clock once per process; only the order of candidates depends on it.
  static std::mt19937 gen(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  return gen;
}
// Guards prng(). Stands alone.
std::mutex g_prng_mutex;

}  // namespace

void set_discovery_hosts(const std::vector<std::string>& base_urls) {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  for (int i = 0; i < kCount; ++i) g_hosts[i] = i < static_cast<int>(base_urls.size()) ? base_urls[i] : kDefaultHost;
}

std::string discovery_url(int id, const std::string& name) {
  std::string base = test_seam("DISCOVERY_URL");
  if (base.empty()) {
    std::lock_guard<std::mutex> lock(g_config_mutex);
    base = (id >= 0 && id < kCount) ? g_hosts[id] : kDefaultHost;
  }
  size_t at = base.find("{id}");
  if (at != std::string::npos) base.replace(at, 4, std::to_string(id));
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/service/" + name;
}

void set_consensus_ranking(std::function<std::vector<int>()> ranking) {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  g_ranking = std::move(ranking);
}

void set_discovery_fetch(WebFetch fetch) {
  std::lock_guard<std::mutex> lock(g_config_mutex);
  g_fetch = std::move(fetch);
}

bool validate_server_list(std::string* reply) {
  if (!reply) return false;
  std::vector<std::string> lines = nonempty_trimmed_lines(*reply);
  if (lines.size() != static_cast<size_t>(kCount)) return false;
  std::string normal;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    size_t comma = line.rfind(',');
    if (comma == std::string::npos) return false;
    std::string flag = trim(line.substr(comma + 1));
    if (flag.size() != 1) return false;
    char f = static_cast<char>(std::toupper(static_cast<unsigned char>(flag[0])));
    if (f != 'P' && f != 'K') return false;
    std::string rest = line.substr(0, comma);
    size_t colon = rest.find(':');
    if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos) return false;
    std::string host = trim(rest.substr(0, colon));
    std::string port = trim(rest.substr(colon + 1));
    if (!valid_host_text(host) || !all_digits(port) || port.size() > 5) return false;
    long p = std::strtol(port.c_str(), nullptr, 10);
    if (p > 65535 || p != static_cast<long>(kovra::kBasePort + i)) return false;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s%s:%ld,%c", i == 0 ? "" : "\n", host.c_str(), p, f);
    normal += buf;
  }
  if (normal.size() > 2400 || normal.size() > reply->size()) return false;
  *reply = normal;
  return true;
}

int parse_agreed_server_list(const std::string& text, std::vector<ServerEntry>* rows) {
  if (!rows) return 0;
  rows->clear();
  for (const std::string& line : nonempty_trimmed_lines(text)) {
    if (rows->size() >= static_cast<size_t>(kCount)) break;
    size_t comma = line.rfind(',');
    if (comma == std::string::npos) continue;
    std::string flag = trim(line.substr(comma + 1));
    if (flag.size() != 1) continue;
    char f = static_cast<char>(std::toupper(static_cast<unsigned char>(flag[0])));
    if (f != 'P' && f != 'K') continue;
    std::string rest = line.substr(0, comma);
    size_t colon = rest.find(':');
    if (colon == std::string::npos) continue;
    std::string host = trim(rest.substr(0, colon));
    std::string port = trim(rest.substr(colon + 1));
    if (!all_digits(port) || port.size() > 5) continue;
    long p = std::strtol(port.c_str(), nullptr, 10);
    if (p > 65535) continue;
    ServerEntry e;
    e.id = static_cast<uint8_t>(rows->size());
    e.host = host.substr(0, 63);
    e.port = static_cast<uint16_t>(p);
    e.enabled = true;
    e.mail = f == 'P';
    rows->push_back(e);
  }
  return static_cast<int>(rows->size());
}

ResultCode consensus_fetch(const std::string& name, const ConsensusOptions& options, std::string* out_text) {
  if (!out_text || options.pool_size < 1 || options.pool_size > kCount) return RC_INVALID_PARAM;
  out_text->clear();
  int needed = options.needed;
  if (needed < 1 || needed > options.pool_size) needed = 2;

  // Candidates: ranked by the last echo when the tracker knows, else counted from id 0.
  std::function<std::vector<int>()> ranking;
  {
    std::lock_guard<std::mutex> lock(g_config_mutex);
    ranking = g_ranking;
  }
  size_t limit = static_cast<size_t>(std::max(10, options.pool_size));
  std::vector<int> candidates;
  if (ranking) {
    for (int id : ranking())
      if (id >= 0 && id < kCount && candidates.size() < limit) candidates.push_back(id);
  }
  if (candidates.empty())
    for (int id = 0; id < kCount && candidates.size() < limit; ++id) candidates.push_back(id);
  {
    std::lock_guard<std::mutex> lock(g_prng_mutex);
    for (size_t i = candidates.size(); i > 1; --i) {
      std::uniform_int_distribution<size_t> pick(0, i - 1);
      std::swap(candidates[i - 1], candidates[pick(prng())]);
    }
  }
  if (options.prune) {
    std::vector<int> live;
    for (int id : candidates)
      if (is_available(id)) live.push_back(id);
    if (!live.empty() && live.size() < candidates.size()) {
      log_info(CAT_NET, "Consensus fetch [%s]: pruned %d down KOVRAs from pool (%d live)", name.c_str(),
               static_cast<int>(candidates.size() - live.size()), static_cast<int>(live.size()));
      candidates = live;
    }
  }
  size_t count = std::min(candidates.size(), static_cast<size_t>(options.pool_size));

  WebFetch fetch = current_fetch();
  struct Slot {
    bool ok = false;
    std::string text;
  };
  std::vector<Slot> slots(count);
  auto work = [&](size_t k) {
    int id = candidates[k];
    log_info(CAT_NET, "Consensus fetch [%s] from KOVRA %d", name.c_str(), id);
    std::string body;
    if (fetch(discovery_url(id, name), &body) != RC_OK) {
      log_warn(CAT_NET, "Consensus fetch [%s] KOVRA %d: fetch failed", name.c_str(), id);
      return;
    }
    if (options.validator && !options.validator(&body)) {
      log_warn(CAT_NET, "Consensus fetch [%s] KOVRA %d: response failed validation", name.c_str(), id);
      return;
    }
    slots[k].ok = true;
    slots[k].text = std::move(body);
  };
  std::vector<std::thread> threads(count);
  for (size_t k = 0; k < count; ++k) {
    try {
      threads[k] = std::thread(work, k);
    } catch (const std::system_error&) {
      log_warn(CAT_NET, "Consensus fetch [%s]: _beginthreadex failed for KOVRA %d", name.c_str(), candidates[k]);
      work(k);
    }
  }

  // The best-supported reply among those finished so far.
  auto best_of = [&](size_t upto, int* best_count, int* replies) {
    std::map<std::string, int> tally;
    *replies = 0;
    for (size_t k = 0; k < upto; ++k)
      if (slots[k].ok) {
        ++tally[slots[k].text];
        ++*replies;
      }
    const std::string* best = nullptr;
    *best_count = 0;
    for (auto& [text, n] : tally)
      if (n > *best_count) {
        *best_count = n;
        best = &text;
      }
    return best ? *best : std::string();
  };

  bool found = false;
  std::string winner;
  for (size_t k = 0; k < count; ++k) {
    if (threads[k].joinable()) threads[k].join();
    if (found || options.responder_majority) continue;
    int best = 0, replies = 0;
    std::string text = best_of(k + 1, &best, &replies);
    if (replies >= needed && best >= needed) {
      log_info(CAT_NET, "Consensus fetch [%s]: consensus reached (%d/%d match)", name.c_str(), best, replies);
      winner = text;
      found = true;
    }
  }
  int best = 0, replies = 0;
  std::string text = best_of(count, &best, &replies);
  if (!found && options.responder_majority && replies > 0) {
    int majority = replies / 2 + 1;
    if (best >= majority) {
      log_info(CAT_NET, "Consensus fetch [%s]: responder majority reached (%d/%d match)", name.c_str(), best, replies);
      winner = text;
      found = true;
    } else {
      needed = majority;
    }
  }
  if (!found) {
    if (replies > 0) {
      log_warn(CAT_NET, "Consensus fetch [%s]: no consensus (%d responses, needed %d matching)", name.c_str(), replies,
               needed);
      return RC_NOT_FOUND;
    }
    log_warn(CAT_NET, "Consensus fetch [%s]: all fetches failed", name.c_str());
    return RC_ERROR;
  }
  *out_text = std::move(winner);
  return RC_OK;
}

bool run_server_discovery(const std::string& path) {
  ConsensusOptions opt;
  opt.pool_size = kCount;
  opt.needed = 2;
  opt.responder_majority = true;
  opt.prune = true;
  opt.validator = validate_server_list;
  std::string agreed;
  bool found = false;
  for (int attempt = 1; attempt <= 3 && !found; ++attempt) {
    log_info(CAT_NET, "DNS Discovery Attempt %d/3...", attempt);
    if (consensus_fetch("kovra_servers", opt, &agreed) == RC_OK)
      found = true;
    else
      log_warn(CAT_NET, "Attempt %d failed: No consensus.", attempt);
  }
  if (!found) {
    log_warn(CAT_NET, "All DNS discovery attempts failed. Using servers loaded from file or hardcoded fallback.");
    return false;
  }
  log_info(CAT_NET, "Consensus found! Updating server list.");
  bool old_form = server_file_is_old_form(path);
  std::vector<ServerEntry> current;
  if (read_server_file(path, &current) != RC_OK) current = builtin_server_list();
  std::vector<ServerEntry> rows;
  int n = parse_agreed_server_list(agreed, &rows);
  if (n < kCount) {
    log_warn(CAT_NET, "Consensus parsed %d/%d rows; keeping existing KOVRA file", n, kCount);
    return true;
  }
  bool same = true;
  for (int i = 0; i < kCount; ++i)
    if (!(rows[i] == current[i])) same = false;
  if (same && !old_form) {
    log_info(CAT_NET, "KOVRA server list already current; skipping write");
    return true;
  }
  if (old_form) log_info(CAT_NET, "Upgrading kovra_ips.csv to authoritative ip:port,<P|K> format");
  if (write_server_file(path, rows) != RC_OK) log_error(CAT_NET, "Failed to save KOVRA consensus server list");
  return true;
}
