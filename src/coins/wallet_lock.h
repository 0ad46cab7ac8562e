// The wallet lock: one recursive lock per wallet, held by every operation while it moves coin
// files into or out of that wallet's coin folders (deposit, grade, fix, change, transfer, export,
// lockers, health, consolidate, rename, delete), so two operations never move one wallet's coins
// at once. Any thread may call these functions; the table of locks has its own guard.
//
// Rules (the one place they are written down):
//  1. The global deposit lock, when an operation needs it, is taken BEFORE any wallet lock.
//  2. Several wallet locks are taken together through one WalletLockSet, which takes them in
//     path order (byte order of the normalised paths), so two operations never deadlock.
//  3. A worker thread waits for the locks (WALLET_LOCK_WAIT), watching its stop flag.
//  4. A handler on the HTTP thread never waits: it only tries (WALLET_LOCK_TRY) and, when a lock
//     is held elsewhere, answers 409 "Wallet is busy" (reason "Conflict") instead of freezing
//     the API.
//  5. No wallet lock is held while taking the deposit lock; the ledger lock and the registry
//     lock are taken after (inside) wallet locks, never around them.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/result_code.h"

enum WalletLockMode { WALLET_LOCK_WAIT, WALLET_LOCK_TRY };

inline constexpr char kWalletBusyMessage[] = "Wallet is busy";

// Holds the locks of one or more wallets until destroyed or released. Move-only.
class WalletLockSet {
 public:
  WalletLockSet() = default;
  ~WalletLockSet();
  WalletLockSet(WalletLockSet&& other) noexcept;
  WalletLockSet& operator=(WalletLockSet&& other) noexcept;
  WalletLockSet(const WalletLockSet&) = delete;
  WalletLockSet& operator=(const WalletLockSet&) = delete;

  // Takes the locks of `wallets` (normalised, duplicates merged) in path order. WAIT blocks until
  // all are held, polling `stop` (when given) at least every 250 ms: RC_CANCELLED when it is set.
  // TRY returns RC_BUSY at once when any is held by another thread. On failure nothing is held.
  ResultCode acquire(const std::vector<std::string>& wallets, WalletLockMode mode,
                     const std::atomic<bool>* stop = nullptr);
  // Releases everything held, in reverse order.
  void release();
  bool held() const { return !held_.empty(); }

 private:
  struct Held;
  static std::shared_ptr<Held> lock_for(const std::string& norm);
  std::vector<std::shared_ptr<Held>> held_;
};

// Convenience: locks one wallet. Same results as WalletLockSet::acquire.
ResultCode wallet_lock_one(const std::string& wallet, WalletLockMode mode, WalletLockSet* out,
                           const std::atomic<bool>* stop = nullptr);
