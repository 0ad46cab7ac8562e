// Folder scans of a wallet: which coin files a sub-folder holds, what they are worth, and the
// coins themselves for the listings of the wallet endpoints. Operations use wallet_bank_value as
// the wallet's spendable balance. Scans take no lock: a worker moving files meanwhile can make a
// scan miss or double-count a file, which callers that need exactness avoid by holding the wallet
// lock. Safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "coins/coin.h"

struct FolderScanEntry {
  std::string path;       // full path of the file
  std::string file_name;  // name only
  uint32_t serial_number = 0;  // 0 for a file of several coins
  int8_t denomination = 0;     // of the file's first coin
  uint64_t value_units = 0;    // denomination value x coin count, saturating
  bool multi = false;          // more than one coin
  uint32_t coin_count = 0;
};

struct FolderScan {
  std::vector<FolderScanEntry> entries;  // sorted by file name
  uint64_t total_units = 0;              // saturating sum of the entries' values
};

// One readable `*.bin` file with its first coin, for listings.
struct FolderCoin {
  std::string file_name;
  Coin coin;
};

// Scans every `*.bin` file of sub-folder `index`. A missing folder is an empty scan and RC_OK;
// unreadable files are skipped with "wallet_scan_folder: skipping unreadable %s".
// RC_INVALID_PARAM for a bad index or an empty wallet path, RC_FILE when the folder cannot be listed.
ResultCode wallet_scan_folder(const std::string& wallet, int index, FolderScan* out);
// The saturating sum of the Bank and Fracked scans in units; 0 for an empty path.
uint64_t wallet_bank_value(const std::string& wallet);
// Reads the first coin of each of the first `max_files` (0: all) `*.bin` files of `folder` in
// name order; unreadable files are skipped. A missing folder gives none and RC_OK.
ResultCode wallet_read_folder_coins(const std::string& folder, size_t max_files, std::vector<FolderCoin>* out);
// Every coin of every `*.bin` file of `folder` (all coins of a multi-coin file), counted per
// denomination code -8..11 into counts[code + 8]. RC_OK, RC_INVALID_PARAM, RC_FILE.
ResultCode wallet_count_folder_denominations(const std::string& folder, uint64_t counts[20]);

// The counts behind the balance endpoint: every coin file of Bank, Fracked and Limbo (a file of
// several coins counts each coin), and the ledger's newest balance.
struct WalletBalance {
  uint64_t bank_notes = 0, fracked_notes = 0, limbo_notes = 0;
  uint64_t bank_units = 0, fracked_units = 0, limbo_units = 0;
  uint64_t disk_units = 0;     // Bank + Fracked, saturating
  bool ledger_read = false;    // the ledger was read (a missing one reads as 0)
  int64_t ledger_units = 0;
};
// Fills `out` for an existing wallet folder. RC_OK, RC_INVALID_PARAM, RC_FILE (a folder that
// cannot be listed).
ResultCode wallet_balance(const std::string& wallet, WalletBalance* out);
// The first coin with this serial number and code in Bank, then Fracked (every file of each).
// RC_OK with *folder_index WF_BANK or WF_FRACKED; RC_NOT_FOUND; RC_INVALID_PARAM.
ResultCode wallet_find_coin(const std::string& wallet, uint32_t serial_number, int8_t denomination, Coin* coin,
                            int* folder_index);
