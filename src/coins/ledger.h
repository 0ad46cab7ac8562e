// The ledger `transactions.csv` of a wallet: one row per movement of value, newest directly under
// the header, each carrying the wallet's balance on disk after the movement. Operations that move
// value append rows; the wallet endpoints read them back. Every append is a read-modify-write of
// the whole file under the process-wide ledger lock and reaches the disk through durable_write,
// so a crash leaves the old ledger or the new one; readers take the same lock and read the file
// in one pass. Amounts are exact decimal texts made from units. Safe from any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"

inline constexpr size_t kLedgerRemarksMax = 31;
inline constexpr size_t kLedgerDescriptionMax = 255;
inline constexpr size_t kLedgerTaskIdMax = 63;
inline constexpr size_t kLedgerDateMax = 31;

// What a caller hands to the ledger.
struct LedgerEntry {
  int64_t amount_units = 0;  // positive: into the wallet
  std::string remarks;       // cut to 31 bytes
  std::string description;   // cut to 255 bytes
  std::string task_id;       // cut to 63 bytes; empty: a fresh identifier is made
};

// One data line as read back.
struct LedgerRow {
  std::string date_time;
  std::string remarks;
  int64_t amount_units = 0;  // deposit minus withdraw
  std::string description;
  std::string task_id;
  int64_t balance_units = 0;
};

struct LedgerContents {
  bool present = false;        // the file exists
  std::vector<LedgerRow> rows;  // newest first, as in the file
  int64_t balance_units = 0;   // the newest row's balance, 0 without rows
};

// Appends a row for `entry` with the wallet's current disk balance (Bank plus Fracked). A missing
// file is created with the header. *task_id_out (optional) receives the row's task identifier.
// RC_OK; RC_INVALID_PARAM for an empty wallet path; RC_FILE when the file cannot be read or
// written (the old ledger is then unchanged).
ResultCode ledger_append(const std::string& wallet, const LedgerEntry& entry, std::string* task_id_out = nullptr);
// The same with the balance given by the caller (already in units).
ResultCode ledger_append_with_balance(const std::string& wallet, const LedgerEntry& entry, uint64_t balance_units,
                                      std::string* task_id_out = nullptr);
// Reads every row. A missing file is RC_OK with present false; RC_FILE when it cannot be read.
ResultCode ledger_read(const std::string& wallet, LedgerContents* out);
// Only the newest row's balance (0 without rows), for the balance endpoint: same pass and lock as
// ledger_read without parsing every row. RC_OK (also for a missing file), RC_FILE.
ResultCode ledger_read_balance(const std::string& wallet, int64_t* balance_units);
// The file's lines without line ends (the header first), read in one pass under the ledger lock.
// A missing file is RC_OK with *present false and no lines; RC_FILE when unreadable.
ResultCode ledger_read_lines(const std::string& wallet, std::vector<std::string>* lines, bool* present);

// The symbol that leads a row, chosen from its remarks.
const char* ledger_symbol(std::string_view remarks);
// The full text of one row (with its line feed) as the writer produces it.
std::string ledger_format_row(const LedgerEntry& entry, const std::string& date_time, uint64_t balance_units);
// Parses one data line; false for an empty line.
bool ledger_parse_row(std::string_view line, LedgerRow* out);
// A ledger number ("12.5", "-0.00000001", also an exponent form such as "1e-05" written by older
// versions) as units; other characters are ignored, the result saturates at the 64-bit range.
int64_t ledger_parse_units(std::string_view field);
// The local time now as "%m/%d/%Y, %I:%M %p".
std::string ledger_date_now();
