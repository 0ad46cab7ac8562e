// Sorted listings of coin folders. The file system returns names in no particular order, while
// coin operations take "the first" file of a folder and must do so the same way on every run, so
// every listing here is sorted bytewise. The durable writer's temporary files are never listed.
// Safe from any thread; a listing is a snapshot.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"

// Names (not paths) of the regular files in `folder` whose name ends with `suffix` (compared
// without regard to ASCII case; empty matches all), sorted bytewise. Sub-folders and temporary files
// are left out. RC_OK; RC_NOT_FOUND when the folder does not exist; RC_FILE
// when it cannot be read; RC_INVALID_PARAM for an empty folder or no output.
ResultCode list_folder_files(const std::string& folder, std::string_view suffix, std::vector<std::string>* names);
// The coin files of a folder: list_folder_files with the suffix ".bin".
ResultCode list_coin_files(const std::string& folder, std::vector<std::string>* names);
