#include "coins/wallet_scan.h"

#include "coins/coin_file.h"
#include "coins/coin_file_format.h"
#include "coins/coin_folder.h"
#include "coins/denomination.h"
#include "coins/ledger.h"
#include "coins/wallet.h"
#include "runtime/log.h"

namespace {
uint64_t add_saturating(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t mul_saturating(uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
  return a * b;
}

// The coin files of a folder; a missing folder is none.
ResultCode list_or_none(const std::string& folder, std::vector<std::string>* names) {
  names->clear();
  ResultCode rc = list_coin_files(folder, names);
  if (rc == RC_NOT_FOUND) return RC_OK;
  return rc;
}
}  // namespace

ResultCode wallet_scan_folder(const std::string& wallet, int index, FolderScan* out) {
  if (!out) return RC_INVALID_PARAM;
  *out = FolderScan();
  std::string folder;
  if (wallet.empty() || wallet_folder_path(wallet, index, &folder) != RC_OK) return RC_INVALID_PARAM;
  std::vector<std::string> names;
  ResultCode rc = list_or_none(folder, &names);
  if (rc != RC_OK) return rc;
  out->entries.reserve(names.size());
  for (const std::string& name : names) {
    FolderScanEntry e;
    e.path = folder + "/" + name;
    CoinFileHeader header;
    uint32_t serial = 0;
    int8_t denom = 0;
    if (coin_file_read_header(e.path, &header, &serial, &denom) != RC_OK) {
      log_warn(CAT_GEN, "wallet_scan_folder: skipping unreadable %s", e.path.c_str());
      continue;
    }
    e.file_name = name;
    e.denomination = denom;
    e.coin_count = header.format == kFormat10 ? 1u : header.token_count;
    e.multi = e.coin_count > 1;
    e.serial_number = e.multi ? 0 : serial;
    e.value_units = mul_saturating(denomination_units(denom), e.coin_count);
    out->total_units = add_saturating(out->total_units, e.value_units);
    out->entries.push_back(std::move(e));
  }
  return RC_OK;
}

uint64_t wallet_bank_value(const std::string& wallet) {
  if (wallet.empty()) return 0;
  FolderScan bank, fracked;
  wallet_scan_folder(wallet, WF_BANK, &bank);
  wallet_scan_folder(wallet, WF_FRACKED, &fracked);
  return add_saturating(bank.total_units, fracked.total_units);
}

ResultCode wallet_read_folder_coins(const std::string& folder, size_t max_files, std::vector<FolderCoin>* out) {
  if (folder.empty() || !out) return RC_INVALID_PARAM;
  out->clear();
  std::vector<std::string> names;
  ResultCode rc = list_or_none(folder, &names);
  if (rc != RC_OK) return rc;
  if (max_files > 0 && names.size() > max_files) names.resize(max_files);
  out->reserve(names.size());
  for (const std::string& name : names) {
    FolderCoin fc;
    std::string path = folder + "/" + name;
    if (coin_file_read(path, &fc.coin) != RC_OK) continue;
    fc.file_name = name;
    out->push_back(std::move(fc));
  }
  return RC_OK;
}

ResultCode wallet_count_folder_denominations(const std::string& folder, uint64_t counts[20]) {
  if (folder.empty() || !counts) return RC_INVALID_PARAM;
  std::vector<std::string> names;
  ResultCode rc = list_or_none(folder, &names);
  if (rc != RC_OK) return rc;
  for (const std::string& name : names) {
    std::string path = folder + "/" + name;
    CoinFileHeader header;
    int8_t denom = 0;
    if (coin_file_read_header(path, &header, nullptr, &denom) != RC_OK) continue;
    if (header.format == kFormat10 || header.token_count <= 1) {
      if (denomination_valid(denom)) ++counts[denom + 8];
      continue;
    }
    // A file of several coins may mix denominations: count each coin.
    std::vector<Coin> coins;
    if (coin_file_read_multi(path, &coins) != RC_OK) continue;
    for (const Coin& c : coins)
      if (denomination_valid(c.denomination)) ++counts[c.denomination + 8];
  }
  return RC_OK;
}

ResultCode wallet_balance(const std::string& wallet, WalletBalance* out) {
  if (wallet.empty() || !out) return RC_INVALID_PARAM;
  *out = WalletBalance();
  FolderScan bank, fracked, limbo;
  ResultCode rc = wallet_scan_folder(wallet, WF_BANK, &bank);
  if (rc == RC_OK) rc = wallet_scan_folder(wallet, WF_FRACKED, &fracked);
  if (rc == RC_OK) rc = wallet_scan_folder(wallet, WF_LIMBO, &limbo);
  if (rc != RC_OK) return rc;
  auto notes = [](const FolderScan& s) {
    uint64_t n = 0;
    for (const FolderScanEntry& e : s.entries) n += e.coin_count;
    return n;
  };
  out->bank_notes = notes(bank);
  out->fracked_notes = notes(fracked);
  out->limbo_notes = notes(limbo);
  out->bank_units = bank.total_units;
  out->fracked_units = fracked.total_units;
  out->limbo_units = limbo.total_units;
  out->disk_units = add_saturating(bank.total_units, fracked.total_units);
  int64_t ledger_units = 0;
  if (ledger_read_balance(wallet, &ledger_units) == RC_OK) {
    out->ledger_read = true;
    out->ledger_units = ledger_units;
  }
  return RC_OK;
}

ResultCode wallet_find_coin(const std::string& wallet, uint32_t serial_number, int8_t denomination, Coin* coin,
                            int* folder_index) {
  if (wallet.empty() || !coin || !folder_index || serial_number == 0) return RC_INVALID_PARAM;
  for (int index : {static_cast<int>(WF_BANK), static_cast<int>(WF_FRACKED)}) {
    std::string folder;
    wallet_folder_path(wallet, index, &folder);
    std::vector<std::string> names;
    if (list_or_none(folder, &names) != RC_OK) continue;
    for (const std::string& name : names) {
      std::string path = folder + "/" + name;
      // The header is enough to rule a file out; only a match is read whole (it may need a key).
      uint32_t sn = 0;
      int8_t denom = 0;
      if (coin_file_read_header(path, nullptr, &sn, &denom) != RC_OK) continue;
      if (sn != serial_number || denom != denomination) continue;
      if (coin_file_read(path, coin) != RC_OK) continue;
      *folder_index = index;
      return RC_OK;
    }
  }
  return RC_NOT_FOUND;
}
