#include "coins/wallet.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "http/params.h"
#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "runtime/log.h"
#include "runtime/startup.h"

namespace {
const char* const kFolders[kWalletFolderCount] = {
    "Bank",           "Z/BillPay",       "Changed",          "Corrupted",         "Counterfeit",
    "Duplicates",     "Pelko/EmailIn",   "Pelko/EmailOut",   "Z/Encryption_Failed", "Z/Errored",
    "Export",         "Exported",        "Fracked",          "Z/Gallery",         "Grade",
    "Import",         "Imported",        "Limbo",            "Locker",            "Z/Logs",
    "Z/Mind",         "Z/NeedsDecryption", "Z/PayForward",   "Z/Payments",        "Pending",
    "Receipts",       "Z/Requests",      "Z/RequestResponses", "Z/Sent",          "Suspect",
    "Z/Temp",         "Trash",           "Z/TrustedTransfer", "Z/Vault",          "Withdrawn",
    "Import/ZBv1",    "Import/ZBv2",
};

bool make_folders(const std::string& path) { return make_dirs(path) == RC_OK; }
}  // namespace

const char* wallet_folder_name(int index) {
  if (index < 0 || index >= kWalletFolderCount) return nullptr;
  return kFolders[index];
}

ResultCode wallet_folder_path(const std::string& wallet, int index, std::string* out) {
  const char* name = wallet_folder_name(index);
  if (!name || wallet.empty() || !out) return RC_INVALID_PARAM;
  *out = wallet + "/" + name;
  return RC_OK;
}

ResultCode wallet_create_structure(const std::string& path) {
  if (path.empty()) return RC_INVALID_PARAM;
  if (!make_folders(path)) {
    log_error(CAT_GEN, "Wallet: failed to create folder %s: %s", path.c_str(), std::strerror(errno));
    return RC_FILE;
  }
  for (int i = 0; i < kWalletFolderCount; ++i) {
    std::string sub = path + "/" + kFolders[i];
    if (!make_folders(sub)) {
      log_error(CAT_GEN, "Wallet: failed to create folder %s: %s", sub.c_str(), std::strerror(errno));
      return RC_FILE;
    }
  }
  std::string ledger = path + "/" + kLedgerFileName;
  if (!exists(ledger)) {
    if (durable_write(ledger, std::string(kLedgerHeader) + "\n") != RC_OK)
      log_error(CAT_GEN, "Wallet: failed to create transactions.csv: %s", ledger.c_str());
  }
  std::string config = path + "/" + kWalletConfigFileName;
  if (!exists(config)) {
    std::string text = "wallet_name," + wallet_display_name(path) + "\ncreated," +
                       std::to_string(static_cast<long>(std::time(nullptr))) + "\n";
    if (durable_write(config, text) != RC_OK)
      log_error(CAT_GEN, "Wallet: failed to create config.csv: %s", config.c_str());
  }
  return RC_OK;
}

ResultCode wallet_create_named(const std::string& parent, const std::string& name) {
  if (parent.empty() || !is_plain_name(name)) return RC_INVALID_PARAM;
  return wallet_create_structure(parent + "/" + name);
}

ResultCode wallet_move_between(const std::string& wallet, const std::string& file_name, int from, int to) {
  std::string src_dir, dst_dir;
  if (!is_plain_name(file_name) || wallet_folder_path(wallet, from, &src_dir) != RC_OK ||
      wallet_folder_path(wallet, to, &dst_dir) != RC_OK)
    return RC_INVALID_PARAM;
  std::string src = src_dir + "/" + file_name;
  std::string dst = dst_dir + "/" + file_name;
  return move_file(src, dst) == RC_OK ? RC_OK : RC_FILE;
}

bool wallet_is_mail(const std::string& path) {
  return strcasecmp(wallet_display_name(wallet_normalize_path(path)).c_str(), "Mail") == 0;
}

std::string wallet_normalize_path(std::string_view path) { return normalize_wallet_path(path); }

std::string wallet_display_name(const std::string& path) {
  std::string p = wallet_normalize_path(path);
  size_t slash = p.rfind('/');
  std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
  if (name.size() > kWalletNameMax) name.resize(kWalletNameMax);
  return name;
}

// The request layer's resolver is the one rule for every endpoint that addresses a wallet.
ResultCode wallet_resolve_address(const std::string& wallet_path, const std::string& wallet, std::string* out) {
  if (!out) return RC_INVALID_PARAM;
  return resolve_wallet_address(wallet_path, wallet, *out);
}

bool has_control_chars(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool has_dotdot_component(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

bool is_plain_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find_first_of("/\\") != std::string_view::npos) return false;
  return !has_control_chars(name);
}
