// Receipts: after an operation that takes in or gives out many coins (deposit, upgrade, locker
// download, locker upload) a small JSON summary `<wallet>/Receipts/<id>.json` and, when the
// per-coin list is known, a companion `<wallet>/Receipts/Coin Details/<id>.json`. Both reach the
// disk through durable_write. The builder is a process-wide hook that start-up installs
// (receipt_install_writer); writing without it is refused. Also the reading side of the receipts
// endpoint. Safe from any thread; ids are task identifiers, unique per operation, so writers
// never meet on one file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "coins/pown.h"

enum ReceiptKind { RECEIPT_DEPOSIT = 0, RECEIPT_UPGRADE = 1, RECEIPT_LOCKER_DOWNLOAD = 2, RECEIPT_LOCKER_UPLOAD = 3 };
enum ReceiptDetailMode { RECEIPT_DETAILS_NONE = 0, RECEIPT_DETAILS_SCAN = 1, RECEIPT_DETAILS_LIST = 2 };

inline constexpr uint64_t kReceiptMaxReadBytes = 262144;

// One coin of the companion file.
struct ReceiptCoin {
  uint32_t serial_number = 0;
  int8_t denomination = 0;
  uint8_t pown[kServerCount] = {};
  std::string bucket;  // "Bank", "Fracked", "Limbo", "Counterfeit", ...
};

struct ReceiptInput {
  int kind = RECEIPT_DEPOSIT;
  std::string wallet_path;
  std::string task_id;  // empty: the id is the local time "%Y%m%d_%H%M%S"
  std::string memo;
  std::string locker_key;
  int kovra_consensus = 0;
  int bank_count = 0, fracked_count = 0, limbo_count = 0, counterfeit_count = 0, duplicate_count = 0,
      error_count = 0, corrupted_count = 0, move_failures = 0;
  int converted_count = 0, expired_count = 0, legacy_counterfeit_count = 0;
  int zbv1_converted_count = 0, zbv1_counterfeit_count = 0, zbv2_converted_count = 0, zbv2_counterfeit_count = 0,
      zbv3_minted_count = 0;
  uint64_t zbv1_converted_value = 0, zbv1_counterfeit_value = 0, zbv2_converted_value = 0,
           zbv2_counterfeit_value = 0, zbv3_minted_value = 0;  // units
  uint64_t value_bank = 0, value_fracked = 0, value_limbo = 0, value_counterfeit = 0, total_deposited = 0;  // units
  int detail_mode = RECEIPT_DETAILS_NONE;
  std::vector<ReceiptCoin> coins;  // for RECEIPT_DETAILS_LIST
};

// Builds the primary receipt text for `id` (writing the companion file first when coins are
// known). RC_OK or the failure that stops the receipt.
using ReceiptBuilder = ResultCode (*)(const ReceiptInput& input, const std::string& id, std::string* json);

// Installs (or, with nullptr, removes) the process-wide builder.
void receipt_set_builder(ReceiptBuilder builder);
// Installs this module's builder, receipt_build_json (start-up).
void receipt_install_writer();
// The builder of this module.
ResultCode receipt_build_json(const ReceiptInput& input, const std::string& id, std::string* json);

// Builds the receipt with the installed builder and writes `<wallet>/Receipts/<id>.json`.
// *path_out and *json_out (each optional) receive the file's path and text. RC_OK; RC_ERROR with
// "receipt_build_json: no JSON writer registered" when no builder is installed; RC_INVALID_PARAM
// for no wallet; RC_FILE when a folder or the file cannot be written.
ResultCode receipt_write_and_emit(const ReceiptInput& input, std::string* path_out, std::string* json_out);
// Writes the companion coin-details file for `id`, coins sorted by denomination (highest first)
// then serial number. RC_OK, RC_INVALID_PARAM, RC_FILE.
ResultCode receipt_write_coin_details(const ReceiptInput& input, const std::string& id, std::vector<ReceiptCoin> coins);
// The companion's per-server letter: 0 ".", 1 "n", 2 "s", 3 "t", 7 "a", 8 "N", 9 "S", 10 "A",
// 12 "T", 13 "X", 14 "E", 15 "F", any other "?".
char receipt_pown_letter(uint8_t code);

// Reading, for the receipts endpoint.
enum ReceiptReadOutcome {
  RR_OK,
  RR_INVALID_NAME,  // "..", a separator or a control character
  RR_NOT_FOUND,
  RR_CANNOT_SIZE,
  RR_TOO_LARGE,     // above kReceiptMaxReadBytes
  RR_READ_FAILED,
};
// Names of the files in `<wallet>/Receipts`, sorted; a missing folder gives none. RC_OK, RC_FILE.
ResultCode receipt_list(const std::string& wallet, std::vector<std::string>* names);
// True when `text` is one complete JSON value (with white space around it): a receipt embedded in
// a reply unchanged must not break the reply.
bool receipt_text_is_json(std::string_view text);
// The bytes of `<wallet>/Receipts/<file_name>`.
ReceiptReadOutcome receipt_read(const std::string& wallet, const std::string& file_name, std::string* content);
