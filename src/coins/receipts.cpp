#include "coins/receipts.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <sstream>

#include "base/amount.h"
#include "coins/coin_file.h"
#include "coins/coin_file_name.h"
#include "coins/coin_folder.h"
#include "coins/wallet.h"
#include "http/json_scan.h"
#include "http/json_writer.h"
#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "runtime/log.h"

namespace {
std::atomic<ReceiptBuilder> g_builder{nullptr};

std::string local_time(const char* format) {
  time_t now = std::time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  char buf[64];
  std::strftime(buf, sizeof buf, format, &tmv);
  return buf;
}

const char* kind_name(int kind) {
  switch (kind) {
    case RECEIPT_DEPOSIT: return "deposit";
    case RECEIPT_UPGRADE: return "upgrade";
    case RECEIPT_LOCKER_DOWNLOAD: return "locker_download";
    case RECEIPT_LOCKER_UPLOAD: return "locker_upload";
    default: return "unknown";
  }
}

std::string receipt_id(const ReceiptInput& in) {
  return in.task_id.empty() ? local_time("%Y%m%d_%H%M%S") : in.task_id;
}

// The coins of the task in Bank, Fracked, Limbo and Counterfeit (files tagged with its id).
bool scan_task_coins(const ReceiptInput& in, std::vector<ReceiptCoin>* out, const char** reason) {
  if (in.task_id.empty()) {
    *reason = "scan failed";
    return false;
  }
  for (int index : {static_cast<int>(WF_BANK), static_cast<int>(WF_FRACKED), static_cast<int>(WF_LIMBO),
                    static_cast<int>(WF_COUNTERFEIT)}) {
    std::string folder;
    wallet_folder_path(in.wallet_path, index, &folder);
    std::vector<std::string> names;
    if (list_coin_files(folder, &names) != RC_OK) continue;
    for (const std::string& name : names) {
      if (!coin_file_name_has_tag(name, in.task_id)) continue;
      Coin coin;
      if (coin_file_read(folder + "/" + name, &coin) != RC_OK) continue;
      ReceiptCoin rc;
      rc.serial_number = coin.serial_number;
      rc.denomination = coin.denomination;
      std::copy(coin.pown_status, coin.pown_status + kServerCount, rc.pown);
      rc.bucket = wallet_folder_name(index);
      out->push_back(std::move(rc));
    }
  }
  return true;
}

}  // namespace

char receipt_pown_letter(uint8_t code) {
  switch (code) {
    case 0: return '.';
    case 1: return 'n';
    case 2: return 's';
    case 3: return 't';
    case 7: return 'a';
    case 8: return 'N';
    case 9: return 'S';
    case 10: return 'A';
    case 12: return 'T';
    case 13: return 'X';
    case 14: return 'E';
    case 15: return 'F';
    default: return '?';
  }
}

namespace {
// The members both receipt files open with, so the primary and its Coin Details always agree.
void receipt_begin(JsonBuilder& json, const ReceiptInput& in, const std::string& id) {
  json.member_int("schema_version", 1);
  json.member_string("type", kind_name(in.kind));
  json.member_string("date", local_time("%Y-%m-%dT%H:%M:%S"));
  json.member_string("task_id", in.task_id.empty() ? id : in.task_id);
}
}  // namespace

void receipt_set_builder(ReceiptBuilder builder) { g_builder.store(builder); }

void receipt_install_writer() { receipt_set_builder(&receipt_build_json); }

ResultCode receipt_write_coin_details(const ReceiptInput& in, const std::string& id, std::vector<ReceiptCoin> coins) {
  if (in.wallet_path.empty() || !is_plain_name(id)) return RC_INVALID_PARAM;
  std::string folder = in.wallet_path + "/Receipts/Coin Details";
  if (make_dirs(folder) != RC_OK) return RC_FILE;
  std::sort(coins.begin(), coins.end(), [](const ReceiptCoin& a, const ReceiptCoin& b) {
    if (a.denomination != b.denomination) return a.denomination > b.denomination;
    return a.serial_number < b.serial_number;
  });
  JsonBuilder json;
  json.begin_object();
  receipt_begin(json, in, id);
  json.member_bool("complete", true);
  json.member_null("incomplete_reason");
  json.member_uint64("coin_count", coins.size());
  json.key("coins");
  json.begin_array();
  for (const ReceiptCoin& c : coins) {
    json.begin_object();
    json.member_uint64("sn", c.serial_number);
    json.member_int("denom", c.denomination);
    std::string pown;
    for (size_t s = 0; s < kServerCount; ++s) pown += receipt_pown_letter(c.pown[s]);
    json.member_string("pown", pown);
    json.member_string("bucket", c.bucket);
    json.end_object();
  }
  json.end_array();
  json.end_object();
  if (!json.ok()) return RC_MEMORY;
  std::string path = folder + "/" + id + ".json";
  if (durable_write(path, json.text()) != RC_OK) {
    log_error(CAT_GEN, "receipt coin-details: write failed %s", path.c_str());
    return RC_FILE;
  }
  log_info(CAT_GEN, "receipt coin-details: wrote %s (%d coins, complete=%d)", path.c_str(),
           static_cast<int>(coins.size()), 1);
  return RC_OK;
}

ResultCode receipt_build_json(const ReceiptInput& in, const std::string& id, std::string* out) {
  if (!out || in.wallet_path.empty()) return RC_INVALID_PARAM;
  std::vector<ReceiptCoin> coins;
  const char* reason = nullptr;
  if (in.detail_mode == RECEIPT_DETAILS_SCAN) {
    if (!scan_task_coins(in, &coins, &reason)) coins.clear();
    if (in.legacy_counterfeit_count > 0) {
      coins.clear();
      reason = "legacy counterfeit per-coin detail unavailable";
    }
  } else if (in.detail_mode == RECEIPT_DETAILS_LIST) {
    coins = in.coins;
  }
  bool details = false;
  size_t detail_count = coins.size();
  if (!coins.empty()) {
    ResultCode rc = receipt_write_coin_details(in, id, coins);
    if (rc == RC_OK) {
      details = true;
    } else {
      log_warn(CAT_GEN, "receipt: companion write failed for task %s (%d); primary will report coin_details_available=false",
               in.task_id.c_str(), static_cast<int>(rc));
    }
  } else if (reason) {
    log_info(CAT_GEN, "receipt: no coin details for task %s: %s", in.task_id.c_str(), reason);
  }

  bool legacy_kind = in.kind == RECEIPT_DEPOSIT || in.kind == RECEIPT_UPGRADE;
  JsonBuilder json;
  json.begin_object();
  receipt_begin(json, in, id);
  if (in.memo.empty())
    json.member_null("memo");
  else
    json.member_string("memo", in.memo);
  json.key("totals");
  json.begin_object();
  json.member_int("bank_count", in.bank_count);
  json.member_int("fracked_count", in.fracked_count);
  json.member_int("limbo_count", in.limbo_count);
  json.member_int("counterfeit_count", in.counterfeit_count);
  json.member_int("duplicate_count", in.duplicate_count);
  json.member_int("error_count", in.error_count);
  if (in.corrupted_count != 0) json.member_int("corrupted_count", in.corrupted_count);
  if (legacy_kind) {
    json.member_int("converted_count", in.converted_count);
    json.member_int("expired_count", in.expired_count);
    json.member_int("legacy_counterfeit_count", in.legacy_counterfeit_count);
    if (in.zbv1_converted_count || in.zbv1_counterfeit_count || in.zbv2_converted_count || in.zbv2_counterfeit_count) {
      json.member_int("zbv1_converted_count", in.zbv1_converted_count);
      json.member_units("zbv1_converted_value", in.zbv1_converted_value);
      json.member_int("zbv1_counterfeit_count", in.zbv1_counterfeit_count);
      json.member_units("zbv1_counterfeit_value", in.zbv1_counterfeit_value);
      json.member_int("zbv2_converted_count", in.zbv2_converted_count);
      json.member_units("zbv2_converted_value", in.zbv2_converted_value);
      json.member_int("zbv2_counterfeit_count", in.zbv2_counterfeit_count);
      json.member_units("zbv2_counterfeit_value", in.zbv2_counterfeit_value);
      json.member_int("zbv3_minted_count", in.zbv3_minted_count);
      json.member_units("zbv3_minted_value", in.zbv3_minted_value);
    }
  }
  if (in.move_failures != 0) json.member_int("move_failures", in.move_failures);
  json.member_units("value_bank", in.value_bank);
  json.member_units("value_fracked", in.value_fracked);
  json.member_units("value_limbo", in.value_limbo);
  json.member_units("value_counterfeit", in.value_counterfeit);
  json.member_units("total_deposited", in.total_deposited);
  json.end_object();
  if (in.kind == RECEIPT_LOCKER_DOWNLOAD || in.kind == RECEIPT_LOCKER_UPLOAD) {
    json.key("locker");
    json.begin_object();
    json.member_string("locker_key", in.locker_key);
    json.member_int("kovra_consensus", in.kovra_consensus);
    json.end_object();
  }
  json.member_bool("coin_details_available", details);
  json.member_uint64("coin_details_count", details ? detail_count : 0);
  if (details)
    json.member_string("coin_details_file", "Coin Details/" + id + ".json");
  else
    json.member_null("coin_details_file");
  json.end_object();
  if (!json.ok()) return RC_MEMORY;
  *out = json.text();
  return RC_OK;
}

ResultCode receipt_write_and_emit(const ReceiptInput& in, std::string* path_out, std::string* json_out) {
  ReceiptBuilder builder = g_builder.load();
  if (!builder) {
    log_error(CAT_GEN, "receipt_build_json: no JSON writer registered");
    return RC_ERROR;
  }
  if (in.wallet_path.empty()) return RC_INVALID_PARAM;
  std::string id = receipt_id(in);
  // The id becomes a file name: one that could leave the Receipts folder is refused.
  if (!is_plain_name(id)) return RC_INVALID_PARAM;
  std::string text;
  ResultCode rc = builder(in, id, &text);
  if (rc != RC_OK) return rc;
  std::string folder = in.wallet_path + "/Receipts";
  if (make_dirs(folder) != RC_OK) return RC_FILE;
  std::string path = folder + "/" + id + ".json";
  if (durable_write(path, text) != RC_OK) {
    log_error(CAT_GEN, "receipt_write_and_emit: failed to create %s", path.c_str());
    return RC_FILE;
  }
  if (path_out) *path_out = path;
  if (json_out) *json_out = std::move(text);
  return RC_OK;
}

bool receipt_text_is_json(std::string_view text) { return json_text_is_valid(text); }

ResultCode receipt_list(const std::string& wallet, std::vector<std::string>* names) {
  if (wallet.empty() || !names) return RC_INVALID_PARAM;
  names->clear();
  ResultCode rc = list_dir(wallet + "/Receipts", LIST_FILES, names);
  if (rc == RC_NOT_FOUND) return RC_OK;
  return rc;
}

ReceiptReadOutcome receipt_read(const std::string& wallet, const std::string& file_name, std::string* content) {
  if (file_name.empty() || file_name.find("..") != std::string::npos ||
      file_name.find_first_of("/\\") != std::string::npos || has_control_chars(file_name))
    return RR_INVALID_NAME;
  std::string path = wallet + "/Receipts/" + file_name;
  if (!is_file(path)) return RR_NOT_FOUND;
  uint64_t size = 0;
  if (!file_size(path, &size)) return RR_CANNOT_SIZE;
  if (size > kReceiptMaxReadBytes) return RR_TOO_LARGE;
  std::ifstream in(path, std::ios::binary);
  if (!in) return RR_READ_FAILED;
  std::ostringstream ss;
  ss << in.rdbuf();
  *content = ss.str();
  if (content->size() < size) return RR_READ_FAILED;
  return RR_OK;
}
