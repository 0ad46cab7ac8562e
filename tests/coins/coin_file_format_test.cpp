#include "coins/coin_file_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "coin_test_util.h"
#include "net/crypto.h"

using namespace coin_test;

namespace {

// Pown codes all 10 except server 3 (15) and server 24 (1); packed by hand below.
Coin sample_coin() {
  Coin c = make_coin(12345678, -2);
  c.pown_status[3] = POWN_FAIL_SUCCESS;
  c.pown_status[24] = POWN_NET_ERROR;
  return c;
}
const char kSamplePownHex[] = "AA AF AA AA AA AA AA AA AA AA AA AA 19";

std::vector<uint8_t> sample_an_bytes(uint8_t seed = 0) {
  std::vector<uint8_t> an(400);
  for (size_t k = 0; k < 400; ++k) an[k] = static_cast<uint8_t>(k + seed);
  return an;
}

TEST(CoinFileFormat, SingleCoinImageFollowsTheFormatTable) {
  std::vector<uint8_t> expect = hex(
      "09 01 00 06 00 00 00 01 00 00 00 00 00 00 00 00");  // format, 1, coin id, 0, plain, 1 token, zeros
  for (uint8_t b : hex(kSamplePownHex)) expect.push_back(b);
  for (uint8_t b : hex("00 00 00")) expect.push_back(b);
  for (uint8_t b : hex("00 00 FE 00 BC 61 4E")) expect.push_back(b);  // record: 0, 0, code -2, serial 12345678
  for (uint8_t b : sample_an_bytes()) expect.push_back(b);
  ASSERT_EQ(expect.size(), 439u);

  Secret image;
  ASSERT_EQ(coin_image_v9_single(sample_coin(), &image), RC_OK);
  ASSERT_EQ(image.size(), 439u);
  EXPECT_EQ(std::memcmp(image.data(), expect.data(), 439), 0);

  CoinFileHeader h;
  ASSERT_EQ(coin_header_parse(expect.data(), expect.size(), &h), RC_OK);
  EXPECT_EQ(h.format, 9);
  EXPECT_EQ(h.byte1, 1);
  EXPECT_EQ(h.coin_id, 6);
  EXPECT_EQ(h.encryption_type, 0);
  EXPECT_EQ(h.token_count, 1);
  EXPECT_TRUE(h.single_coin);
  EXPECT_EQ(std::memcmp(h.pown_packed, hex(kSamplePownHex).data(), 13), 0);
  EXPECT_EQ(h.value24, 0u);
  Coin back;
  ASSERT_EQ(coin_image_v9_record(expect.data(), expect.size(), 0, &back), RC_OK);
  EXPECT_EQ(back.serial_number, 12345678u);
  EXPECT_EQ(back.denomination, -2);
  EXPECT_EQ(std::memcmp(back.an, sample_an_bytes().data(), 400), 0);
}

TEST(CoinFileFormat, MultiCoinImageCarriesTheMarkAndRecordsAtFixedOffsets) {
  Coin coins[3] = {make_coin(1, 0), make_coin(0x01020304, 11, 1), make_coin(0xFFFFFFFF, -8, 2)};
  Secret image;
  ASSERT_EQ(coin_image_v9_multi(coins, 3, &image), RC_OK);
  ASSERT_EQ(image.size(), 1253u);
  std::vector<uint8_t> head = hex("09 01 00 06 00 00 00 03 00 00 00 00 00 00 00 00");
  for (char ch : std::string("Live Free Or Die")) head.push_back(static_cast<uint8_t>(ch));
  EXPECT_EQ(std::memcmp(image.data(), head.data(), 32), 0);
  const struct {
    size_t offset;
    const char* hex_head;
    uint8_t seed;
  } records[] = {
      {32, "00 00 00 00 00 00 01", 0},
      {439, "00 00 0B 01 02 03 04", 1},
      {846, "00 00 F8 FF FF FF FF", 2},
  };
  for (const auto& r : records) {
    EXPECT_EQ(std::memcmp(image.data() + r.offset, hex(r.hex_head).data(), 7), 0) << r.offset;
    EXPECT_EQ(std::memcmp(image.data() + r.offset + 7, sample_an_bytes(r.seed).data(), 400), 0) << r.offset;
  }
  CoinFileHeader h;
  ASSERT_EQ(coin_header_parse(image.data(), image.size(), &h), RC_OK);
  EXPECT_EQ(h.token_count, 3);
  EXPECT_FALSE(h.single_coin);
  Coin back;
  ASSERT_EQ(coin_image_v9_record(image.data(), image.size(), 2, &back), RC_OK);
  EXPECT_EQ(back.serial_number, 0xFFFFFFFFu);
  EXPECT_EQ(coin_image_v9_record(image.data(), image.size() - 1, 2, &back), RC_CORRUPT_FILE);
}

TEST(CoinFileFormat, ImagesRefuseCoinsThatCannotBeWritten) {
  Secret image;
  Coin bad = make_coin(0, 0);
  EXPECT_EQ(coin_image_v9_single(bad, &image), RC_INVALID_PARAM);
  bad = make_coin(1, 12);
  EXPECT_EQ(coin_image_v9_single(bad, &image), RC_INVALID_PARAM);
  Coin ok = make_coin(1, 0);
  EXPECT_EQ(coin_image_v9_multi(&ok, 0, &image), RC_INVALID_PARAM);
  std::vector<Coin> many(65536, ok);
  EXPECT_EQ(coin_image_v9_multi(many.data(), many.size(), &image), RC_INVALID_PARAM);
  EXPECT_EQ(coin_image_v9_multi(many.data(), 65535, &image), RC_OK);
  EXPECT_EQ(image.size(), 32u + 407u * 65535u);
  uint8_t out[612];
  ok.aux24 = 0x1000000;
  uint8_t key[32] = {}, salt[16] = {}, nonce[12] = {};
  EXPECT_EQ(type10_build_image(ok, key, salt, nonce, Type10Reserved{}, out), RC_INVALID_PARAM);
}

TEST(CoinFileFormat, CrcIsCastagnoli) {
  // The published check value of CRC-32C.
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
}

// The format 10 image assembled field by field from the table, with the cipher and CRC computed
// by independent means.
std::vector<uint8_t> hand_type10(const Coin& coin, const uint8_t key[32], const uint8_t salt[16],
                                 const uint8_t nonce[12], const std::vector<uint8_t>& reserved10_15, uint8_t reserved207) {
  std::vector<uint8_t> v;
  v.push_back(0x0A);
  v.push_back(0xFE);                                        // code -2
  for (uint8_t b : hex("00 BC 61 4E")) v.push_back(b);      // serial 12345678
  for (uint8_t b : hex("12 34 56")) v.push_back(b);         // aux24
  v.push_back(0x05);                                        // Argon2id
  for (uint8_t b : reserved10_15) v.push_back(b);
  for (uint8_t b : hex(kSamplePownHex)) v.push_back(b);
  for (int i = 0; i < 25; ++i) {
    for (uint8_t b : hex("00 00 00 00 00")) v.push_back(b);
    v.push_back(static_cast<uint8_t>(i));
  }
  EXPECT_EQ(v.size(), 179u);
  v.insert(v.end(), salt, salt + 16);
  v.insert(v.end(), nonce, nonce + 12);
  v.push_back(reserved207);
  EXPECT_EQ(v.size(), 208u);
  uint8_t iv[16];
  std::memcpy(iv, nonce, 12);
  std::memcpy(iv + 12, hex("00 00 00 01").data(), 4);
  std::vector<uint8_t> enc = reference_ctr(key, iv, &coin.an[0][0], 400);
  v.insert(v.end(), enc.begin(), enc.end());
  uint32_t crc = crc32c(v.data(), 608);
  v.push_back(static_cast<uint8_t>(crc >> 24));
  v.push_back(static_cast<uint8_t>(crc >> 16));
  v.push_back(static_cast<uint8_t>(crc >> 8));
  v.push_back(static_cast<uint8_t>(crc));
  return v;
}

struct Type10Fixture {
  Coin coin = sample_coin();
  uint8_t key[32];
  uint8_t salt[16];
  uint8_t nonce[12];
  Type10Reserved reserved;
  Type10Fixture() {
    coin.aux24 = 0x123456;
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0x10 + i);
    for (int i = 0; i < 16; ++i) salt[i] = static_cast<uint8_t>(0xC0 + i);
    for (int i = 0; i < 12; ++i) nonce[i] = static_cast<uint8_t>(0x70 + i);
    std::memcpy(reserved.bytes10_15, hex("DE AD BE EF 01 02").data(), 6);
    reserved.byte207 = 0x5A;
  }
  std::vector<uint8_t> expected() const { return hand_type10(coin, key, salt, nonce, hex("DE AD BE EF 01 02"), 0x5A); }
};

TEST(CoinFileFormat, Type10ImageMatchesTheHandBuiltVectorAndDecodes) {
  Type10Fixture f;
  std::vector<uint8_t> expect = f.expected();
  ASSERT_EQ(expect.size(), 612u);
  uint8_t image[612];
  ASSERT_EQ(type10_build_image(f.coin, f.key, f.salt, f.nonce, f.reserved, image), RC_OK);
  for (size_t k = 0; k < 612; ++k) ASSERT_EQ(image[k], expect[k]) << "offset " << k;

  ASSERT_EQ(type10_check_image(expect.data(), expect.size()), RC_OK);
  Coin back;
  ASSERT_EQ(type10_decode_image(expect.data(), f.key, &back), RC_OK);
  EXPECT_TRUE(coin_same_content(back, f.coin));
  EXPECT_EQ(back.aux24, 0x123456u);
  EXPECT_FALSE(back.has_pans);
  Type10Reserved r = type10_reserved_of(expect.data());
  EXPECT_EQ(std::memcmp(r.bytes10_15, f.reserved.bytes10_15, 6), 0);
  EXPECT_EQ(r.byte207, 0x5A);

  CoinFileHeader h;
  ASSERT_EQ(coin_header_parse(expect.data(), expect.size(), &h), RC_OK);
  EXPECT_EQ(h.format, 10);
  EXPECT_EQ(h.encryption_type, 5);
  EXPECT_EQ(h.token_count, 1);
  EXPECT_TRUE(h.single_coin);
  EXPECT_EQ(h.value24, 0x123456u);

  // A wrong key yields wrong numbers, not an error: there is no tag to check.
  uint8_t other[32];
  std::memcpy(other, f.key, 32);
  other[0] ^= 1;
  ASSERT_EQ(type10_decode_image(expect.data(), other, &back), RC_OK);
  EXPECT_FALSE(coin_same_content(back, f.coin));
}

void fix_crc(std::vector<uint8_t>& v) {
  uint32_t crc = crc32c(v.data(), 608);
  for (int i = 0; i < 4; ++i) v[608 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

TEST(CoinFileFormat, Type10CheckCatchesEveryFlippedBit) {
  Type10Fixture f;
  std::vector<uint8_t> good = f.expected();
  for (size_t k = 0; k < 612; ++k) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> v = good;
      v[k] ^= static_cast<uint8_t>(1u << bit);
      ResultCode want = k == 0 ? RC_CORRUPT_FILE : RC_CRC;
      ASSERT_EQ(type10_check_image(v.data(), v.size()), want) << k << ":" << bit;
    }
  }
}

TEST(CoinFileFormat, Type10CheckOfEachField) {
  Type10Fixture f;
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> edit;
    ResultCode rc;
  } cases[] = {
      {"key-derivation id 4", [](std::vector<uint8_t>& v) { v[9] = 4; }, RC_UNSUPPORTED_FORMAT},
      {"code 12", [](std::vector<uint8_t>& v) { v[1] = 12; }, RC_CORRUPT_FILE},
      {"code -9", [](std::vector<uint8_t>& v) { v[1] = 0xF7; }, RC_CORRUPT_FILE},
      {"code 11", [](std::vector<uint8_t>& v) { v[1] = 11; }, RC_OK},
      {"marker nibble 8", [](std::vector<uint8_t>& v) { v[28] = (v[28] & 0xF0) | 8; }, RC_CORRUPT_FILE},
      {"slot 24 equals slot 0", [](std::vector<uint8_t>& v) { v[29 + 6 * 24 + 5] = 0; }, RC_CORRUPT_FILE},
      {"slots in another order", [](std::vector<uint8_t>& v) { std::swap(v[29 + 5], v[29 + 6 + 5]); }, RC_OK},
      {"slot high bytes count", [](std::vector<uint8_t>& v) { v[29 + 6 * 3] = 1; v[29 + 6 * 3 + 5] = 0; }, RC_OK},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> v = f.expected();
    c.edit(v);
    fix_crc(v);
    EXPECT_EQ(type10_check_image(v.data(), v.size()), c.rc) << c.what;
  }
  std::vector<uint8_t> v = f.expected();
  EXPECT_EQ(type10_check_image(v.data(), 611), RC_CORRUPT_FILE);
  v.push_back(0);
  EXPECT_EQ(type10_check_image(v.data(), 613), RC_CORRUPT_FILE);
}

TEST(CoinFileFormat, HeaderParseRefusesForeignHeaders) {
  std::vector<uint8_t> h = hex("09 01 00 06 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 09 00 00 00");
  CoinFileHeader out;
  EXPECT_EQ(coin_header_parse(h.data(), h.size(), &out), RC_OK);
  EXPECT_EQ(coin_header_parse(h.data(), 31, &out), RC_CORRUPT_FILE);
  h[3] = 7;
  EXPECT_EQ(coin_header_parse(h.data(), h.size(), &out), RC_CORRUPT_FILE);
  h[3] = 6;
  h[0] = 8;
  EXPECT_EQ(coin_header_parse(h.data(), h.size(), &out), RC_CORRUPT_FILE);
  h[0] = 10;
  EXPECT_EQ(coin_header_parse(h.data(), h.size(), &out), RC_CORRUPT_FILE);
  EXPECT_EQ(coin_header_parse(h.data(), 0, &out), RC_CORRUPT_FILE);
}

}  // namespace
