// Shared pieces of the coin file tests: coins with recognisable numbers, hex byte vectors, an
// independent AES-256-CTR (straight from libcrypto, not the code under test) and a stand-in for
// the password session.
#pragma once
#include <openssl/evp.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "coins/coin.h"
#include "coins/coin_session.h"

namespace coin_test {

// A coin whose authenticity number byte j of server i is (i * 16 + j + seed) mod 256.
inline Coin make_coin(uint32_t serial, int8_t denomination, uint8_t seed = 0) {
  Coin c;
  c.serial_number = serial;
  c.denomination = denomination;
  for (int i = 0; i < kServerCount; ++i) {
    for (size_t j = 0; j < kAnSize; ++j) c.an[i][j] = static_cast<uint8_t>(i * 16 + j + seed);
    c.pown_status[i] = POWN_AUTH_SUCCESS;
  }
  return c;
}

// "09 01 ab" -> bytes; spaces are ignored.
inline std::vector<uint8_t> hex(const std::string& text) {
  std::vector<uint8_t> out;
  int hi = -1;
  for (char ch : text) {
    int v = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

// AES-256 in the standard 128-bit counter mode from libcrypto; for fewer than 2^32 blocks from a
// counter ending 00 00 00 01 it equals a counter in the last 8 bytes.
inline std::vector<uint8_t> reference_ctr(const uint8_t key[32], const uint8_t iv[16], const uint8_t* data, size_t n) {
  std::vector<uint8_t> out(n);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key, iv);
  EVP_EncryptUpdate(ctx, out.data(), &len, data, static_cast<int>(n));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

inline std::string bytes_str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

inline ino_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Stand-in for the password session: one key for one salt, switches for the gate and the state,
// and hooks around the commit fence.
class TestSession : public CoinSession {
 public:
  std::array<uint8_t, 32> key{};
  std::array<uint8_t, 16> salt{};
  bool encrypted = true;
  bool confirmed = true;
  bool key_present = true;
  uint64_t generation = 7;
  int fence_enters = 0;
  int fence_leaves = 0;
  bool fence_held = false;
  std::function<void()> before_fence_check;  // may invalidate the authority
  std::function<void()> inside_fence;        // runs with the fence held, before the writer's re-check
  std::function<void()> on_fence_leave;      // runs before the fence is released

  TestSession() {
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    for (int i = 0; i < 16; ++i) salt[i] = static_cast<uint8_t>(0x50 + i);
  }

  bool wallet_is_encrypted() override { return encrypted; }
  bool is_confirmed() override { return confirmed; }
  bool key_held() override { return key_present; }
  ResultCode authority_take(SessionAuthority* out) override {
    out->clear();
    if (!confirmed) return RC_LOCKED;
    out->generation = generation;
    out->key.assign(key.data(), key.size());
    std::memcpy(out->salt, salt.data(), 16);
    out->valid = true;
    return RC_OK;
  }
  bool authority_valid(const SessionAuthority& a) override {
    return a.valid && a.generation == generation && confirmed;
  }
  ResultCode commit_fence_enter(const SessionAuthority& a) override {
    if (before_fence_check) before_fence_check();
    if (!a.valid) return RC_INVALID_PARAM;
    if (!authority_valid(a)) return RC_CANCELLED;
    ++fence_enters;
    fence_held = true;
    if (inside_fence) inside_fence();
    return RC_OK;
  }
  void commit_fence_leave() override {
    if (on_fence_leave) on_fence_leave();
    ++fence_leaves;
    fence_held = false;
  }
  ResultCode key_for_salt(const uint8_t s[16], Secret* out) override {
    if (!key_present || std::memcmp(s, salt.data(), 16) != 0) return RC_LOCKED;
    out->assign(key.data(), key.size());
    return RC_OK;
  }
};

// Installs a session for the life of the object.
class ScopedSession {
 public:
  explicit ScopedSession(CoinSession* s) { coin_session_install(s); }
  ~ScopedSession() { coin_session_install(nullptr); }
};

}  // namespace coin_test
