#include "net/crypto.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

std::vector<uint8_t> unhex(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const std::vector<uint8_t>& v) { return hex_lower(v.data(), v.size()); }

// One AES block through the library directly, as an independent reference for counter layouts.
std::vector<uint8_t> aes_ecb_block(const std::vector<uint8_t>& key, const std::vector<uint8_t>& block) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(c, key.size() == 16 ? EVP_aes_128_ecb() : EVP_aes_256_ecb(), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(c, 0);
  std::vector<uint8_t> out(16);
  int n = 0;
  EVP_EncryptUpdate(c, out.data(), &n, block.data(), 16);
  EVP_CIPHER_CTX_free(c);
  return out;
}

class RngFailure {
 public:
  RngFailure() { setenv("RESTCORE_TEST_RNG_FAIL", "1", 1); }
  ~RngFailure() { unsetenv("RESTCORE_TEST_RNG_FAIL"); }
};

// NIST SP 800-38A F.5.5 (CTR-AES256.Encrypt).
TEST(Crypto, Aes256CtrMatchesNistVector) {
  auto key = unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  auto ctr = unhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  auto data = unhex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  ASSERT_EQ(aes256_ctr_block16(key.data(), ctr.data(), data.data(), data.size()), RC_OK);
  EXPECT_EQ(hex(data),
            "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
            "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");
  // Same call again decrypts.
  ASSERT_EQ(aes256_ctr_block16(key.data(), ctr.data(), data.data(), data.size()), RC_OK);
  EXPECT_EQ(hex(data).substr(0, 32), "6bc1bee22e409f96e93d7e117393172a");
}

// FIPS-197 / AESAVS: AES-128 of the zero block under the zero key.
TEST(Crypto, Aes128CtrFirstBlockIsNonceWithZeroCounter) {
  uint8_t key[16] = {0}, nonce[8] = {0};
  std::vector<uint8_t> data(17, 0);
  ASSERT_EQ(aes128_ctr_nonce8(key, nonce, data.data(), data.size()), RC_OK);
  EXPECT_EQ(hex(data).substr(0, 32), "66e94bd4ef8a2c3b884cfa59ca342b2e");
  // The 17th byte comes from the second block: the nonce with counter 1 in bytes 8-15.
  std::vector<uint8_t> second(16, 0);
  second[15] = 1;
  EXPECT_EQ(data[16], aes_ecb_block(std::vector<uint8_t>(16, 0), second)[0]);
}

TEST(Crypto, Aes128CtrRefusesEmptyInput) {
  uint8_t key[16] = {0}, nonce[8] = {0}, byte = 0;
  EXPECT_EQ(aes128_ctr_nonce8(key, nonce, &byte, 0), RC_INVALID_PARAM);
  EXPECT_EQ(aes128_ctr_nonce8(nullptr, nonce, &byte, 1), RC_INVALID_PARAM);
}

TEST(Crypto, CounterWrapsInsideLowEightBytesOnly) {
  std::vector<uint8_t> key(32, 0x42);
  auto ctr = unhex("0102030405060708ffffffffffffffff");
  std::vector<uint8_t> data(32, 0);
  ASSERT_EQ(aes256_ctr_block16(key.data(), ctr.data(), data.data(), data.size()), RC_OK);
  EXPECT_EQ(hex(std::vector<uint8_t>(data.begin(), data.begin() + 16)), hex(aes_ecb_block(key, ctr)));
  auto wrapped = unhex("01020304050607080000000000000000");  // no carry into byte 7
  EXPECT_EQ(hex(std::vector<uint8_t>(data.begin() + 16, data.end())), hex(aes_ecb_block(key, wrapped)));
}

TEST(Crypto, CounterModeLongInputMatchesBlockByBlockReference) {
  // Crosses the internal stride of 64 blocks with a partial tail.
  std::vector<uint8_t> key(16);
  for (size_t i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  auto nonce = unhex("a1a2a3a4a5a6a7a8");
  std::vector<uint8_t> data(16 * 130 + 5, 0);
  ASSERT_EQ(aes128_ctr_nonce8(key.data(), nonce.data(), data.data(), data.size()), RC_OK);
  for (size_t b : {0u, 63u, 64u, 129u, 130u}) {
    std::vector<uint8_t> block(16, 0);
    std::copy(nonce.begin(), nonce.end(), block.begin());
    block[14] = static_cast<uint8_t>(b >> 8);
    block[15] = static_cast<uint8_t>(b & 0xFF);
    auto ks = aes_ecb_block(key, block);
    size_t n = std::min<size_t>(16, data.size() - b * 16);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(data[b * 16 + i], ks[i]) << "block " << b;
  }
}

// McGrew & Viega GCM test cases 13 and 16 (AES-256).
TEST(Crypto, GcmMatchesPublishedVectors) {
  {
    uint8_t key[32] = {0}, nonce[12] = {0}, tag[16];
    ASSERT_EQ(aes256_gcm(true, key, nonce, nullptr, 0, nullptr, 0, tag), RC_OK);
    EXPECT_EQ(hex_lower(tag, 16), "530f8afbc74536b9a963b4f1c4cb738b");
  }
  auto key = unhex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  auto nonce = unhex("cafebabefacedbaddecaf888");
  auto aad = unhex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
  auto plain = unhex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39");
  auto data = plain;
  uint8_t tag[16];
  ASSERT_EQ(aes256_gcm(true, key.data(), nonce.data(), aad.data(), aad.size(), data.data(), data.size(), tag), RC_OK);
  EXPECT_EQ(hex(data),
            "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662");
  EXPECT_EQ(hex_lower(tag, 16), "76fc6ece0f4e1768cddf8853bb2d551b");
  ASSERT_EQ(aes256_gcm(false, key.data(), nonce.data(), aad.data(), aad.size(), data.data(), data.size(), tag), RC_OK);
  EXPECT_EQ(data, plain);
}

TEST(Crypto, GcmFlippedTagBitFailsAndZeroesData) {
  uint8_t key[32], nonce[12], tag[16];
  std::fill(key, key + 32, 0x11);
  std::fill(nonce, nonce + 12, 0x22);
  std::vector<uint8_t> data(40, 0x5A);
  ASSERT_EQ(aes256_gcm(true, key, nonce, nullptr, 0, data.data(), data.size(), tag), RC_OK);
  tag[5] ^= 0x01;
  EXPECT_EQ(aes256_gcm(false, key, nonce, nullptr, 0, data.data(), data.size(), tag), RC_ENCRYPTION);
  EXPECT_EQ(data, std::vector<uint8_t>(40, 0));
}

TEST(Crypto, DigestsMatchPublishedVectors) {
  std::string hexout;
  ASSERT_EQ(sha256_hex("", 0, &hexout), RC_OK);
  EXPECT_EQ(hexout, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  uint8_t d[32];
  ASSERT_EQ(sha256("abc", 3, d), RC_OK);
  EXPECT_EQ(hex_lower(d, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_EQ(sha256_large("abc", 3, d), RC_OK);
  EXPECT_EQ(hex_lower(d, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  uint8_t m[16];
  ASSERT_EQ(md5("", 0, m), RC_OK);
  EXPECT_EQ(hex_lower(m, 16), "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_EQ(md5("abc", 3, m), RC_OK);
  EXPECT_EQ(hex_lower(m, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Crypto, FileDigestCountsBytesAndReportsMissingFile) {
  testsupport::TempDir dir;
  // Larger than one 1 MiB read piece: 1,000,000 'a' is the published long-message vector.
  ASSERT_TRUE(testsupport::write_file(dir.sub("a.bin"), std::string(1000000, 'a')));
  uint8_t d[32];
  uint64_t n = 0;
  ASSERT_EQ(sha256_file(dir.sub("a.bin"), d, &n), RC_OK);
  EXPECT_EQ(n, 1000000u);
  EXPECT_EQ(hex_lower(d, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(sha256_file(dir.sub("missing"), d, &n), RC_FILE);
}

TEST(Crypto, CrcCheckValues) {
  EXPECT_EQ(crc32_ieee("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(crc32_ieee("", 0), 0u);
  EXPECT_EQ(crc32c(nullptr, 5), 0u);
}

TEST(Crypto, RandomSourcesFillWhenGeneratorWorks) {
  uint8_t a[32] = {0}, b[32] = {0};
  ASSERT_EQ(random_fill(a, sizeof a), RC_OK);
  ASSERT_EQ(random_fill_strict(b, sizeof b), RC_OK);
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 32), std::string(32, '\0'));
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 32), std::string(reinterpret_cast<char*>(b), 32));
  EXPECT_EQ(random_fill_strict(b, 0), RC_INVALID_PARAM);
}

TEST(Crypto, StrictRandomFailsAndZeroesWhenGeneratorFails) {
  RngFailure fail;
  uint8_t buf[24];
  std::fill(buf, buf + 24, 0xEE);
  EXPECT_EQ(random_fill_strict(buf, sizeof buf), RC_ENCRYPTION);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 24), std::string(24, '\0'));
  std::fill(buf, buf + 24, 0xEE);
  EXPECT_EQ(random_fill_named_strict(buf, sizeof buf), RC_ERROR);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 24), std::string(24, '\0'));
  // The everyday source says so too, and leaves no half-filled buffer behind.
  std::fill(buf, buf + 24, 0xEE);
  EXPECT_EQ(random_fill(buf, sizeof buf), RC_ENCRYPTION);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 24), std::string(24, '\0'));
}

TEST(Crypto, FallbackRandomStillFillsWhenGeneratorFails) {
  RngFailure fail;
  std::vector<uint8_t> buf(256, 0);
  random_fill_fallback(buf.data(), buf.size());
  int nonzero = 0;
  for (uint8_t c : buf) nonzero += c != 0;
  EXPECT_GT(nonzero, 200);
}

}  // namespace
