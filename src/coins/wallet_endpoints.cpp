#include "coins/wallet_endpoints.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/amount.h"
#include "coins/denomination.h"
#include "coins/ledger.h"
#include "coins/receipts.h"
#include "coins/wallet.h"
#include "coins/wallet_lock.h"
#include "coins/wallet_registry.h"
#include "coins/wallet_scan.h"
#include "http/json_writer.h"
#include "http/params.h"
#include "http/reply.h"
#include "http/routes.h"
#include "runtime/fs.h"
#include "runtime/log.h"

namespace {
// Show-coins lists at most this many files of a folder; balances and counts see every file.
constexpr size_t kShowCoinsMax = 4096;

std::string param(const HttpRequest& req, const char* name) {
  const std::string* v = param_get(req, name);
  return v ? *v : std::string();
}

bool param_present(const HttpRequest& req, const char* name) {
  const std::string* v = param_get(req, name);
  return v && !v->empty();
}

// Resolves the wallet of a request and requires its folder. On failure writes `invalid` (400)
// or `missing` (404) and returns false.
bool existing_wallet(const HttpRequest& req, HttpResponse& resp, std::string* out, const char* invalid,
                     const char* missing) {
  if (wallet_resolve_address(param(req, "wallet_path"), param(req, "wallet"), out) != RC_OK) {
    reply_error(resp, 400, invalid);
    return false;
  }
  if (!is_dir(*out)) {
    reply_error(resp, 404, missing);
    return false;
  }
  return true;
}

void reply_conflict(HttpResponse& resp, const char* message) {
  reply_error(resp, 409, message);
  resp.reason = "Conflict";
}

// The letters of the wallet listings: 0 "u", 1 "n", 3 "t", 7-10 "p", 12-15 "f", any other "e".
std::string listing_pown(const uint8_t codes[kServerCount]) {
  std::string s;
  for (size_t i = 0; i < kServerCount; ++i) {
    uint8_t c = codes[i];
    char l = 'e';
    if (c == 0) l = 'u';
    else if (c == 1) l = 'n';
    else if (c == 3) l = 't';
    else if (c >= 7 && c <= 10) l = 'p';
    else if (c >= 12 && c <= 15) l = 'f';
    s += l;
  }
  return s;
}

void member_signed_units(JsonBuilder& json, const char* name, int64_t units) {
  json.member_raw(name, format_amount(units).c_str());
}

std::string last_component_or_unknown(const std::string& path) {
  std::string name = wallet_display_name(path);
  return name.empty() ? "Unknown" : name;
}

bool unsafe_child_name(const std::string& name) {
  return name.find("..") != std::string::npos || name.find_first_of("/\\") != std::string::npos ||
         has_control_chars(name);
}

// The reply of a wallet life-cycle refusal.
void reply_admin_error(HttpResponse& resp, const WalletAdminResult& r, const char* invalid_message) {
  switch (r.outcome) {
    case WA_INVALID_PATH: reply_error(resp, 400, invalid_message); break;
    case WA_NO_NAME: reply_error(resp, 400, "Could not determine wallet name from path"); break;
    case WA_PATH_TOO_LONG: reply_error(resp, 400, "Wallet path is too long (at most 511 characters)"); break;
    case WA_EXISTS: reply_conflict(resp, "A wallet already exists at that path"); break;
    case WA_REGISTRY_FULL:
      reply_error(resp, 400, "Wallet registry is full (at most 1000 wallets); delete a wallet first");
      break;
    case WA_CASE_CLASH: {
      std::string m = "A registered wallet path differs only by letter case: " + r.clash_path;
      reply_conflict(resp, m.c_str());
      break;
    }
    case WA_CREATE_FAILED: reply_error(resp, 500, "Failed to create wallet"); break;
    case WA_NOT_FOUND: reply_error(resp, 404, "Wallet not found"); break;
    case WA_NOT_REGISTERED: reply_error(resp, 404, "Wallet not found in registry"); break;
    case WA_PROTECTED_DEFAULT: reply_error(resp, 400, invalid_message); break;
    case WA_PROTECTED_MAIL: reply_error(resp, 400, invalid_message); break;
    case WA_BAD_NEW_NAME:
      reply_error(resp, 400, "Invalid new_name: use a plain name without separators, '..' or control characters");
      break;
    case WA_TARGET_EXISTS: reply_error(resp, 400, "A wallet with that name already exists"); break;
    case WA_BUSY: reply_conflict(resp, kWalletBusyMessage); break;
    case WA_CROSS_DEVICE:
      reply_error(resp, 400, "Cannot rename wallet across different drives. Move the wallet manually.");
      break;
    case WA_RENAME_FAILED: reply_error(resp, 500, "Failed to rename wallet directory"); break;
    case WA_NOT_EMPTY:
      reply_error(resp, 400, "Wallet is not empty. Empty the Bank and Fracked folders before deleting it.");
      break;
    case WA_DELETE_FAILED: reply_error(resp, 500, "Failed to delete wallet directory"); break;
    case WA_REGISTRY_UPDATE_FAILED: reply_error(resp, 500, "Wallet deleted but registry update failed"); break;
    case WA_REGISTRY_SAVE_FAILED: reply_error(resp, 500, "Wallet deleted but registry save failed"); break;
    case WA_OK: break;
  }
}

// The names of the register's members, codes -8 to 6.
const char* const kRegisterNames[15] = {"1e-08", "1e-07", "1e-06", "1e-05", "0.0001", "0.001", "0.01", "0.1",
                                        "1",     "10",    "100",   "1000",  "10000",  "100000", "1000000"};
}  // namespace

void wallet_balance_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (wallet_resolve_address(param(req, "wallet_path"), param(req, "wallet"), &wallet) != RC_OK) {
    reply_error(resp, 400, "Invalid wallet path");
    return;
  }
  if (!is_dir(wallet)) {
    JsonBuilder json;
    json.begin_object();
    json.member_bool("error", true);
    json.member_string("message", "Wallet not found");
    json.member_int("code", 404);
    json.member_string("wallet_path", wallet);
    json.end_object();
    reply_json(resp, json);
    resp.status = 404;
    resp.reason = "Not Found";
    return;
  }
  WalletBalance b;
  ResultCode rc = wallet_balance(wallet, &b);
  if (rc != RC_OK) {
    reply_error_code(resp, 500, "Failed to read wallet folders", rc);
    return;
  }
  bool reconciled = b.ledger_read && b.ledger_units >= 0 && static_cast<uint64_t>(b.ledger_units) == b.disk_units;
  bool differs = b.ledger_read && !reconciled;
  // Both sides fit int64 in any real wallet; the difference is computed without overflow.
  int64_t disk = b.disk_units > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(b.disk_units);
  __int128 wide = static_cast<__int128>(disk) - b.ledger_units;
  int64_t difference = wide > INT64_MAX ? INT64_MAX : (wide < INT64_MIN ? INT64_MIN : static_cast<int64_t>(wide));
  if (differs)
    log_warn(CAT_GEN,
             "Wallet %s: ledger balance differs from coins on disk by %lld microunits (log=%lld, disk=%lld) "
             "\xE2\x80\x94 reported, not auto-adjusted",
             wallet.c_str(), static_cast<long long>(difference), static_cast<long long>(b.ledger_units),
             static_cast<long long>(disk));
  JsonBuilder json;
  begin_success(json, "wallet-balance");
  json.member_string("wallet_path", wallet);
  json.member_string("wallet_name", last_component_or_unknown(wallet));
  json.member_uint64("total_notes", b.bank_notes + b.fracked_notes);
  json.member_units("total_value", b.disk_units);
  json.member_uint64("bank_notes", b.bank_notes);
  json.member_units("bank_value", b.bank_units);
  json.member_uint64("fracked_notes", b.fracked_notes);
  json.member_units("fracked_value", b.fracked_units);
  json.member_uint64("limbo_notes", b.limbo_notes);
  json.member_units("limbo_value", b.limbo_units);
  json.member_bool("balance_reconciled", reconciled);
  if (reconciled)
    json.member_units("log_balance", b.disk_units);
  else
    member_signed_units(json, "log_balance", b.ledger_read ? b.ledger_units : 0);
  if (differs) {
    json.member_bool("adjustment_made", false);
    member_signed_units(json, "adjustment_amount", difference);
    json.member_units("disk_balance", b.disk_units);
    member_signed_units(json, "balance_difference", difference);
  }
  json.end_object();
  reply_json(resp, json);
}

void wallet_list_handler(const HttpRequest&, HttpResponse& resp, void*) {
  std::vector<WalletEntry> all = wallet_registry().entries();
  JsonBuilder json;
  begin_success(json, "wallet-list");
  json.member_uint64("count", all.size());
  json.key("wallets");
  json.begin_array();
  for (const WalletEntry& e : all) {
    json.begin_object();
    json.member_string("wallet_path", e.path);
    json.member_string("wallet_name", e.name);
    json.member_bool("online", is_dir(e.path));
    json.end_object();
  }
  json.end_array();
  json.end_object();
  reply_json(resp, json);
}

void wallet_show_coins_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet path does not exist")) return;
  std::string folder = param_get_or(req, "folder", "Bank");
  if (unsafe_child_name(folder)) {
    reply_error(resp, 400, "Invalid folder name");
    return;
  }
  std::vector<FolderCoin> coins;
  ResultCode rc = wallet_read_folder_coins(wallet + "/" + folder, kShowCoinsMax, &coins);
  if (rc != RC_OK) {
    reply_error_code(resp, 500, "Failed to read folder", rc);
    return;
  }
  JsonBuilder json;
  begin_success(json, "show-coins");
  json.member_string("wallet", last_component_or_unknown(wallet));
  json.member_string("folder", folder);
  json.key("coins");
  json.begin_array();
  uint64_t total = 0;
  for (const FolderCoin& fc : coins) {
    uint64_t value = denomination_units(fc.coin.denomination);
    total = total > UINT64_MAX - value ? UINT64_MAX : total + value;
    json.begin_object();
    json.member_units("denomination", value);
    json.member_uint64("serial_number", fc.coin.serial_number);
    json.member_string("folder", folder);
    json.member_string("pown", listing_pown(fc.coin.pown_status));
    json.member_units("value", value);
    json.end_object();
  }
  json.end_array();
  json.member_uint64("total_coins", coins.size());
  json.member_units("total_value", total);
  json.end_object();
  reply_json(resp, json);
}

void wallet_create_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  if (!param_present(req, "wallet_path")) {
    reply_error(resp, 400, "Missing required parameter: wallet_path");
    return;
  }
  WalletAdminResult r = wallet_admin_create(param(req, "wallet_path"));
  if (r.outcome != WA_OK) {
    reply_admin_error(resp, r, "Invalid wallet_path: use a plain name or a full path without '..' or control characters");
    return;
  }
  JsonBuilder json;
  begin_success(json, "wallet-create");
  json.member_string("wallet_name", r.wallet_name);
  json.member_string("wallet_path", r.wallet_path);
  json.member_string("message", "Wallet created successfully");
  json.end_object();
  reply_json(resp, json);
}

void wallet_transactions_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  int limit = param_get_int_clamped(req, "limit", 10, 1, 100);
  std::vector<std::string> lines;
  bool present = false;
  ResultCode rc = ledger_read_lines(wallet, &lines, &present);
  if (rc != RC_OK) {
    reply_error_code(resp, 500, "Failed to read transactions", rc);
    return;
  }
  std::vector<std::string> rows;
  for (size_t i = 1; i < lines.size(); ++i)
    if (!lines[i].empty()) rows.push_back(lines[i]);
  // The newest rows sit directly under the header, so the first `limit` rows are the latest.
  size_t count = std::min(rows.size(), static_cast<size_t>(limit));
  JsonBuilder json;
  begin_success(json, "transactions");
  json.member_uint64("count", count);
  json.key("transactions");
  json.begin_array();
  for (size_t i = 0; i < count; ++i) {
    json.begin_object();
    json.member_string("raw", rows[i]);
    json.end_object();
  }
  json.end_array();
  json.end_object();
  reply_json(resp, json);
}

void wallet_receipts_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  const std::string* filename = param_get(req, "filename");
  if (!filename || filename->empty()) {
    std::vector<std::string> names;
    ResultCode rc = receipt_list(wallet, &names);
    if (rc != RC_OK) {
      reply_error_code(resp, 500, "Failed to list receipts", rc);
      return;
    }
    JsonBuilder json;
    begin_success(json, "receipts");
    json.key("files");
    json.begin_array();
    for (const std::string& n : names) json.element_string(n);
    json.end_array();
    json.member_uint64("count", names.size());
    json.end_object();
    reply_json(resp, json);
    return;
  }
  std::string content;
  switch (receipt_read(wallet, *filename, &content)) {
    case RR_INVALID_NAME: reply_error(resp, 400, "Invalid filename"); return;
    case RR_NOT_FOUND: reply_error(resp, 404, "Receipt not found"); return;
    case RR_CANNOT_SIZE: reply_error(resp, 500, "Cannot size receipt file"); return;
    case RR_TOO_LARGE:
      reply_error(resp, 413, "Receipt file too large (expected small primary summary)");
      resp.reason = "Payload Too Large";
      return;
    case RR_READ_FAILED: reply_error(resp, 500, "Failed to read receipt"); return;
    case RR_OK: break;
  }
  size_t first = content.find_first_not_of(" \t\r\n");
  std::string body = "{\"status\":\"success\",\"command\":\"receipt\",\"filename\":\"";
  json_escape_append(body, *filename);
  body += "\",\"content\":";
  if (first != std::string::npos && content[first] == '{' && receipt_text_is_json(content)) {
    body += content;
  } else {
    // Not a JSON object (or a damaged one): carried as a string so the reply stays valid JSON.
    body += "\"";
    json_escape_append(body, content);
    body += "\"";
  }
  body += ",\"size\":" + std::to_string(content.size()) + "}";
  reply_raw(resp, std::move(body));
}

void wallet_rename_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  if (!param_present(req, "wallet_path")) {
    reply_error(resp, 400, "Missing required parameter: wallet_path");
    return;
  }
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  std::string name = wallet_display_name(wallet);
  if (name == "Default" || name == "Mail") {
    reply_error(resp, 400, name == "Default" ? "Cannot rename the Default wallet" : "Cannot rename the Mail wallet");
    return;
  }
  if (!param_present(req, "new_name")) {
    reply_error(resp, 400, "Missing required parameter: new_name");
    return;
  }
  WalletAdminResult r = wallet_admin_rename(wallet, param(req, "new_name"));
  if (r.outcome != WA_OK) {
    reply_admin_error(resp, r, "Invalid wallet_path");
    return;
  }
  JsonBuilder json;
  begin_success(json, "wallet-rename");
  json.member_string("old_path", wallet);
  json.member_string("new_path", r.wallet_path);
  json.member_string("new_name", r.wallet_name);
  json.member_string("message", "Wallet renamed successfully");
  json.end_object();
  reply_json(resp, json);
}

void wallet_delete_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  if (!param_present(req, "wallet_path")) {
    reply_error(resp, 400, "Missing required parameter: wallet_path");
    return;
  }
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  WalletAdminResult r = wallet_admin_delete(wallet);
  if (r.outcome == WA_PROTECTED_DEFAULT || r.outcome == WA_PROTECTED_MAIL) {
    reply_error(resp, 400,
                r.outcome == WA_PROTECTED_DEFAULT ? "Cannot delete the Default wallet" : "Cannot delete the Mail wallet");
    return;
  }
  if (r.outcome != WA_OK) {
    reply_admin_error(resp, r, "Invalid wallet_path");
    return;
  }
  JsonBuilder json;
  begin_success(json, "wallet-delete");
  json.member_string("wallet_path", wallet);
  json.member_string("message", "Wallet deleted successfully");
  json.end_object();
  reply_json(resp, json);
}

void wallet_coin_details_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  if (!param_present(req, "serial_number") || !param_present(req, "denomination")) {
    reply_error(resp, 400, "Missing serial_number or denomination");
    return;
  }
  uint32_t serial = 0;
  std::string sn_text = param(req, "serial_number");
  if (sn_text.find_first_not_of("0123456789") != std::string::npos || parse_u32(sn_text, &serial) != RC_OK ||
      serial == 0) {
    reply_error(resp, 400, "Invalid serial_number");
    return;
  }
  int8_t code = 0;
  if (!denomination_from_value_text(param(req, "denomination"), &code)) {
    reply_error(resp, 400, "Invalid denomination value");
    return;
  }
  Coin coin;
  int folder = 0;
  if (wallet_find_coin(wallet, serial, code, &coin, &folder) != RC_OK) {
    reply_error(resp, 404, "Coin not found");
    return;
  }
  uint64_t value = denomination_units(code);
  JsonBuilder json;
  begin_success(json, "coin-details");
  json.member_uint64("serial_number", coin.serial_number);
  json.member_units("denomination", value);
  json.member_units("value", value);
  json.member_string("folder", wallet_folder_name(folder));
  json.member_string("pown", listing_pown(coin.pown_status));
  json.key("ans");
  json.begin_array();
  static const char kHex[] = "0123456789abcdef";
  for (size_t s = 0; s < kServerCount; ++s) {
    std::string hex;
    for (size_t i = 0; i < kAnSize; ++i) {
      hex += kHex[coin.an[s][i] >> 4];
      hex += kHex[coin.an[s][i] & 15];
    }
    json.element_string(hex);
  }
  json.end_array();
  json.end_object();
  reply_json(resp, json);
}

void wallet_register_handler(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string wallet;
  if (!existing_wallet(req, resp, &wallet, "Invalid wallet_path", "Wallet not found")) return;
  uint64_t counts[20] = {};
  ResultCode rc = wallet_count_folder_denominations(wallet + "/Bank", counts);
  if (rc == RC_OK) rc = wallet_count_folder_denominations(wallet + "/Fracked", counts);
  if (rc != RC_OK) {
    reply_error_code(resp, 500, "Failed to read wallet folders", rc);
    return;
  }
  JsonBuilder json;
  begin_success(json, "show-register");
  json.key("register");
  json.begin_object();
  for (int code = -8; code <= 6; ++code) json.member_uint64(kRegisterNames[code + 8], counts[code + 8]);
  json.end_object();
  json.end_object();
  reply_json(resp, json);
}

void wallet_endpoints_provide() {
  struct Row {
    const char* path;
    HttpHandler handler;
  };
  const Row rows[] = {
      {"/api/wallets/balance", wallet_balance_handler},
      {"/api/wallets/list", wallet_list_handler},
      {"/api/wallets/show-coins", wallet_show_coins_handler},
      {"/api/wallets/create", wallet_create_handler},
      {"/api/wallets/transactions", wallet_transactions_handler},
      {"/api/wallets/receipts", wallet_receipts_handler},
      {"/api/wallets/rename", wallet_rename_handler},
      {"/api/wallets/delete", wallet_delete_handler},
      {"/api/wallets/coin-details", wallet_coin_details_handler},
      {"/api/wallets/register", wallet_register_handler},
  };
  for (const Row& r : rows)
    if (routes_provide(r.path, r.handler) != RC_OK) log_error(CAT_HTTP, "wallet endpoints: no route %s", r.path);
}
