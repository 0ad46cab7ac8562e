#include "coins/wallet_registry.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "coins/coin_folder.h"
#include "coins/wallet.h"
#include "coins/wallet_lock.h"
#include "runtime/data_root.h"
#include "runtime/startup.h"
#include "runtime/durable_write.h"
#include "runtime/fs.h"
#include "runtime/log.h"

namespace {
bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::string> split_components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = path.find('/', start);
    parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

WalletEntry make_entry(const std::string& norm) { return WalletEntry{norm, wallet_display_name(norm)}; }
}  // namespace

ResultCode WalletRegistry::load(const std::string& data_root, bool* file_missing) {
  if (file_missing) *file_missing = false;
  std::lock_guard<std::mutex> g(mu_);
  entries_.clear();
  std::string file = data_root + "/" + kWalletRegistryFileName;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 && errno == ENOENT) {
      if (file_missing) *file_missing = true;
      return RC_OK;
    }
    return RC_FILE;
  }
  std::string line;
  while (entries_.size() < kWalletRegistryMax && std::getline(in, line)) {
    size_t cut = line.find_first_of("\r\n");
    if (cut != std::string::npos) line.resize(cut);
    if (line.empty()) continue;
    std::string norm = wallet_normalize_path(line);
    if (norm.size() > kWalletRegistryPathMax) {
      log_warn(CAT_GEN, "Wallet registry: skipping over-long path (%zu characters)", norm.size());
      continue;
    }
    entries_.push_back(make_entry(norm));
  }
  return RC_OK;
}

bool WalletRegistry::case_clash_locked(const std::string& norm, std::string* existing) const {
  for (const WalletEntry& e : entries_) {
    if (e.path != norm && equal_ignoring_case(e.path, norm)) {
      if (existing) *existing = e.path;
      return true;
    }
  }
  return false;
}

ResultCode WalletRegistry::add(const std::string& path, bool* added) {
  if (added) *added = false;
  std::string norm = wallet_normalize_path(path);
  if (norm.empty() || norm.size() > kWalletRegistryPathMax) return RC_INVALID_PARAM;
  std::lock_guard<std::mutex> g(mu_);
  for (const WalletEntry& e : entries_)
    if (e.path == norm) return RC_OK;
  if (case_clash_locked(norm, nullptr)) return RC_INVALID_PARAM;
  if (entries_.size() >= kWalletRegistryMax) return RC_MEMORY;
  entries_.push_back(make_entry(norm));
  if (added) *added = true;
  return RC_OK;
}

ResultCode WalletRegistry::remove(const std::string& path) {
  std::string norm = wallet_normalize_path(path);
  std::lock_guard<std::mutex> g(mu_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].path == norm) {
      entries_.erase(entries_.begin() + static_cast<long>(i));
      return RC_OK;
    }
  }
  return RC_NOT_FOUND;
}

ResultCode WalletRegistry::save(const std::string& data_root) const {
  std::string text;
  {
    std::lock_guard<std::mutex> g(mu_);
    for (const WalletEntry& e : entries_) text += e.path + "\n";
  }
  return durable_write(data_root + "/" + kWalletRegistryFileName, text) == RC_OK ? RC_OK : RC_FILE;
}

ResultCode WalletRegistry::rebase(const std::string& data_root, int* repairs) {
  if (repairs) *repairs = 0;
  std::string base = wallet_normalize_path(data_root);
  std::string root_name = wallet_display_name(base);
  if (base.empty() || root_name.empty() || base.size() > kWalletRequestPathMax) return RC_INVALID_PARAM;
  int count = 0;
  std::lock_guard<std::mutex> g(mu_);
  std::vector<WalletEntry> kept;
  for (WalletEntry e : entries_) {
    std::vector<std::string> parts = split_components(e.path);
    int found = -1;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
      if (parts[i] == root_name && parts[i + 1] == "Wallets") found = static_cast<int>(i);
    if (found >= 0) {
      std::string moved = base;
      for (size_t i = static_cast<size_t>(found) + 1; i < parts.size(); ++i) moved += "/" + parts[i];
      moved = wallet_normalize_path(moved);
      if (!moved.empty() && moved.size() <= kWalletRegistryPathMax && is_dir(moved) && moved != e.path) {
        log_info(CAT_GEN, "Wallet registry: rebased moved path '%s' -> '%s'", e.path.c_str(), moved.c_str());
        e = make_entry(moved);
        ++count;
      }
    }
    bool duplicate = false;
    for (const WalletEntry& k : kept)
      if (k.path == e.path) duplicate = true;
    if (duplicate) {
      log_info(CAT_GEN, "Wallet registry: removed duplicate path '%s'", e.path.c_str());
      ++count;
      continue;
    }
    kept.push_back(e);
  }
  entries_ = std::move(kept);
  if (repairs) *repairs = count;
  return RC_OK;
}

size_t WalletRegistry::count() const {
  std::lock_guard<std::mutex> g(mu_);
  return entries_.size();
}

bool WalletRegistry::full() const {
  std::lock_guard<std::mutex> g(mu_);
  return entries_.size() >= kWalletRegistryMax;
}

bool WalletRegistry::entry(size_t i, WalletEntry* out) const {
  std::lock_guard<std::mutex> g(mu_);
  if (i >= entries_.size()) return false;
  if (out) *out = entries_[i];
  return true;
}

std::vector<WalletEntry> WalletRegistry::entries() const {
  std::lock_guard<std::mutex> g(mu_);
  return entries_;
}

bool WalletRegistry::contains(const std::string& path) const {
  std::string norm = wallet_normalize_path(path);
  std::lock_guard<std::mutex> g(mu_);
  for (const WalletEntry& e : entries_)
    if (e.path == norm) return true;
  return false;
}

bool WalletRegistry::case_clash(const std::string& path, std::string* existing) const {
  std::string norm = wallet_normalize_path(path);
  std::lock_guard<std::mutex> g(mu_);
  return case_clash_locked(norm, existing);
}

void WalletRegistry::clear() {
  std::lock_guard<std::mutex> g(mu_);
  entries_.clear();
}

WalletRegistry& wallet_registry() {
  static WalletRegistry registry;
  return registry;
}

ResultCode wallet_startup_create_defaults(const std::string& wallets) {
  for (const char* name : {"Default", "Mail"}) {
    ResultCode rc = wallet_create_named(wallets, name);
    if (rc != RC_OK) {
      std::fprintf(stderr, "ERROR: Failed to create %s wallet structure\n", name);
      return rc;
    }
  }
  return RC_OK;
}

namespace {
// Removes `<wallet>/Lockered` when it exists and is empty; never fatal.
void drop_legacy_lockered(const std::string& wallet) {
  std::string legacy = wallet + "/Lockered";
  if (!is_dir(legacy)) return;
  DIR* d = ::opendir(legacy.c_str());
  if (!d) {
    std::fprintf(stderr, "WARNING: Failed to inspect legacy folder %s\n", legacy.c_str());
    return;
  }
  bool empty = true;
  while (struct dirent* ent = ::readdir(d)) {
    std::string n = ent->d_name;
    if (n != "." && n != "..") {
      empty = false;
      break;
    }
  }
  ::closedir(d);
  if (!empty) {
    std::fprintf(stderr, "WARNING: Leaving non-empty legacy folder in place: %s\n", legacy.c_str());
    return;
  }
  if (::rmdir(legacy.c_str()) != 0) {
    std::fprintf(stderr, "WARNING: Failed to remove legacy folder %s\n", legacy.c_str());
    return;
  }
  std::printf("Removed empty legacy folder: %s\n", legacy.c_str());
}
}  // namespace

ResultCode wallet_startup_registry(const std::string& root, const std::string& wallets) {
  WalletRegistry& reg = wallet_registry();
  bool missing = false;
  ResultCode rc = reg.load(root, &missing);
  if (rc != RC_OK) log_warn(CAT_GEN, "Wallet registry: could not read %s; starting empty", kWalletRegistryFileName);
  if (missing) std::printf("No wallet registry found, starting with empty registry.\n");
  int repairs = 0;
  rc = reg.rebase(root, &repairs);
  if (rc != RC_OK) {
    std::fprintf(stderr, "ERROR: Failed to repair relocated wallet paths\n");
    return rc;
  }
  if (repairs > 0) std::printf("Wallet registry: repaired %d relocated/duplicate path(s)\n", repairs);
  bool registered = false;
  for (const char* name : {"Default", "Mail"}) {
    std::string path = wallets + "/" + name;
    if (!is_dir(path + "/Bank")) continue;
    bool added = false;
    rc = reg.add(path, &added);
    if (rc != RC_OK) {
      std::fprintf(stderr, "ERROR: Failed to auto-register %s wallet\n", name);
      return rc;
    }
    if (added) {
      registered = true;
      std::printf("Auto-registering %s wallet: %s\n", name, path.c_str());
    }
  }
  std::vector<WalletEntry> all = reg.entries();
  for (const WalletEntry& e : all) drop_legacy_lockered(e.path);
  for (const WalletEntry& e : all) {
    // A wallet on a drive that is not mounted now stays offline; re-creating it empty would
    // hide the real one and could fail start-up for a mere unplugged disk.
    if (!is_dir(e.path)) {
      log_warn(CAT_GEN, "Wallet registry: wallet folder missing, left offline: %s", e.path.c_str());
      continue;
    }
    rc = wallet_create_structure(e.path);
    if (rc != RC_OK) {
      std::fprintf(stderr, "ERROR: Failed to reconcile registered wallet structures\n");
      return rc;
    }
  }
  if (repairs > 0 || registered) {
    rc = reg.save(root);
    if (rc != RC_OK) {
      std::fprintf(stderr, "ERROR: Failed to save %s\n", kWalletRegistryFileName);
      return rc;
    }
  }
  std::printf("Wallet registry:  %zu wallet(s) loaded\n", reg.count());
  std::fflush(stdout);
  return RC_OK;
}

namespace {
// Number of coin files in a folder (every one, not only the first listing page).
size_t coin_file_count(const std::string& folder) {
  std::vector<std::string> names;
  if (list_coin_files(folder, &names) != RC_OK) return 0;
  return names.size();
}

// The registry's letter-case rule for a path about to be registered; `except` is a path that
// may differ by case because it is the one being replaced (a rename that only changes case).
bool clashes(const std::string& path, const std::string& except, std::string* existing) {
  std::string found;
  if (!wallet_registry().case_clash(path, &found)) return false;
  if (found == except) return false;
  if (existing) *existing = found;
  return true;
}

void save_registry_logged() {
  if (wallet_registry().save(data_root()) != RC_OK)
    log_error(CAT_GEN, "Wallet registry: failed to save %s", kWalletRegistryFileName);
}
}  // namespace

WalletAdminResult wallet_admin_create(const std::string& wallet_path_param) {
  WalletAdminResult r;
  if (wallet_path_param.size() > kWalletRequestPathMax || has_control_chars(wallet_path_param) ||
      has_dotdot_component(wallet_path_param)) {
    r.outcome = WA_INVALID_PATH;
    return r;
  }
  std::string text = wallet_normalize_path(wallet_path_param);
  std::string parent, name;
  size_t slash = text.rfind('/');
  if (slash == std::string::npos) {
    parent = wallets_dir();
    name = text;
  } else {
    // A relative path with folders would land wherever the service happens to run.
    if (text[0] != '/') {
      r.outcome = WA_INVALID_PATH;
      return r;
    }
    parent = slash == 0 ? "/" : text.substr(0, slash);
    name = text.substr(slash + 1);
  }
  if (name.empty()) {
    r.outcome = WA_NO_NAME;
    return r;
  }
  if (!is_plain_name(name)) {
    r.outcome = WA_INVALID_PATH;
    return r;
  }
  r.wallet_path = wallet_normalize_path(path_join(parent, name));
  r.wallet_name = name;
  if (r.wallet_path.size() > kWalletRegistryPathMax) {
    r.outcome = WA_PATH_TOO_LONG;
    return r;
  }
  if (is_dir(r.wallet_path)) {
    r.outcome = WA_EXISTS;
    return r;
  }
  if (clashes(r.wallet_path, "", &r.clash_path)) {
    r.outcome = WA_CASE_CLASH;
    return r;
  }
  if (!wallet_registry().contains(r.wallet_path) && wallet_registry().full()) {
    r.outcome = WA_REGISTRY_FULL;
    return r;
  }
  if (wallet_create_structure(r.wallet_path) != RC_OK) {
    r.outcome = WA_CREATE_FAILED;
    return r;
  }
  ResultCode rc = wallet_registry().add(r.wallet_path);
  if (rc != RC_OK) log_error(CAT_GEN, "wallet-create: registering %s failed (%s)", r.wallet_path.c_str(), short_name(rc));
  save_registry_logged();
  log_info(CAT_GEN, "wallet-create: created '%s'", r.wallet_path.c_str());
  return r;
}

WalletAdminResult wallet_admin_rename(const std::string& wallet, const std::string& new_name) {
  WalletAdminResult r;
  std::string old_path = wallet_normalize_path(wallet);
  r.wallet_path = old_path;
  if (!is_dir(old_path)) {
    r.outcome = WA_NOT_FOUND;
    return r;
  }
  std::string old_name = wallet_display_name(old_path);
  // Only a known wallet may be renamed: any other folder on disk is not this service's to move.
  if (!wallet_registry().contains(old_path) && old_name != "Default" && old_name != "Mail") {
    r.outcome = WA_NOT_REGISTERED;
    return r;
  }
  if (old_name == "Default") {
    r.outcome = WA_PROTECTED_DEFAULT;
    return r;
  }
  if (old_name == "Mail") {
    r.outcome = WA_PROTECTED_MAIL;
    return r;
  }
  if (!is_plain_name(new_name)) {
    r.outcome = WA_BAD_NEW_NAME;
    return r;
  }
  size_t slash = old_path.rfind('/');
  std::string parent = slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : old_path.substr(0, slash));
  std::string target = wallet_normalize_path(path_join(parent, new_name));
  if (exists(target)) {
    r.outcome = WA_TARGET_EXISTS;
    return r;
  }
  if (target.size() > kWalletRegistryPathMax) {
    r.outcome = WA_PATH_TOO_LONG;
    return r;
  }
  if (clashes(target, old_path, &r.clash_path)) {
    r.outcome = WA_CASE_CLASH;
    return r;
  }
  WalletLockSet lock;
  if (lock.acquire({old_path}, WALLET_LOCK_TRY) != RC_OK) {
    r.outcome = WA_BUSY;
    return r;
  }
  if (::rename(old_path.c_str(), target.c_str()) != 0) {
    int err = errno;
    log_error(CAT_GEN, "wallet-rename: '%s' -> '%s' failed: %s", old_path.c_str(), target.c_str(), std::strerror(err));
    r.outcome = err == EXDEV ? WA_CROSS_DEVICE : WA_RENAME_FAILED;
    return r;
  }
  wallet_registry().remove(old_path);
  ResultCode rc = wallet_registry().add(target);
  if (rc != RC_OK) log_error(CAT_GEN, "wallet-rename: registering %s failed (%s)", target.c_str(), short_name(rc));
  save_registry_logged();
  log_info(CAT_GEN, "wallet-rename: '%s' -> '%s'", old_path.c_str(), target.c_str());
  r.wallet_path = target;
  r.wallet_name = new_name;
  return r;
}

WalletAdminResult wallet_admin_delete(const std::string& wallet) {
  WalletAdminResult r;
  std::string path = wallet_normalize_path(wallet);
  r.wallet_path = path;
  if (!is_dir(path)) {
    r.outcome = WA_NOT_FOUND;
    return r;
  }
  if (!wallet_registry().contains(path)) {
    r.outcome = WA_NOT_REGISTERED;
    return r;
  }
  std::string name = wallet_display_name(path);
  if (name == "Default") {
    r.outcome = WA_PROTECTED_DEFAULT;
    return r;
  }
  if (name == "Mail") {
    r.outcome = WA_PROTECTED_MAIL;
    return r;
  }
  WalletLockSet lock;
  if (lock.acquire({path}, WALLET_LOCK_TRY) != RC_OK) {
    r.outcome = WA_BUSY;
    return r;
  }
  size_t bank = coin_file_count(path + "/Bank");
  size_t fracked = coin_file_count(path + "/Fracked");
  if (bank > 0 || fracked > 0) {
    log_warn(CAT_GEN, "wallet-delete blocked for '%s': bank=%d fracked=%d", path.c_str(), static_cast<int>(bank),
             static_cast<int>(fracked));
    r.outcome = WA_NOT_EMPTY;
    return r;
  }
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) {
    log_error(CAT_GEN, "wallet-delete failed to remove directory '%s': %d", path.c_str(), ec.value());
    r.outcome = WA_DELETE_FAILED;
    return r;
  }
  if (wallet_registry().remove(path) != RC_OK) {
    log_error(CAT_GEN, "wallet-delete: registry update failed for '%s'", path.c_str());
    r.outcome = WA_REGISTRY_UPDATE_FAILED;
    return r;
  }
  if (wallet_registry().save(data_root()) != RC_OK) {
    log_error(CAT_GEN, "wallet-delete: registry save failed for '%s'", path.c_str());
    r.outcome = WA_REGISTRY_SAVE_FAILED;
    return r;
  }
  log_info(CAT_GEN, "wallet-delete removed '%s' and updated %s", path.c_str(), kWalletRegistryFileName);
  return r;
}
