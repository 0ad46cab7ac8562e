// What the simulator's operator can do to it, whether it runs or not: mint coins (random numbers
// on every server, coin files written into a folder), corrupt a coin on chosen servers, read the
// numbers a coin has, and reset the state or the counters. The control endpoint and the command
// line both call these. Every change is saved to the state folder before the call returns. Safe
// from any thread; the coin table and the counters lock themselves.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/result_code.h"
#include "coin_table.h"
#include "fault_plan.h"
#include "sim_counters.h"

struct MintRequest {
  std::vector<std::pair<int8_t, uint32_t>> batches;  // (denomination, how many)
  std::string folder;  // where the coin files go; empty mints into the servers only
  bool multi = false;  // one multi-coin file for the whole mint instead of one file per coin
  std::string tag;     // optional tag in the file names
};

struct MintedCoin {
  int8_t denomination = 0;
  uint32_t serial = 0;
};

struct MintResult {
  std::vector<MintedCoin> coins;
  std::vector<std::string> files;
};

enum class CorruptMode {
  kCounterfeit,  // new numbers on the chosen servers (all 25 when none are named)
  kFracked,      // new numbers on the chosen servers, which must be fewer than 13
  kForget,       // the chosen servers no longer know the coin
};

// Parses "counterfeit", "fracked" or "forget".
bool parse_corrupt_mode(const std::string& text, CorruptMode* mode);
// Parses "0:3,1:2" (denomination:count pairs; a bare "0" means one coin). Denominations -8..11,
// counts 1..20000 in total (each coin costs 25 table entries).
bool parse_mint_batches(const std::string& text, std::vector<std::pair<int8_t, uint32_t>>* out);
// Parses "0,1,7" into server ids 0..24 (duplicates dropped); empty text gives an empty list.
bool parse_server_list(const std::string& text, std::vector<int>* out);

class SimControl {
 public:
  // `counters` and `faults` are absent when working on a folder without a running simulator.
  SimControl(CoinTable* table, SimCounters* counters, FaultPlan* faults = nullptr)
      : table_(table), counters_(counters), faults_(faults) {}

  // Creates the coins with fresh random numbers on all 25 servers and writes their files.
  // RC_INVALID_PARAM for an empty or oversized request, RC_FILE when the folder or a file cannot
  // be written, or the table's save failure. The coins stay minted when a file fails.
  ResultCode mint(const MintRequest& request, MintResult* result);
  // Corrupts the coin on the servers. RC_NOT_FOUND when no server knows the coin,
  // RC_INVALID_PARAM for a fracked request naming 13 servers or more (or none).
  ResultCode corrupt(SimCoinId coin, CorruptMode mode, const std::vector<int>& servers);
  // Each server's number for the coin, as 32 lowercase hex digits, or "" where it is unknown.
  std::vector<std::string> numbers(SimCoinId coin) const;
  // "counters", "coins", "faults" or "all". RC_INVALID_PARAM for anything else.
  ResultCode reset(const std::string& what);
  FaultPlan* faults() { return faults_; }

 private:
  CoinTable* table_;
  SimCounters* counters_;
  FaultPlan* faults_;
};

// JSON texts the control endpoint and the command line print.
std::string mint_result_json(const MintResult& result);
std::string counters_json(const SimCounters& counters, int only_server);
std::string numbers_json(SimCoinId coin, const std::vector<std::string>& numbers);
std::string faults_json(const std::vector<FaultRule>& rules);
std::string json_escape(const std::string& s);
