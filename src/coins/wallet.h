// A wallet is a folder holding coin files in a fixed set of 37 sub-folders, one per coin state,
// plus the ledger `transactions.csv` and `config.csv`. This module knows the folder set, makes
// the structure, turns request parameters into a wallet path and vets user-given names. Every
// coin operation and the wallet endpoints call it. Pure path work and idempotent folder creation:
// safe from any thread (moving coin files needs the wallet lock, see wallet_lock.h).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "base/result_code.h"

// Indices of the standard sub-folders; other modules name a folder by its index.
enum WalletFolder : int {
  WF_BANK = 0,
  WF_BILLPAY = 1,
  WF_CHANGED = 2,
  WF_CORRUPTED = 3,
  WF_COUNTERFEIT = 4,
  WF_DUPLICATES = 5,
  WF_EMAIL_IN = 6,
  WF_EMAIL_OUT = 7,
  WF_ENCRYPTION_FAILED = 8,
  WF_ERRORED = 9,
  WF_EXPORT = 10,
  WF_EXPORTED = 11,
  WF_FRACKED = 12,
  WF_GALLERY = 13,
  WF_GRADE = 14,
  WF_IMPORT = 15,
  WF_IMPORTED = 16,
  WF_LIMBO = 17,
  WF_LOCKER = 18,
  WF_LOGS = 19,
  WF_MIND = 20,
  WF_NEEDS_DECRYPTION = 21,
  WF_PAY_FORWARD = 22,
  WF_PAYMENTS = 23,
  WF_PENDING = 24,
  WF_RECEIPTS = 25,
  WF_REQUESTS = 26,
  WF_REQUEST_RESPONSES = 27,
  WF_SENT = 28,
  WF_SUSPECT = 29,
  WF_TEMP = 30,
  WF_TRASH = 31,
  WF_TRUSTED_TRANSFER = 32,
  WF_VAULT = 33,
  WF_WITHDRAWN = 34,
  WF_IMPORT_ZBV1 = 35,
  WF_IMPORT_ZBV2 = 36,
};
inline constexpr int kWalletFolderCount = 37;

inline constexpr size_t kWalletRequestPathMax = 4095;  // a wallet path in a request
inline constexpr size_t kWalletRegistryPathMax = 511;  // a wallet path in the registry
inline constexpr size_t kWalletNameMax = 63;           // a display name

inline constexpr char kLedgerFileName[] = "transactions.csv";
inline constexpr char kWalletConfigFileName[] = "config.csv";
inline constexpr char kLedgerHeader[] = "Symbol,Task ID,Date & Time,Remarks,Deposit,Withdraw,Description,Balance";

// The sub-folder name of an index ("Bank", "Z/BillPay", ...), or nullptr above 36 or below 0.
const char* wallet_folder_name(int index);
// `<wallet>/<sub-folder>`; RC_INVALID_PARAM for an index outside 0..36.
ResultCode wallet_folder_path(const std::string& wallet, int index, std::string* out);

// Makes the wallet folder (and missing parents), all 37 sub-folders, `transactions.csv` and
// `config.csv`. Existing folders and files are kept, so it is safe to repeat. RC_FILE at the first
// folder that cannot be made; a file that cannot be made is only logged.
ResultCode wallet_create_structure(const std::string& path);
// wallet_create_structure of `<parent>/<name>`.
ResultCode wallet_create_named(const std::string& parent, const std::string& name);
// Moves `<wallet>/<from>/<file>` to `<wallet>/<to>/<file>`; the caller holds the wallet lock.
// RC_INVALID_PARAM for a bad index or a file name that is not plain, RC_FILE when the move fails.
ResultCode wallet_move_between(const std::string& wallet, const std::string& file_name, int from, int to);

// True when the last path component is "Mail", ignoring case (the mail service's wallet).
bool wallet_is_mail(const std::string& path);

// Every `\` becomes `/`, then trailing `/` are removed while more than one character remains.
std::string wallet_normalize_path(std::string_view path);
// The last component of a normalised path, cut to 63 bytes; empty for "/" or "".
std::string wallet_display_name(const std::string& path);

// Resolves a wallet address through resolve_wallet_address (http/params.h): a non-empty
// `wallet_path` is the full path (normalised); otherwise `wallet` is a name under wallets_dir()
// ("Default" when empty). RC_INVALID_PARAM when the path would exceed 4095 characters, is empty,
// holds a control character, or the name would leave the wallets folder.
ResultCode wallet_resolve_address(const std::string& wallet_path, const std::string& wallet, std::string* out);

// True when the text contains a control character (below 0x20, or 0x7F).
bool has_control_chars(std::string_view text);
// True when some `/`- or `\`-separated component of the path is exactly "..".
bool has_dotdot_component(std::string_view path);
// A plain name: not empty, not "." or "..", no `/` or `\`, no control characters.
bool is_plain_name(std::string_view name);
