#include "net/crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/test_seams.h"
#include "runtime/log.h"

namespace {

constexpr size_t kMaxU32 = 0xFFFFFFFFull;

unsigned long last_ssl_error() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  return e;
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }  // wipes the key schedule
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The generator itself, or a failure when a test asks for one: lets the tests show what each
// source does when the platform generator breaks.
bool system_random(void* buffer, size_t length) {
  if (test_seam_on("RNG_FAIL")) return false;
  uint8_t* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    size_t piece = length > 0x7FFFFFFF ? 0x7FFFFFFF : length;
    if (RAND_bytes(p, static_cast<int>(piece)) != 1) {
      last_ssl_error();
      return false;
    }
    p += piece;
    length -= piece;
  }
  return true;
}

void increment_low64(uint8_t block[16]) {
  for (int i = 15; i >= 8; --i) {
    if (++block[i] != 0) break;
  }
}

// Counter mode built from ECB so the counter layout is ours (OpenSSL's CTR carries across all 16
// bytes). Counters are encrypted in strides of 64 blocks to keep provider calls few.
ResultCode ctr_xor(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t first_counter[16], uint8_t* data,
                   size_t length, bool log_failures) {
  constexpr size_t kStride = 64;
  uint8_t counter[16];
  uint8_t blocks[kStride * 16];
  uint8_t stream[kStride * 16];
  std::memcpy(counter, first_counter, 16);
  ResultCode rc = RC_OK;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    if (log_failures) log_error(CAT_CRYPT, "BCryptOpenAlgorithmProvider failed: 0x%08X", (unsigned)last_ssl_error());
    rc = RC_ENCRYPTION;
  } else if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, nullptr) != 1) {
    if (log_failures) log_error(CAT_CRYPT, "BCryptGenerateSymmetricKey failed: 0x%08X", (unsigned)last_ssl_error());
    rc = RC_ENCRYPTION;
  } else if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    if (log_failures) log_error(CAT_CRYPT, "BCryptSetProperty ECB failed: 0x%08X", (unsigned)last_ssl_error());
    rc = RC_ENCRYPTION;
  } else {
    size_t done = 0;
    while (done < length) {
      size_t remaining = length - done;
      size_t nblocks = (remaining + 15) / 16;
      if (nblocks > kStride) nblocks = kStride;
      for (size_t b = 0; b < nblocks; ++b) {
        std::memcpy(blocks + b * 16, counter, 16);
        increment_low64(counter);
      }
      int outl = 0;
      if (EVP_EncryptUpdate(ctx.get(), stream, &outl, blocks, static_cast<int>(nblocks * 16)) != 1 ||
          outl != static_cast<int>(nblocks * 16)) {
        if (log_failures) log_error(CAT_CRYPT, "BCryptEncrypt counter block failed: 0x%08X", (unsigned)last_ssl_error());
        rc = RC_ENCRYPTION;
        break;
      }
      size_t n = nblocks * 16 < remaining ? nblocks * 16 : remaining;
      for (size_t i = 0; i < n; ++i) data[done + i] ^= stream[i];
      done += n;
    }
  }
  OPENSSL_cleanse(counter, sizeof counter);
  OPENSSL_cleanse(blocks, sizeof blocks);
  OPENSSL_cleanse(stream, sizeof stream);
  return rc;
}

ResultCode digest(const EVP_MD* md, const void* data, size_t length, uint8_t* out, const char* const msgs[4]) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) {
    log_error(CAT_CRYPT, msgs[0], (unsigned)last_ssl_error());
    return RC_ERROR;
  }
  if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
    log_error(CAT_CRYPT, msgs[1], (unsigned)last_ssl_error());
    return RC_ERROR;
  }
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    size_t piece = length > kMaxU32 ? kMaxU32 : length;
    if (EVP_DigestUpdate(ctx.get(), p, piece) != 1) {
      log_error(CAT_CRYPT, msgs[2], (unsigned)last_ssl_error());
      return RC_ERROR;
    }
    p += piece;
    length -= piece;
  }
  unsigned int outl = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out, &outl) != 1) {
    log_error(CAT_CRYPT, msgs[3], (unsigned)last_ssl_error());
    return RC_ERROR;
  }
  return RC_OK;
}

const char* const kShaMsgs[4] = {"BCryptOpenAlgorithmProvider SHA256 failed: 0x%08X", "BCryptCreateHash SHA256 failed: 0x%08X",
                                 "BCryptHashData SHA256 failed: 0x%08X", "BCryptFinishHash SHA256 failed: 0x%08X"};
const char* const kShaLargeMsgs[4] = {"SHA256: BCryptOpenAlgorithmProvider failed: 0x%08X",
                                      "SHA256: BCryptCreateHash failed: 0x%08X", "SHA256: BCryptHashData failed: 0x%08X",
                                      "SHA256: BCryptFinishHash failed: 0x%08X"};
const char* const kMd5Msgs[4] = {"BCryptOpenAlgorithmProvider MD5 failed: 0x%08X", "BCryptCreateHash MD5 failed: 0x%08X",
                                 "BCryptHashData MD5 failed: 0x%08X", "BCryptFinishHash MD5 failed: 0x%08X"};

struct Crc32Table {
  uint32_t t[256];
  explicit Crc32Table(uint32_t poly) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (poly ^ (c >> 1)) : (c >> 1);
      t[i] = c;
    }
  }
};

uint32_t crc_run(const uint32_t* table, const void* data, size_t length) {
  if (!data) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace

ResultCode aes128_ctr_nonce8(const uint8_t key16[16], const uint8_t nonce8[8], uint8_t* data, size_t length) {
  if (!key16 || !nonce8 || !data || length == 0) return RC_INVALID_PARAM;
  uint8_t first[16] = {0};
  std::memcpy(first, nonce8, 8);
  ResultCode rc = ctr_xor(EVP_aes_128_ecb(), key16, first, data, length, true);
  OPENSSL_cleanse(first, sizeof first);
  return rc;
}

ResultCode aes256_ctr_block16(const uint8_t key32[32], const uint8_t counter16[16], uint8_t* data, size_t length) {
  if (!key32 || !counter16 || !data || length == 0) return RC_INVALID_PARAM;
  return ctr_xor(EVP_aes_256_ecb(), key32, counter16, data, length, false);
}

ResultCode aes256_gcm(bool encrypt, const uint8_t key32[32], const uint8_t nonce12[12], const uint8_t* aad,
                      size_t aad_length, uint8_t* data, size_t length, uint8_t tag16[16]) {
  if (!key32 || !nonce12 || !tag16 || (length > 0 && !data) || (aad_length > 0 && !aad)) return RC_ENCRYPTION;
  if (length > kMaxU32 || aad_length > kMaxU32) return RC_ENCRYPTION;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  bool ok = ctx != nullptr;
  if (ok) {
    ok = (encrypt ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr)
                  : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr)) == 1;
  }
  if (ok) ok = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1;
  if (ok) {
    ok = (encrypt ? EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key32, nonce12)
                  : EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key32, nonce12)) == 1;
  }
  // Feed in pieces that fit an int; the library streams GCM across calls.
  auto feed = [&](const uint8_t* in, uint8_t* out, size_t n) {
    size_t total = 0;
    while (ok && n > 0) {
      int piece = n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
      int outl = 0;
      ok = (encrypt ? EVP_EncryptUpdate(ctx.get(), out, &outl, in, piece)
                    : EVP_DecryptUpdate(ctx.get(), out, &outl, in, piece)) == 1;
      if (ok && out && outl != piece) ok = false;  // output must match input length
      in += piece;
      if (out) out += piece;
      n -= piece;
      total += piece;
    }
    return total;
  };
  if (ok && aad_length > 0) feed(aad, nullptr, aad_length);
  if (ok && length > 0) feed(data, data, length);
  if (ok && !encrypt) ok = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag16) == 1;
  if (ok) {
    uint8_t tail[16];
    int outl = 0;
    ok = (encrypt ? EVP_EncryptFinal_ex(ctx.get(), tail, &outl) : EVP_DecryptFinal_ex(ctx.get(), tail, &outl)) == 1;
    if (ok && outl != 0) ok = false;
    OPENSSL_cleanse(tail, sizeof tail);
  }
  if (ok && encrypt) ok = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag16) == 1;
  if (!ok) {
    last_ssl_error();
    if (!encrypt && data && length > 0) OPENSSL_cleanse(data, length);
    return RC_ENCRYPTION;
  }
  return RC_OK;
}

ResultCode sha256(const void* data, size_t length, uint8_t out32[32]) {
  if (!out32 || (!data && length > 0) || length > 0x7FFFFFFF) return RC_INVALID_PARAM;
  return digest(EVP_sha256(), data, length, out32, kShaMsgs);
}

ResultCode sha256_large(const void* data, size_t length, uint8_t out32[32]) {
  if (!out32 || (!data && length > 0)) return RC_ERROR;
  return digest(EVP_sha256(), data, length, out32, kShaLargeMsgs) == RC_OK ? RC_OK : RC_ERROR;
}

ResultCode sha256_hex(const void* data, size_t length, std::string* out) {
  if (!out) return RC_ERROR;
  out->clear();
  uint8_t d[32];
  if (sha256_large(data, length, d) != RC_OK) return RC_ERROR;
  *out = hex_lower(d, sizeof d);
  return RC_OK;
}

ResultCode sha256_file(const std::string& path, uint8_t out32[32], uint64_t* bytes_hashed) {
  if (bytes_hashed) *bytes_hashed = 0;
  if (!out32) return RC_INVALID_PARAM;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return RC_FILE;
  constexpr size_t kPiece = 1u << 20;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kPiece]);
  if (!buf) {
    std::fclose(f);
    return RC_MEMORY;
  }
  MdCtx ctx(EVP_MD_CTX_new());
  ResultCode rc = RC_OK;
  uint64_t total = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    rc = RC_ERROR;
  } else {
    for (;;) {
      size_t n = std::fread(buf.get(), 1, kPiece, f);
      if (n > 0 && EVP_DigestUpdate(ctx.get(), buf.get(), n) != 1) {
        rc = RC_ERROR;
        break;
      }
      total += n;
      if (n < kPiece) {
        if (std::ferror(f)) rc = RC_ERROR;
        break;
      }
    }
    unsigned int outl = 0;
    if (rc == RC_OK && EVP_DigestFinal_ex(ctx.get(), out32, &outl) != 1) rc = RC_ERROR;
  }
  std::fclose(f);
  if (rc != RC_OK) last_ssl_error();
  if (rc == RC_OK && bytes_hashed) *bytes_hashed = total;
  return rc;
}

ResultCode md5(const void* data, size_t length, uint8_t out16[16]) {
  if (!out16 || (!data && length > 0)) return RC_INVALID_PARAM;
  return digest(EVP_md5(), data, length, out16, kMd5Msgs);
}

uint32_t crc32_ieee(const void* data, size_t length) {
  static const Crc32Table table(0xEDB88320u);  // built once, thread-safe static init
  return crc_run(table.t, data, length);
}

uint32_t crc32c(const void* data, size_t length) {
  static const Crc32Table table(0x82F63B78u);
  return crc_run(table.t, data, length);
}

ResultCode random_fill(void* buffer, size_t length) {
  if (!buffer || length == 0) return length == 0 ? RC_OK : RC_INVALID_PARAM;
  if (system_random(buffer, length)) return RC_OK;
  OPENSSL_cleanse(buffer, length);
  log_error(CAT_CRYPT, "random_fill: system generator failed (%zu bytes)", length);
  return RC_ENCRYPTION;
}

ResultCode random_fill_strict(void* buffer, size_t length) {
  if (!buffer || length == 0 || length > kMaxU32) return RC_INVALID_PARAM;
  if (system_random(buffer, length)) return RC_OK;
  OPENSSL_cleanse(buffer, length);
  return RC_ENCRYPTION;
}

void random_fill_fallback(void* buffer, size_t length) {
  if (!buffer || length == 0) return;
  if (system_random(buffer, length)) return;
  log_warn(CAT_CRYPT, "BCrypt RNG failed, using fallback");
  // The ordinary generator needs a seed once; its draws are shared, so take them under a lock.
  static std::mutex fallback_mutex;  // guards rand(); stands alone in the lock order
  std::lock_guard<std::mutex> lock(fallback_mutex);
  static bool seeded = false;
  if (!seeded) {
    std::srand(static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(reinterpret_cast<uintptr_t>(&seeded)));
    seeded = true;
  }
  uint8_t* p = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(std::rand() & 0xFF);
}

ResultCode random_fill_named_strict(void* buffer, size_t length) {
  if (!buffer) return RC_ERROR;
  if (length == 0) return RC_OK;
  if (length <= kMaxU32 && system_random(buffer, length)) return RC_OK;
  OPENSSL_cleanse(buffer, length);
  return RC_ERROR;
}

std::string hex_lower(const void* data, size_t length) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  if (!data) return s;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  s.resize(length * 2);
  for (size_t i = 0; i < length; ++i) {
    s[2 * i] = digits[p[i] >> 4];
    s[2 * i + 1] = digits[p[i] & 0xF];
  }
  return s;
}
