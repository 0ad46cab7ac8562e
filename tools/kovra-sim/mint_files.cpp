#include "mint_files.h"

#include <algorithm>
#include <cstring>

#include "coins/coin.h"
#include "coins/coin_file.h"
#include "runtime/fs.h"
#include "sim_control.h"

ResultCode write_minted_files(const std::string& folder, const std::vector<MintedCoin>& minted,
                              const std::vector<std::vector<Secret>>& numbers, bool multi, const std::string& tag,
                              std::vector<std::string>* files) {
  if (folder.empty() || minted.size() != numbers.size() || minted.empty()) return RC_INVALID_PARAM;
  if (make_dirs(folder) != RC_OK) return RC_FILE;
  std::vector<Coin> coins(minted.size());
  for (size_t c = 0; c < minted.size(); ++c) {
    coins[c].serial_number = minted[c].serial;
    coins[c].denomination = minted[c].denomination;
    for (int s = 0; s < kServerCount; ++s) std::memcpy(coins[c].an[s], numbers[c][s].data(), kAnSize);
  }
  // A multi-coin file holds at most 65535 coins; larger mints are split.
  size_t step = multi ? 65535 : 1;
  for (size_t first = 0; first < coins.size(); first += step) {
    size_t n = std::min(step, coins.size() - first);
    std::string path;
    ResultCode rc = coin_file_store(folder, &coins[first], n, tag, &path);
    if (rc != RC_OK) return rc;
    if (files) files->push_back(path);
  }
  return RC_OK;
}
