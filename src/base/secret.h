// Secret bytes: authenticity numbers, keys, passwords and decrypted buffers. The buffer is wiped
// when destroyed or cleared and has no conversion to text, so a secret cannot reach a log line by
// accident. Not thread-safe: one owner at a time, like any value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include <openssl/crypto.h>

class Secret {
 public:
  Secret() = default;
  explicit Secret(size_t n) : bytes_(n, 0) {}
  Secret(const uint8_t* p, size_t n) : bytes_(p, p + n) {}
  Secret(const Secret&) = default;
  Secret& operator=(const Secret& o) {
    if (this != &o) {
      wipe();
      bytes_ = o.bytes_;
    }
    return *this;
  }
  Secret(Secret&& o) noexcept : bytes_(std::move(o.bytes_)) { o.bytes_.clear(); }
  Secret& operator=(Secret&& o) noexcept {
    if (this != &o) {
      wipe();
      bytes_ = std::move(o.bytes_);
      o.bytes_.clear();
    }
    return *this;
  }
  ~Secret() { wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  uint8_t operator[](size_t i) const { return bytes_[i]; }
  // Resizing wipes first so no copy of the old contents is left in released memory.
  void assign(const uint8_t* p, size_t n) {
    wipe();
    bytes_.assign(p, p + n);
  }
  void resize(size_t n) {
    std::vector<uint8_t> next(n, 0);
    for (size_t i = 0; i < n && i < bytes_.size(); ++i) next[i] = bytes_[i];
    wipe();
    bytes_ = std::move(next);
  }
  void clear() {
    wipe();
    bytes_.clear();
  }
  bool operator==(const Secret& o) const {
    return bytes_.size() == o.bytes_.size() && CRYPTO_memcmp(bytes_.data(), o.bytes_.data(), bytes_.size()) == 0;
  }

 private:
  void wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }
  std::vector<uint8_t> bytes_;
};
