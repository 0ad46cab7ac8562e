#include "sim_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <memory>

namespace {
struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;
}  // namespace

ResultCode sim_ctr_xor(const uint8_t key16[16], const uint8_t nonce8[8], uint8_t* data, size_t n) {
  if (n == 0) return RC_OK;
  if (!key16 || !nonce8 || !data) return RC_INVALID_PARAM;
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key16, nullptr) != 1)
    return RC_ENCRYPTION;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  uint8_t counter[16];
  uint8_t stream[16];
  std::memcpy(counter, nonce8, 8);
  uint64_t block = 0;
  ResultCode rc = RC_OK;
  for (size_t off = 0; off < n; off += 16, ++block) {
    for (int i = 0; i < 8; ++i) counter[8 + i] = uint8_t(block >> (56 - 8 * i));
    int out = 0;
    if (EVP_EncryptUpdate(ctx.get(), stream, &out, counter, 16) != 1 || out != 16) {
      rc = RC_ENCRYPTION;
      break;
    }
    size_t take = n - off < 16 ? n - off : 16;
    for (size_t i = 0; i < take; ++i) data[off + i] ^= stream[i];
  }
  OPENSSL_cleanse(stream, sizeof stream);
  OPENSSL_cleanse(counter, sizeof counter);
  return rc;
}

ResultCode sim_gcm(bool encrypt, const uint8_t key32[32], const uint8_t nonce12[12], const uint8_t* aad,
                   size_t aad_n, uint8_t* data, size_t n, uint8_t tag16[16]) {
  if (!key32 || !nonce12 || !tag16 || (n && !data) || (aad_n && !aad)) return RC_INVALID_PARAM;
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return RC_ENCRYPTION;
  int out = 0;
  bool ok = encrypt ? EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
                    : EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1;
  ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1;
  if (encrypt) {
    ok = ok && EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key32, nonce12) == 1;
    if (ok && aad_n) ok = EVP_EncryptUpdate(ctx.get(), nullptr, &out, aad, int(aad_n)) == 1;
    if (ok && n) ok = EVP_EncryptUpdate(ctx.get(), data, &out, data, int(n)) == 1 && size_t(out) == n;
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), data + n, &out) == 1;
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag16) == 1;
  } else {
    ok = ok && EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key32, nonce12) == 1;
    if (ok && aad_n) ok = EVP_DecryptUpdate(ctx.get(), nullptr, &out, aad, int(aad_n)) == 1;
    if (ok && n) ok = EVP_DecryptUpdate(ctx.get(), data, &out, data, int(n)) == 1 && size_t(out) == n;
    ok = ok && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag16) == 1;
    ok = ok && EVP_DecryptFinal_ex(ctx.get(), data + n, &out) == 1;
    if (!ok && n) OPENSSL_cleanse(data, n);
  }
  return ok ? RC_OK : RC_ENCRYPTION;
}

uint32_t sim_crc32(const uint8_t* data, size_t n) {
  uLong c = crc32(0L, Z_NULL, 0);
  while (n > 0) {
    uInt take = n > 0x40000000u ? 0x40000000u : uInt(n);
    c = crc32(c, data, take);
    data += take;
    n -= take;
  }
  return uint32_t(c);
}
