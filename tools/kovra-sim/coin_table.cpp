#include "coin_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "sim_cipher.h"

namespace {
// File layout: "KSIMTBL1", server id (1 byte), record count (4), records of denomination (1),
// serial (4) and number (16), then a CRC-32 of everything before it (4). Big-endian throughout.
constexpr char kMagic[8] = {'K', 'S', 'I', 'M', 'T', 'B', 'L', '1'};
constexpr size_t kRecord = 1 + 4 + kAnBytes;

// Written through a temporary file and a rename, so a killed simulator leaves the old table or
// the new one; no fsync, since only a process death (not a power loss) has to be survived and
// tests mint often.
DurableOptions quick_write() {
  DurableOptions o;
  o.sync = false;
  return o;
}

std::string server_file(const std::string& folder, int server) {
  char name[32];
  std::snprintf(name, sizeof name, "/server_%02d.dat", server);
  return folder + name;
}

bool read_all(const std::string& path, std::vector<uint8_t>* out, bool* missing) {
  *missing = false;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    struct stat st{};
    *missing = stat(path.c_str(), &st) != 0;
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}
}  // namespace

CoinTable::CoinTable() : tables_(kSimServers), dirty_(kSimServers, false) {}

ResultCode CoinTable::load_server_file(const std::string& path, int server,
                                       std::map<SimCoinId, Secret>* out) const {
  std::vector<uint8_t> bytes;
  bool missing = false;
  if (!read_all(path, &bytes, &missing)) return missing ? RC_OK : RC_FILE;
  ResultCode rc = RC_CORRUPT_FILE;
  if (bytes.size() >= 17 && std::memcmp(bytes.data(), kMagic, 8) == 0 && bytes[8] == server) {
    uint32_t count = be32(&bytes[9]);
    size_t want = 13 + size_t(count) * kRecord + 4;
    if (bytes.size() == want && sim_crc32(bytes.data(), want - 4) == be32(&bytes[want - 4])) {
      const uint8_t* p = &bytes[13];
      for (uint32_t i = 0; i < count; ++i, p += kRecord) {
        SimCoinId id{static_cast<int8_t>(p[0]), be32(p + 1)};
        (*out)[id] = Secret(p + 5, kAnBytes);
      }
      rc = RC_OK;
    }
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return rc;
}

ResultCode CoinTable::open(const std::string& folder) {
  if (make_dirs(folder) != RC_OK) return RC_FILE;
  std::vector<std::map<SimCoinId, Secret>> loaded(kSimServers);
  for (int s = 0; s < kSimServers; ++s) {
    ResultCode rc = load_server_file(server_file(folder, s), s, &loaded[s]);
    if (rc != RC_OK) return rc;
  }
  uint32_t next = 1;
  std::vector<uint8_t> meta;
  bool missing = false;
  if (read_all(folder + "/meta.txt", &meta, &missing)) {
    std::string text(meta.begin(), meta.end());
    unsigned long v = 0;
    if (std::sscanf(text.c_str(), "next_serial=%lu", &v) != 1 || v == 0 || v > 0xFFFFFFFFul)
      return RC_CORRUPT_FILE;
    next = uint32_t(v);
  } else if (!missing) {
    return RC_FILE;
  }
  // A lost or stale meta file must never hand out a serial that a server already uses.
  uint64_t after_highest = next;
  for (const auto& t : loaded)
    for (const auto& [id, an] : t) after_highest = std::max<uint64_t>(after_highest, uint64_t(id.serial) + 1);
  next = after_highest > 0xFFFFFFFFull ? 0 : uint32_t(after_highest);
  std::lock_guard<std::mutex> lock(mu_);
  folder_ = folder;
  tables_ = std::move(loaded);
  dirty_.assign(kSimServers, false);
  next_serial_ = next;
  meta_dirty_ = false;
  return RC_OK;
}

ResultCode CoinTable::save_server_locked(int server) {
  const auto& t = tables_[server];
  std::vector<uint8_t> bytes(13 + t.size() * kRecord + 4);
  std::memcpy(bytes.data(), kMagic, 8);
  bytes[8] = uint8_t(server);
  put_be32(&bytes[9], uint32_t(t.size()));
  uint8_t* p = &bytes[13];
  for (const auto& [id, an] : t) {
    p[0] = uint8_t(id.denomination);
    put_be32(p + 1, id.serial);
    std::memcpy(p + 5, an.data(), kAnBytes);
    p += kRecord;
  }
  put_be32(p, sim_crc32(bytes.data(), bytes.size() - 4));
  ResultCode rc = durable_write(server_file(folder_, server), bytes.data(), bytes.size(), quick_write());
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return rc;
}

ResultCode CoinTable::save() {
  std::lock_guard<std::mutex> lock(mu_);
  if (folder_.empty()) return RC_OK;
  for (int s = 0; s < kSimServers; ++s) {
    if (!dirty_[s]) continue;
    ResultCode rc = save_server_locked(s);
    if (rc != RC_OK) return rc;
    dirty_[s] = false;
  }
  if (meta_dirty_) {
    std::string text = "next_serial=" + std::to_string(next_serial_) + "\n";
    ResultCode rc = durable_write(folder_ + "/meta.txt", text, quick_write());
    if (rc != RC_OK) return rc;
    meta_dirty_ = false;
  }
  return RC_OK;
}

bool CoinTable::lookup(int server, SimCoinId id, Secret* an) const {
  if (server < 0 || server >= kSimServers) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = tables_[server].find(id);
  if (it == tables_[server].end()) return false;
  if (an) *an = it->second;
  return true;
}

bool CoinTable::contains(int server, SimCoinId id) const { return lookup(server, id, nullptr); }

bool CoinTable::put(int server, SimCoinId id, const Secret& an) {
  if (server < 0 || server >= kSimServers || an.size() != kAnBytes) return false;
  std::lock_guard<std::mutex> lock(mu_);
  tables_[server][id] = an;
  dirty_[server] = true;
  if (id.serial >= next_serial_) {
    next_serial_ = id.serial == 0xFFFFFFFFu ? 0 : id.serial + 1;
    meta_dirty_ = true;
  }
  return true;
}

bool CoinTable::erase(int server, SimCoinId id) {
  if (server < 0 || server >= kSimServers) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (tables_[server].erase(id) == 0) return false;
  dirty_[server] = true;
  return true;
}

std::vector<std::pair<int8_t, uint32_t>> CoinTable::counts(int server) const {
  std::vector<std::pair<int8_t, uint32_t>> out;
  if (server < 0 || server >= kSimServers) return out;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [id, an] : tables_[server]) {
    if (out.empty() || out.back().first != id.denomination) out.push_back({id.denomination, 0});
    ++out.back().second;
  }
  return out;
}

size_t CoinTable::size(int server) const {
  if (server < 0 || server >= kSimServers) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  return tables_[server].size();
}

uint32_t CoinTable::allocate_serials(uint32_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  if (n == 0 || next_serial_ == 0 || uint64_t(next_serial_) + n - 1 > 0xFFFFFFFFull) return 0;
  uint32_t first = next_serial_;
  uint64_t after = uint64_t(first) + n;
  next_serial_ = after > 0xFFFFFFFFull ? 0 : uint32_t(after);
  meta_dirty_ = true;
  return first;
}

uint32_t CoinTable::next_serial() const {
  std::lock_guard<std::mutex> lock(mu_);
  return next_serial_;
}

void CoinTable::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& t : tables_) t.clear();
  dirty_.assign(kSimServers, true);
  next_serial_ = 1;
  meta_dirty_ = true;
}
