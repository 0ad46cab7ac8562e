// What coin files need from the password session that encrypts them at rest: the write gate
// (whether coin files must be written encrypted), the state check, a `SessionAuthority` snapshot
// that a writer carries and re-checks at its commit fence, and keys for the salts met in files.
// The vault layer implements `CoinSession` and installs it once at start-up; until then (and in
// tools that never encrypt) no session is installed and coin files are plaintext. The installed
// pointer may be read from any thread; the implementation guards its own state.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/result_code.h"
#include "base/secret.h"

constexpr size_t kSessionKeySize = 32;
constexpr size_t kSessionSaltSize = 16;

// A copy of the session's identity and published key, taken when a write is authorised. Whoever
// holds one clears it when done (the key is a Secret and wipes itself).
struct SessionAuthority {
  uint64_t generation = 0;
  uint64_t operation_id = 0;  // non-zero only while a first encryption is being established
  Secret key;                  // kSessionKeySize bytes when valid
  uint8_t salt[kSessionSaltSize] = {};
  bool valid = false;

  void clear() {
    generation = 0;
    operation_id = 0;
    key.clear();
    for (auto& b : salt) b = 0;
    valid = false;
  }
};

class CoinSession {
 public:
  virtual ~CoinSession() = default;
  // The write gate: true while encrypted coin files exist (or that cannot be ruled out).
  virtual bool wallet_is_encrypted() = 0;
  // True when the session is CONFIRMED (the only state that may persist coins in general).
  virtual bool is_confirmed() = 0;
  // True when a key is published (used only to decide whether a plaintext warning is due).
  virtual bool key_held() = 0;
  // Fills `out` with the current authority. RC_OK or RC_LOCKED.
  virtual ResultCode authority_take(SessionAuthority* out) = 0;
  // True when `a` is still the current authority.
  virtual bool authority_valid(const SessionAuthority& a) = 0;
  // The same test; on RC_OK the session lock stays held until commit_fence_leave, so no
  // transition can fall between the caller's final check and its rename. RC_CANCELLED when the
  // authority is no longer current (the lock is then not held), RC_INVALID_PARAM for an invalid
  // authority.
  virtual ResultCode commit_fence_enter(const SessionAuthority& a) = 0;
  virtual void commit_fence_leave() = 0;
  // The key for a file's salt (the published key, a cached one or a fresh derivation). RC_OK,
  // RC_LOCKED when none can be had, or a derivation failure.
  virtual ResultCode key_for_salt(const uint8_t salt[kSessionSaltSize], Secret* key) = 0;
};

// Installs the process-wide session (nullptr removes it). The object must outlive every coin
// file operation that may run while it is installed.
void coin_session_install(CoinSession* session);
// The installed session or nullptr.
CoinSession* coin_session_installed();

// While an object of this type lives on a thread, single-coin writes from that thread produce
// plaintext files even when the wallet is encrypted (export writes coins meant to leave the
// wallet), and the plaintext multi-coin warning is not logged. Scopes may nest.
class PlaintextExportScope {
 public:
  PlaintextExportScope();
  ~PlaintextExportScope();
  PlaintextExportScope(const PlaintextExportScope&) = delete;
  PlaintextExportScope& operator=(const PlaintextExportScope&) = delete;
};
// True on a thread inside a PlaintextExportScope.
bool plaintext_export_scope_active();
