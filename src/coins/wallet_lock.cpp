#include "coins/wallet_lock.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "coins/wallet.h"

struct WalletLockSet::Held {
  std::recursive_timed_mutex mu;
};

namespace {
// Guards the table from wallet path to its lock. Held only for the lookup, never while waiting
// for a wallet lock, so it sits below every other lock. Entries live for the whole process
// (a few bytes per wallet ever locked).
std::mutex g_table_mutex;
}  // namespace

std::shared_ptr<WalletLockSet::Held> WalletLockSet::lock_for(const std::string& norm) {
  static std::map<std::string, std::shared_ptr<Held>> table;
  std::lock_guard<std::mutex> g(g_table_mutex);
  auto& slot = table[norm];
  if (!slot) slot = std::make_shared<Held>();
  return slot;
}

WalletLockSet::~WalletLockSet() { release(); }

WalletLockSet::WalletLockSet(WalletLockSet&& other) noexcept : held_(std::move(other.held_)) { other.held_.clear(); }

WalletLockSet& WalletLockSet::operator=(WalletLockSet&& other) noexcept {
  if (this != &other) {
    release();
    held_ = std::move(other.held_);
    other.held_.clear();
  }
  return *this;
}

ResultCode WalletLockSet::acquire(const std::vector<std::string>& wallets, WalletLockMode mode,
                                  const std::atomic<bool>* stop) {
  if (wallets.empty()) return RC_INVALID_PARAM;
  std::vector<std::string> paths;
  for (const std::string& w : wallets) {
    std::string norm = wallet_normalize_path(w);
    if (norm.empty()) return RC_INVALID_PARAM;
    paths.push_back(norm);
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());

  std::vector<std::shared_ptr<Held>> taken;
  auto give_back = [&taken]() {
    for (auto it = taken.rbegin(); it != taken.rend(); ++it) (*it)->mu.unlock();
  };
  for (const std::string& p : paths) {
    std::shared_ptr<Held> lock = lock_for(p);
    if (mode == WALLET_LOCK_TRY) {
      if (!lock->mu.try_lock()) {
        give_back();
        return RC_BUSY;
      }
    } else {
      while (!lock->mu.try_lock_for(std::chrono::milliseconds(250))) {
        if (stop && stop->load()) {
          give_back();
          return RC_CANCELLED;
        }
      }
    }
    taken.push_back(lock);
  }
  held_.insert(held_.end(), taken.begin(), taken.end());
  return RC_OK;
}

void WalletLockSet::release() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) (*it)->mu.unlock();
  held_.clear();
}

ResultCode wallet_lock_one(const std::string& wallet, WalletLockMode mode, WalletLockSet* out,
                           const std::atomic<bool>* stop) {
  if (!out) return RC_INVALID_PARAM;
  return out->acquire({wallet}, mode, stop);
}
