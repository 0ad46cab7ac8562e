// Coin files for minted coins: format-9 files, one per coin or one multi-coin file, written into
// a folder with the service's own coin file writer, so the service reads exactly what it writes.
// Safe from any thread; files are written through temporary names and renamed into place.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "base/secret.h"

struct MintedCoin;

// Writes the coins (numbers[c][s] is coin c's number on server s) into `folder`, creating it when
// missing, and lists the paths written. RC_OK, RC_INVALID_PARAM, RC_FILE or the writer's failure.
ResultCode write_minted_files(const std::string& folder, const std::vector<MintedCoin>& coins,
                              const std::vector<std::vector<Secret>>& numbers, bool multi, const std::string& tag,
                              std::vector<std::string>* files);
