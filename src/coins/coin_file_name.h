// Coin file names: the current form "<amount> Zorbit #<serial> '<tag>'.bin", where the amount is
// the grouped text of the file's total units, and the legacy form
// "<value>.[Zorbit.]<serial>[.<tag>].bin" that files of earlier versions carry. Building refuses
// tags that could leave the folder or break the round trip; parsing is exact integer work.
// Pure functions: safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_code.h"

// Names must fit a 256-byte buffer with its terminator.
constexpr size_t kMaxCoinFileName = 255;

struct CoinFileNameInfo {
  uint64_t total_units = 0;  // legacy names: the units of the value they carry
  int8_t denomination = -8;
  uint32_t serial_number = 0;  // 0 when the name carries none
  std::string tag;
  bool legacy = false;
};

// The current-form name for a file of `coin_count` coins worth `total_units`; the serial number
// appears only for a single coin, the tag only when not empty. RC_OK; RC_INVALID_PARAM for no
// output or a tag holding a path separator, a quote or a control character; RC_ERROR when the
// name would exceed 255 bytes.
ResultCode coin_file_name(uint64_t total_units, size_t coin_count, uint32_t serial_number, std::string_view tag,
                          std::string* out);
// Reads a name in either form; any folder part (up to the last "/" or "\") is ignored. RC_OK,
// RC_ERROR when it is not a coin file name, RC_INVALID_PARAM for an empty name or no output.
ResultCode parse_coin_file_name(std::string_view name, CoinFileNameInfo* out);
// The serial number a name carries: after a "#", else that of a legacy name, else the number after
// the second "." when followed by "." or the end. RC_OK (non-zero serial), RC_ERROR when none,
// RC_INVALID_PARAM for no output.
ResultCode serial_from_file_name(std::string_view name, uint32_t* serial);
// True when the name parses and its tag equals `tag` exactly.
bool coin_file_name_has_tag(std::string_view name, std::string_view tag);
