// The honest state of the 25 simulated servers: for each server, the coins it knows, keyed by
// (denomination, serial number), each with that server's own 16-byte authenticity number. A coin
// therefore carries 25 independent numbers, and corrupting it on one server leaves the others
// alone. The table lives in memory and is saved to a state folder, one file per server plus a
// small meta file for the serial counter, each replaced through a temporary file and a rename so
// a killed simulator never leaves a half-written table. All functions may be called from any
// thread; each takes the table lock.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/result_code.h"
#include "base/secret.h"

constexpr int kSimServers = 25;
constexpr int kAnBytes = 16;

struct SimCoinId {
  int8_t denomination = 0;
  uint32_t serial = 0;
  bool operator<(const SimCoinId& o) const {
    return denomination != o.denomination ? denomination < o.denomination : serial < o.serial;
  }
  bool operator==(const SimCoinId& o) const { return denomination == o.denomination && serial == o.serial; }
};

class CoinTable {
 public:
  CoinTable();
  CoinTable(const CoinTable&) = delete;
  CoinTable& operator=(const CoinTable&) = delete;

  // Reads every server file and the meta file from `folder` (creating the folder when missing; a
  // folder without files is an empty table) and remembers it for later saves. RC_OK, RC_FILE when
  // the folder cannot be made or read, RC_CORRUPT_FILE when a file fails its check (nothing is
  // loaded then, so a damaged state is never silently replaced by an empty one).
  ResultCode open(const std::string& folder);
  // Writes every server changed since the last save, and the meta file. RC_OK without a folder.
  ResultCode save();
  const std::string& folder() const { return folder_; }

  // That server's number for the coin into `an` (16 bytes); false when the server does not know it.
  bool lookup(int server, SimCoinId id, Secret* an) const;
  // Sets (or replaces) the server's number for the coin. False for a bad server id or number size.
  bool put(int server, SimCoinId id, const Secret& an);
  // Forgets the coin on that server; false when it was not there.
  bool erase(int server, SimCoinId id);
  bool contains(int server, SimCoinId id) const;
  // Coins per denomination on one server, lowest denomination first.
  std::vector<std::pair<int8_t, uint32_t>> counts(int server) const;
  size_t size(int server) const;

  // Reserves `n` consecutive serial numbers that no server uses yet and returns the first; the
  // counter only moves forward and is saved with the table. 0 when the 32-bit range is exhausted.
  uint32_t allocate_serials(uint32_t n);
  uint32_t next_serial() const;

  // Empties every server (and restarts serials at 1); the next save writes the empty table.
  void clear();

 private:
  ResultCode load_server_file(const std::string& path, int server, std::map<SimCoinId, Secret>* out) const;
  ResultCode save_server_locked(int server);

  // Guards tables_, dirty_, next_serial_ and meta_dirty_. Stands alone in the lock order: no other
  // simulator lock is taken while it is held.
  mutable std::mutex mu_;
  std::string folder_;
  std::vector<std::map<SimCoinId, Secret>> tables_;
  std::vector<bool> dirty_;
  uint32_t next_serial_ = 1;
  bool meta_dirty_ = false;
};
