// Reading and writing coin files (formats in coin_file_format.h). Every write goes through
// durable_write, so a destination always holds either its old or its new content, and a write
// that would not change the file is skipped. When the wallet is encrypted (the write gate of the
// installed CoinSession), single-coin writes produce format 10 files and re-check, in the durable
// writer's last check and under the session's commit fence, that their authority is still
// current and that the destination still holds the bytes first seen. Readers check every size
// and field. No lock of its own: callers that may touch the same file at once exclude each other.
// Any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "coins/coin.h"
#include "coins/coin_file_format.h"
#include "coins/coin_session.h"

// The size and SHA-256 of a file as first seen; a writer given one replaces the destination only
// while it still has exactly these bytes.
struct OriginalBytesToken {
  bool valid = false;
  uint64_t size = 0;  // 1 .. kMaxTokenFileSize
  uint8_t sha256[32] = {};
};
constexpr uint64_t kMaxTokenFileSize = 65536;

// Takes a token of the file at `path`. RC_OK; RC_FILE when it cannot be read; RC_INVALID_PARAM
// for no output or a size outside 1..65536.
ResultCode original_bytes_token_take(const std::string& path, OriginalBytesToken* token);

// Reads one coin: the first coin of a format 9 file (pown status from the header of a single-coin
// file, else all 0) or the coin of a format 10 file, decrypted with the installed session's key
// for the file's salt. RC_OK; RC_INVALID_PARAM; RC_FILE (cannot open); RC_CORRUPT_FILE (short,
// oversized format 10, header mismatch, no coin record); RC_UNSUPPORTED_FORMAT (legacy
// interim-encrypted file, or a format 10 key-derivation id other than 5); RC_CRC; RC_LOCKED (no
// key can be had).
ResultCode coin_file_read(const std::string& path, Coin* coin);
// The header and the first coin's serial number and denomination (each output optional); never
// needs a key. RC_OK, RC_INVALID_PARAM, RC_FILE, RC_CORRUPT_FILE, or the format 10 check result.
ResultCode coin_file_read_header(const std::string& path, CoinFileHeader* header, uint32_t* serial_number,
                                 int8_t* denomination);
// Every coin of a format 9 file, whose size must be exactly 32 + 407 x token count (pown status
// all 0). RC_OK (no coins for token count 0); RC_UNSUPPORTED_FORMAT for format 10; RC_FILE;
// RC_CORRUPT_FILE; RC_MEMORY; RC_INVALID_PARAM.
ResultCode coin_file_read_multi(const std::string& path, std::vector<Coin>* coins);
// The 16 salt bytes of a format 10 file. RC_OK; RC_FILE; RC_UNSUPPORTED_FORMAT when the file is not
// 612 bytes starting with 10; RC_INVALID_PARAM.
ResultCode coin_file_read_salt(const std::string& path, uint8_t salt[16]);

// True when the file at `path` already holds `coin` in `format` (9 or 10): same denomination,
// serial number, aux24, authenticity numbers and pown codes. A format 9 match is a byte-exact
// single-coin image; a format 10 match needs a key from the installed session.
bool coin_file_matches(const std::string& path, const Coin& coin, int format);

// Writes one coin to `path` in the format the session demands: plaintext while the write gate is
// closed or the thread is in a PlaintextExportScope, else format 10 under a CONFIRMED session's
// authority. RC_OK (also when the file already held the coin); RC_INVALID_PARAM; RC_LOCKED
// (encrypted wallet without a CONFIRMED session, or no authority); the writers' own results.
ResultCode coin_file_write_atomic(const std::string& path, const Coin& coin);
// Writes 1..65535 plaintext coins as one format 9 file. RC_OK; RC_INVALID_PARAM (bad count, a coin
// not valid for writing); RC_FILE.
ResultCode coin_file_write_multi_atomic(const std::string& path, const Coin* coins, size_t count);
// Writes a format 9 single-coin file over `path` (decryption). An existing destination needs a
// token and must still match it at the rename (RC_BUSY otherwise; the destination is untouched);
// a missing one must still be missing. With an authority, the rename happens under the commit
// fence (RC_CANCELLED when the authority is no longer current). RC_OK, RC_INVALID_PARAM, RC_FILE.
ResultCode coin_file_write_plaintext_atomic_tok(const std::string& path, const Coin& coin,
                                                const SessionAuthority* authority, const OriginalBytesToken* token);
// Writes a format 10 file under `key` (32 bytes) and `salt`. RC_OK; RC_NO_CHANGE when the file
// already holds the coin; RC_KEY_UNCONFIRMED when the destination is a valid format 10 file of
// another salt (left as it is); RC_BUSY when the destination changed since it was first seen or
// the token no longer applies; RC_CANCELLED when the authority is no longer current at the
// commit fence; RC_INVALID_PARAM; RC_FILE; the random source's failure.
ResultCode coin_file_write_type10_atomic(const std::string& path, const Coin& coin, const uint8_t* key,
                                         const uint8_t salt[16], const SessionAuthority* authority,
                                         const OriginalBytesToken* token);

// Names the file for `count` coins (coin_file_name; a random suffix when `folder` is not one of
// the standard coin folders, so exports never collide), writes it into `folder` and reports the
// path. RC_OK; RC_INVALID_PARAM (no coins, bad tag); RC_ERROR (name too long); the writers'
// results.
ResultCode coin_file_store(const std::string& folder, const Coin* coins, size_t count, std::string_view tag,
                           std::string* written_path);
// True when the last component of `folder` is a standard coin folder (Bank, Fracked, Limbo,
// Counterfeit, Suspect, Grade, Pending, Import, Imported, Trash).
bool is_standard_coin_folder(std::string_view folder);
