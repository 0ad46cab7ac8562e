// The process-wide list of known wallets (at most 1000), kept as `wallet_paths.txt` in the data
// root, one normalised path per line. Start-up loads it, repairs paths left behind by a moved
// data root, registers Default and Mail and re-creates every wallet's folders; the create, rename
// and delete endpoints change it. Paths compare exactly (Linux folders are case-sensitive), but a
// new path that differs from a registered one only by letter case is refused, since the user
// would hardly tell the two apart. All members may be called from any thread; each takes the
// registry lock, which stands alone (no other lock is taken while it is held).
#pragma once
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "base/result_code.h"

inline constexpr size_t kWalletRegistryMax = 1000;
inline constexpr char kWalletRegistryFileName[] = "wallet_paths.txt";

struct WalletEntry {
  std::string path;  // normalised, at most 511 characters
  std::string name;  // display name, at most 63 characters
};

class WalletRegistry {
 public:
  // Replaces the table with `<data_root>/wallet_paths.txt`. A missing file leaves it empty and
  // is RC_OK with *file_missing set; RC_FILE when the file exists but cannot be read.
  ResultCode load(const std::string& data_root, bool* file_missing = nullptr);
  // Adds a path (normalised first). An exact duplicate is RC_OK without change (*added false).
  // RC_MEMORY when 1000 wallets are registered; RC_INVALID_PARAM for an empty or over-long path
  // or one that differs from a registered path only by letter case.
  ResultCode add(const std::string& path, bool* added = nullptr);
  // Removes the entry equal to the normalised path; RC_NOT_FOUND when there is none.
  ResultCode remove(const std::string& path);
  // Writes the whole table to `<data_root>/wallet_paths.txt` durably; RC_FILE on failure.
  ResultCode save(const std::string& data_root) const;
  // Repairs entries whose data root moved (`.../<old root name>/Wallets/...` now found under the
  // current root) and drops exact duplicates; *repairs counts both. RC_INVALID_PARAM when the
  // data root is empty or has no last component.
  ResultCode rebase(const std::string& data_root, int* repairs);

  size_t count() const;
  bool full() const;
  // Entry `i`; false when out of range.
  bool entry(size_t i, WalletEntry* out) const;
  std::vector<WalletEntry> entries() const;
  // True when the normalised path is registered exactly.
  bool contains(const std::string& path) const;
  // True when a registered path differs from `path` only by letter case; *existing receives it.
  bool case_clash(const std::string& path, std::string* existing) const;
  void clear();

 private:
  bool case_clash_locked(const std::string& norm, std::string* existing) const;
  // Guards entries_. Stands alone in the lock order.
  mutable std::mutex mu_;
  std::vector<WalletEntry> entries_;
};

// The one registry of the process.
WalletRegistry& wallet_registry();

// Start-up: makes the Default and Mail wallets under `wallets`. Prints
// "ERROR: Failed to create %s wallet structure" and returns the failure (fatal for the caller).
ResultCode wallet_startup_create_defaults(const std::string& wallets);
// Start-up: load, rebase, auto-register Default and Mail, drop empty legacy `Lockered` folders,
// re-create every registered wallet's structure, save when anything changed, print the count.
// Prints its own messages; a failure is fatal for the caller.
ResultCode wallet_startup_registry(const std::string& root, const std::string& wallets);

// Outcomes of the wallet life-cycle operations below; the endpoints turn each into its reply.
enum WalletAdminOutcome {
  WA_OK,
  WA_INVALID_PATH,      // bad characters, a ".." component, relative with a separator, too long
  WA_NO_NAME,           // no last component
  WA_PATH_TOO_LONG,     // longer than a registry entry can hold
  WA_EXISTS,            // the folder is already there
  WA_REGISTRY_FULL,     // 1000 wallets registered
  WA_CASE_CLASH,        // a registered path differs only by letter case
  WA_CREATE_FAILED,
  WA_NOT_FOUND,         // no such folder
  WA_NOT_REGISTERED,
  WA_PROTECTED_DEFAULT,
  WA_PROTECTED_MAIL,
  WA_BAD_NEW_NAME,      // not a plain name
  WA_TARGET_EXISTS,
  WA_BUSY,              // the wallet lock is held by another operation
  WA_CROSS_DEVICE,
  WA_RENAME_FAILED,
  WA_NOT_EMPTY,         // Bank or Fracked hold coin files
  WA_DELETE_FAILED,
  WA_REGISTRY_UPDATE_FAILED,
  WA_REGISTRY_SAVE_FAILED,
};

struct WalletAdminResult {
  WalletAdminOutcome outcome = WA_OK;
  std::string wallet_path;  // the wallet concerned (the new path after a rename)
  std::string wallet_name;
  std::string clash_path;   // for WA_CASE_CLASH: the registered path
};

// Creates a wallet from a request's `wallet_path`: a plain name goes under the wallets folder, a
// full path stays where it is. Everything is checked (characters, "..", length, an existing
// folder, a full registry, a letter-case clash) before any folder is made; then the structure is
// made, registered and the registry saved.
WalletAdminResult wallet_admin_create(const std::string& wallet_path_param);
// Renames the folder of the existing registered wallet `wallet` (normalised) to `new_name` beside
// it, in one step, then updates and saves the registry. Tries the wallet lock only (WA_BUSY).
WalletAdminResult wallet_admin_rename(const std::string& wallet, const std::string& new_name);
// Deletes a registered wallet whose Bank and Fracked hold no coin files, then updates and saves
// the registry. Tries the wallet lock only (WA_BUSY).
WalletAdminResult wallet_admin_delete(const std::string& wallet);
