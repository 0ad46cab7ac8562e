#include "coins/coin_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "coin_test_util.h"
#include "coins/coin_folder.h"
#include "net/crypto.h"
#include "runtime/log.h"
#include "support/test_support.h"

using namespace coin_test;
using namespace testsupport;

namespace {

// Replaces a file by a new one: truncating a file in place makes some file systems flush it,
// which turns the loops below from milliseconds into seconds.
bool put_file(const std::string& path, const std::string& bytes) {
  ::unlink(path.c_str());
  return write_file(path, bytes);
}

std::string image_str(const Secret& s) { return std::string(reinterpret_cast<const char*>(s.data()), s.size()); }

// Names in a folder other than the expected ones reveal temporary files left behind.
std::vector<std::string> all_names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CoinFile, SingleCoinFileIs439BytesAndReadsBack) {
  TempDir dir;
  std::string path = dir.sub("a.bin");
  Coin coin = make_coin(12345, 0);
  coin.pown_status[5] = POWN_FAIL_SUCCESS;
  coin.has_pans = true;
  coin.pan[0][0] = 9;
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 439u);
  EXPECT_EQ(bytes.substr(0, 8), bytes_str(hex("09 01 00 06 00 00 00 01")));
  Coin back;
  ASSERT_EQ(coin_file_read(path, &back), RC_OK);
  EXPECT_TRUE(coin_same_content(back, coin));
  EXPECT_FALSE(back.has_pans);
  EXPECT_EQ(back.pan[0][0], 0);
  EXPECT_EQ(back.aux24, 0u);
  uint32_t sn = 0;
  int8_t code = 9;
  CoinFileHeader h;
  ASSERT_EQ(coin_file_read_header(path, &h, &sn, &code), RC_OK);
  EXPECT_EQ(sn, 12345u);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(h.single_coin);
  EXPECT_EQ(all_names(dir.path()), std::vector<std::string>{"a.bin"});
}

TEST(CoinFile, MultiCoinFileOfThreeIs1253BytesAndChecksItsSize) {
  TempDir dir;
  std::string path = dir.sub("m.bin");
  Coin coins[3] = {make_coin(1, 0, 1), make_coin(2, -1, 2), make_coin(3, 5, 3)};
  coins[0].pown_status[0] = POWN_FAIL_SUCCESS;
  ASSERT_EQ(coin_file_write_multi_atomic(path, coins, 3), RC_OK);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 1253u);
  EXPECT_EQ(bytes.substr(16, 16), "Live Free Or Die");
  std::vector<Coin> back;
  ASSERT_EQ(coin_file_read_multi(path, &back), RC_OK);
  ASSERT_EQ(back.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(back[i].serial_number, coins[i].serial_number);
    EXPECT_EQ(back[i].denomination, coins[i].denomination);
    EXPECT_EQ(std::memcmp(back[i].an, coins[i].an, 400), 0);
    for (int s = 0; s < kServerCount; ++s) EXPECT_EQ(back[i].pown_status[s], 0);
  }
  // The single-coin reader takes the first coin and has no pown status to give it.
  Coin first;
  ASSERT_EQ(coin_file_read(path, &first), RC_OK);
  EXPECT_EQ(first.serial_number, 1u);
  for (int s = 0; s < kServerCount; ++s) EXPECT_EQ(first.pown_status[s], 0);

  ASSERT_TRUE(write_file(path, bytes.substr(0, 1252)));
  EXPECT_EQ(coin_file_read_multi(path, &back), RC_CORRUPT_FILE);
  EXPECT_TRUE(back.empty());
  ASSERT_TRUE(write_file(path, bytes + "x"));
  EXPECT_EQ(coin_file_read_multi(path, &back), RC_CORRUPT_FILE);
  // Token count 0: a file that holds no coins.
  std::string empty = bytes.substr(0, 32);
  empty[7] = 0;
  ASSERT_TRUE(write_file(path, empty));
  EXPECT_EQ(coin_file_read_multi(path, &back), RC_OK);
  EXPECT_TRUE(back.empty());
  EXPECT_EQ(coin_file_read(path, &first), RC_CORRUPT_FILE);
}

TEST(CoinFile, LegacyInterimEncryptedFileIsRefused) {
  TempDir dir;
  std::string path = dir.sub("l.bin");
  ASSERT_EQ(coin_file_write_atomic(path, make_coin(5, 0)), RC_OK);
  std::string bytes = read_file(path);
  bytes[5] = 1;
  ASSERT_TRUE(write_file(path, bytes));
  Coin c;
  EXPECT_EQ(coin_file_read(path, &c), RC_UNSUPPORTED_FORMAT);
  CoinFileHeader h;
  ASSERT_EQ(coin_file_read_header(path, &h, nullptr, nullptr), RC_OK);  // the census still sees it
  EXPECT_EQ(h.encryption_type, 1);
}

TEST(CoinFile, MissingAndUnreadablePaths) {
  TempDir dir;
  Coin c;
  std::vector<Coin> many;
  uint8_t salt[16];
  EXPECT_EQ(coin_file_read(dir.sub("none.bin"), &c), RC_FILE);
  EXPECT_EQ(coin_file_read(dir.path(), &c), RC_FILE);  // a folder
  EXPECT_EQ(coin_file_read_header(dir.sub("none.bin"), nullptr, nullptr, nullptr), RC_FILE);
  EXPECT_EQ(coin_file_read_multi(dir.sub("none.bin"), &many), RC_FILE);
  EXPECT_EQ(coin_file_read_salt(dir.sub("none.bin"), salt), RC_FILE);
  EXPECT_EQ(coin_file_read("", &c), RC_INVALID_PARAM);
  EXPECT_EQ(coin_file_read(dir.sub("x"), nullptr), RC_INVALID_PARAM);
  EXPECT_EQ(coin_file_write_atomic(dir.sub("nofolder/x.bin"), make_coin(1, 0)), RC_FILE);
  EXPECT_EQ(coin_file_write_atomic(dir.sub("x.bin"), make_coin(0, 0)), RC_INVALID_PARAM);
  EXPECT_FALSE(file_exists(dir.sub("x.bin")));
}

TEST(CoinFile, WritingTheSameCoinAgainLeavesTheFileUntouched) {
  TempDir dir;
  std::string path = dir.sub("same.bin");
  Coin coin = make_coin(77, 1);
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  ino_t before = inode_of(path);
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  EXPECT_EQ(inode_of(path), before);  // a rewrite would rename a new file over it
  coin.pown_status[2] = POWN_FAIL_SUCCESS;
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  EXPECT_NE(inode_of(path), before);
  Coin back;
  ASSERT_EQ(coin_file_read(path, &back), RC_OK);
  EXPECT_EQ(back.pown_status[2], POWN_FAIL_SUCCESS);

  Coin coins[2] = {make_coin(1, 0), make_coin(2, 0)};
  std::string multi = dir.sub("multi.bin");
  ASSERT_EQ(coin_file_write_multi_atomic(multi, coins, 2), RC_OK);
  before = inode_of(multi);
  ASSERT_EQ(coin_file_write_multi_atomic(multi, coins, 2), RC_OK);
  EXPECT_EQ(inode_of(multi), before);
}

TEST(CoinFile, StoreNamesFilesAndSuffixesThoseOutsideCoinFolders) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.sub("Bank").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(dir.sub("Export").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(dir.sub("Bankers").c_str(), 0700), 0);
  Coin coin = make_coin(12345, 0);
  std::string path;
  ASSERT_EQ(coin_file_store(dir.sub("Bank"), &coin, 1, "", &path), RC_OK);
  EXPECT_EQ(path, dir.sub("Bank/1 Zorbit #12345.bin"));
  EXPECT_TRUE(file_exists(path));
  ASSERT_EQ(coin_file_store(dir.sub("Bank/"), &coin, 1, "", &path), RC_OK);
  EXPECT_EQ(path, dir.sub("Bank/1 Zorbit #12345.bin"));

  for (const char* folder : {"Export", "Bankers"}) {
    ASSERT_EQ(coin_file_store(dir.sub(folder), &coin, 1, "", &path), RC_OK);
    std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_TRUE(std::regex_match(name, std::regex("1 Zorbit #12345 [0-9a-f]{8}\\.bin"))) << name;
  }
  Coin coins[2] = {make_coin(1, 2), make_coin(2, -1)};
  ASSERT_EQ(coin_file_store(dir.sub("Bank"), coins, 2, "Gift", &path), RC_OK);
  EXPECT_EQ(path, dir.sub("Bank/100.1 Zorbit 'Gift'.bin"));
  std::vector<Coin> back;
  ASSERT_EQ(coin_file_read_multi(path, &back), RC_OK);
  EXPECT_EQ(back.size(), 2u);

  EXPECT_EQ(coin_file_store(dir.sub("Bank"), &coin, 1, "../../escape", &path), RC_INVALID_PARAM);
  EXPECT_EQ(coin_file_store(dir.sub("Bank"), &coin, 0, "", &path), RC_INVALID_PARAM);
  EXPECT_EQ(coin_file_store(dir.sub("Bank"), &coin, 1, std::string(240, 'x'), &path), RC_ERROR);
}

TEST(CoinFile, StandardFolderIsJudgedByItsOwnName) {
  EXPECT_TRUE(is_standard_coin_folder("/w/Default/Bank"));
  EXPECT_TRUE(is_standard_coin_folder("/w/Default/Imported/"));
  EXPECT_TRUE(is_standard_coin_folder("C:\\w\\Default\\Trash"));
  EXPECT_FALSE(is_standard_coin_folder("/w/Default/Export"));
  EXPECT_FALSE(is_standard_coin_folder("/home/Bank/export"));
  EXPECT_FALSE(is_standard_coin_folder("/w/Default/Banks"));
  EXPECT_FALSE(is_standard_coin_folder("/w/Default/bank"));
}

// ---- Format 10 ----

class EncryptedWallet : public ::testing::Test {
 protected:
  TempDir dir;
  TestSession session;
  ScopedSession installed{&session};
  std::string path = dir.sub("c.bin");
  Coin coin = make_coin(424242, 3);
};

TEST_F(EncryptedWallet, ConfirmedSessionWritesType10ThatReadsBack) {
  coin.aux24 = 0xABCDEF;
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 612u);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes.substr(179, 16), std::string(session.salt.begin(), session.salt.end()));
  // The numbers on disk are not the plaintext ones.
  EXPECT_EQ(bytes.find(std::string(reinterpret_cast<const char*>(coin.an[0]), 16)), std::string::npos);
  Coin back;
  ASSERT_EQ(coin_file_read(path, &back), RC_OK);
  EXPECT_TRUE(coin_same_content(back, coin));
  uint8_t salt[16];
  ASSERT_EQ(coin_file_read_salt(path, salt), RC_OK);
  EXPECT_EQ(std::memcmp(salt, session.salt.data(), 16), 0);
  CoinFileHeader h;
  uint32_t sn = 0;
  int8_t code = 0;
  ASSERT_EQ(coin_file_read_header(path, &h, &sn, &code), RC_OK);
  EXPECT_EQ(h.format, 10);
  EXPECT_EQ(h.value24, 0xABCDEFu);
  EXPECT_EQ(sn, 424242u);
  EXPECT_EQ(code, 3);
  std::vector<Coin> many;
  EXPECT_EQ(coin_file_read_multi(path, &many), RC_UNSUPPORTED_FORMAT);
  EXPECT_EQ(session.fence_enters, 1);
  EXPECT_EQ(session.fence_leaves, 1);

  // Again: nothing to do, the file stays as it is.
  ino_t before = inode_of(path);
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  EXPECT_EQ(inode_of(path), before);
  EXPECT_EQ(read_file(path), bytes);
}

TEST_F(EncryptedWallet, ReadingWithoutAKeyIsLocked) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  session.key_present = false;
  Coin back;
  EXPECT_EQ(coin_file_read(path, &back), RC_LOCKED);
  coin_session_install(nullptr);
  EXPECT_EQ(coin_file_read(path, &back), RC_LOCKED);
  CoinFileHeader h;
  EXPECT_EQ(coin_file_read_header(path, &h, nullptr, nullptr), RC_OK);  // headers need no key
}

TEST_F(EncryptedWallet, UnconfirmedSessionWritesNothing) {
  session.confirmed = false;
  EXPECT_EQ(coin_file_write_atomic(path, coin), RC_LOCKED);
  EXPECT_FALSE(file_exists(path));
  EXPECT_TRUE(all_names(dir.path()).empty());
}

TEST_F(EncryptedWallet, ExportScopeAndAClosedGateWritePlaintext) {
  {
    PlaintextExportScope scope;
    ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  }
  EXPECT_EQ(read_file(path).size(), 439u);
  session.encrypted = false;
  std::string other = dir.sub("d.bin");
  ASSERT_EQ(coin_file_write_atomic(other, coin), RC_OK);
  EXPECT_EQ(read_file(other).size(), 439u);
}

TEST_F(EncryptedWallet, Type10ReadOfDamagedFiles) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  const std::string good = read_file(path);
  Coin back;
  std::string bad = good;
  bad[300] ^= 0x10;
  ASSERT_TRUE(write_file(path, bad));
  EXPECT_EQ(coin_file_read(path, &back), RC_CRC);
  ASSERT_TRUE(write_file(path, good + "x"));
  EXPECT_EQ(coin_file_read(path, &back), RC_CORRUPT_FILE);
  uint8_t salt[16];
  EXPECT_EQ(coin_file_read_salt(path, salt), RC_UNSUPPORTED_FORMAT);
  ASSERT_TRUE(write_file(path, good.substr(0, 611)));
  EXPECT_EQ(coin_file_read(path, &back), RC_CORRUPT_FILE);
  EXPECT_EQ(coin_file_read_header(path, nullptr, nullptr, nullptr), RC_CORRUPT_FILE);
}

TEST_F(EncryptedWallet, WriterRefusesAFileOfAnotherPasswordEpoch) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  const std::string before = read_file(path);
  uint8_t other_salt[16];
  std::memcpy(other_salt, session.salt.data(), 16);
  other_salt[15] ^= 1;
  coin.pown_status[0] = POWN_FAIL_SUCCESS;
  EXPECT_EQ(coin_file_write_type10_atomic(path, coin, session.key.data(), other_salt, nullptr, nullptr),
            RC_KEY_UNCONFIRMED);
  EXPECT_EQ(read_file(path), before);
}

TEST_F(EncryptedWallet, WriterKeepsReservedBytesAndReportsNoChange) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  std::vector<uint8_t> img(612);
  std::string bytes = read_file(path);
  std::memcpy(img.data(), bytes.data(), 612);
  img[10] = 0x11;
  img[15] = 0x22;
  img[207] = 0x33;
  uint32_t crc = crc32c(img.data(), 608);
  for (int i = 0; i < 4; ++i) img[608 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  ASSERT_TRUE(write_file(path, bytes_str(img)));

  EXPECT_EQ(coin_file_write_type10_atomic(path, coin, session.key.data(), session.salt.data(), nullptr, nullptr),
            RC_NO_CHANGE);
  coin.pown_status[9] = POWN_FAIL_SUCCESS;
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  std::string after = read_file(path);
  EXPECT_EQ(after[10], 0x11);
  EXPECT_EQ(after[15], 0x22);
  EXPECT_EQ(after[207], 0x33);
  EXPECT_NE(after.substr(195, 12), bytes.substr(195, 12));  // a fresh nonce on every write
  Coin back;
  ASSERT_EQ(coin_file_read(path, &back), RC_OK);
  EXPECT_EQ(back.pown_status[9], POWN_FAIL_SUCCESS);
}

TEST_F(EncryptedWallet, WriterOverwritesACorruptType10File) {
  ASSERT_TRUE(write_file(path, std::string(1, '\x0A') + std::string(611, '\x00')));
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  Coin back;
  ASSERT_EQ(coin_file_read(path, &back), RC_OK);
  EXPECT_TRUE(coin_same_content(back, coin));
}

TEST_F(EncryptedWallet, AuthorityInvalidatedBeforeTheFenceCancelsTheWrite) {
  Coin old = coin;
  ASSERT_EQ(coin_file_write_atomic(path, old), RC_OK);
  const std::string before = read_file(path);
  session.before_fence_check = [this] { ++session.generation; };  // a logout or password change
  coin.pown_status[1] = POWN_FAIL_SUCCESS;
  EXPECT_EQ(coin_file_write_atomic(path, coin), RC_CANCELLED);
  EXPECT_EQ(read_file(path), before);
  EXPECT_EQ(all_names(dir.path()), std::vector<std::string>{"c.bin"});
  EXPECT_FALSE(session.fence_held);
}

TEST_F(EncryptedWallet, DestinationChangedBeforeCommitIsBusyAndKeptAsItIs) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  const std::string intruder = std::string(1, '\x09') + std::string(438, '\x01');
  session.inside_fence = [&] { ASSERT_TRUE(write_file(path, intruder)); };
  coin.pown_status[1] = POWN_FAIL_SUCCESS;
  EXPECT_EQ(coin_file_write_atomic(path, coin), RC_BUSY);
  EXPECT_EQ(read_file(path), intruder);
  EXPECT_EQ(session.fence_enters, 2);
  EXPECT_EQ(session.fence_leaves, 2);
  EXPECT_EQ(all_names(dir.path()), std::vector<std::string>{"c.bin"});

  // A file that appears where there was none is not replaced either.
  std::string fresh = dir.sub("fresh.bin");
  session.inside_fence = [&] { ASSERT_TRUE(write_file(fresh, "someone else's")); };
  EXPECT_EQ(coin_file_write_atomic(fresh, coin), RC_BUSY);
  EXPECT_EQ(read_file(fresh), "someone else's");
}

TEST_F(EncryptedWallet, FenceIsHeldUntilTheNewFileIsInPlace) {
  bool seen_new = false;
  session.on_fence_leave = [&] {
    std::string now = read_file(path);
    seen_new = now.size() == 612 && now[0] == 10;
  };
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  EXPECT_TRUE(seen_new);
  EXPECT_FALSE(session.fence_held);
}

TEST_F(EncryptedWallet, Type10WriterHonoursTheOriginalBytesToken) {
  // Encrypting a plaintext file: the token taken when the file was first seen must still hold.
  session.encrypted = false;
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);
  OriginalBytesToken token;
  ASSERT_EQ(original_bytes_token_take(path, &token), RC_OK);
  EXPECT_EQ(token.size, 439u);
  SessionAuthority authority;
  ASSERT_EQ(session.authority_take(&authority), RC_OK);

  std::string changed = read_file(path);
  changed[100] ^= 1;
  ASSERT_TRUE(write_file(path, changed));
  EXPECT_EQ(coin_file_write_type10_atomic(path, coin, authority.key.data(), authority.salt, &authority, &token), RC_BUSY);
  EXPECT_EQ(read_file(path), changed);

  ASSERT_EQ(original_bytes_token_take(path, &token), RC_OK);
  EXPECT_EQ(coin_file_write_type10_atomic(path, coin, authority.key.data(), authority.salt, &authority, &token), RC_OK);
  EXPECT_EQ(read_file(path).size(), 612u);

  std::string gone = dir.sub("gone.bin");
  EXPECT_EQ(coin_file_write_type10_atomic(gone, coin, authority.key.data(), authority.salt, &authority, &token), RC_BUSY);
  EXPECT_FALSE(file_exists(gone));
}

TEST_F(EncryptedWallet, PlaintextWriterNeedsAnUnchangedToken) {
  ASSERT_EQ(coin_file_write_atomic(path, coin), RC_OK);  // format 10
  SessionAuthority authority;
  ASSERT_EQ(session.authority_take(&authority), RC_OK);

  // No token over an existing file: refused.
  EXPECT_EQ(coin_file_write_plaintext_atomic_tok(path, coin, &authority, nullptr), RC_BUSY);

  OriginalBytesToken token;
  ASSERT_EQ(original_bytes_token_take(path, &token), RC_OK);
  std::string same_size = read_file(path);
  same_size[400] ^= 0x01;
  ASSERT_TRUE(write_file(path, same_size));
  EXPECT_EQ(coin_file_write_plaintext_atomic_tok(path, coin, &authority, &token), RC_BUSY);
  EXPECT_EQ(read_file(path), same_size);

  ASSERT_EQ(original_bytes_token_take(path, &token), RC_OK);
  ++session.generation;
  EXPECT_EQ(coin_file_write_plaintext_atomic_tok(path, coin, &authority, &token), RC_CANCELLED);
  EXPECT_EQ(read_file(path), same_size);
  --session.generation;
  ASSERT_EQ(coin_file_write_plaintext_atomic_tok(path, coin, &authority, &token), RC_OK);
  EXPECT_EQ(read_file(path).size(), 439u);
  EXPECT_EQ(session.fence_enters, session.fence_leaves);

  std::string fresh = dir.sub("fresh.bin");
  EXPECT_EQ(coin_file_write_plaintext_atomic_tok(fresh, coin, nullptr, nullptr), RC_OK);
  EXPECT_EQ(read_file(fresh).size(), 439u);
  EXPECT_EQ(all_names(dir.path()), (std::vector<std::string>{"c.bin", "fresh.bin"}));
}

TEST_F(EncryptedWallet, TokensCoverOnlySmallNonEmptyFiles) {
  OriginalBytesToken token;
  ASSERT_TRUE(write_file(path, ""));
  EXPECT_EQ(original_bytes_token_take(path, &token), RC_INVALID_PARAM);
  ASSERT_TRUE(write_file(path, std::string(65537, 'x')));
  EXPECT_EQ(original_bytes_token_take(path, &token), RC_INVALID_PARAM);
  ASSERT_TRUE(write_file(path, std::string(65536, 'x')));
  EXPECT_EQ(original_bytes_token_take(path, &token), RC_OK);
  EXPECT_FALSE(token.valid == false);
  EXPECT_EQ(original_bytes_token_take(dir.sub("none"), &token), RC_FILE);
  EXPECT_FALSE(token.valid);
}

TEST_F(EncryptedWallet, PlaintextMultiCoinWarningIsLoggedOncePerPathOutsideExports) {
  const std::string log = dir.sub("main.log");
  ASSERT_TRUE(log_open(log));
  Coin coins[2] = {make_coin(1, 0), make_coin(2, 0)};
  const std::string a = dir.sub("a.bin"), b = dir.sub("b.bin");
  ASSERT_EQ(coin_file_write_multi_atomic(a, coins, 2), RC_OK);
  coins[1].pown_status[0] = 1;  // a changed file, not a skipped write
  ASSERT_EQ(coin_file_write_multi_atomic(a, coins, 2), RC_OK);
  {
    PlaintextExportScope scope;
    ASSERT_EQ(coin_file_write_multi_atomic(b, coins, 2), RC_OK);
  }
  log_close();
  const std::string text = read_file(log);
  size_t count = 0;
  for (size_t at = text.find("MULTI-COIN-WRITE"); at != std::string::npos; at = text.find("MULTI-COIN-WRITE", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << text;
  EXPECT_NE(text.find(a), std::string::npos);
  EXPECT_EQ(text.find(b), std::string::npos);
}

// ---- Damaged input never crashes a reader ----

void read_everything(const std::string& path) {
  Coin c;
  std::vector<Coin> many;
  CoinFileHeader h;
  uint32_t sn = 0;
  int8_t code = 0;
  uint8_t salt[16];
  const std::set<ResultCode> known = {RC_OK,  RC_FILE, RC_CORRUPT_FILE, RC_UNSUPPORTED_FORMAT,
                                      RC_CRC, RC_LOCKED, RC_MEMORY};
  EXPECT_TRUE(known.count(coin_file_read(path, &c)));
  EXPECT_TRUE(known.count(coin_file_read_header(path, &h, &sn, &code)));
  EXPECT_TRUE(known.count(coin_file_read_multi(path, &many)));
  EXPECT_TRUE(known.count(coin_file_read_salt(path, salt)));
  coin_file_matches(path, make_coin(1, 0), 9);
  coin_file_matches(path, make_coin(1, 0), 10);
}

TEST_F(EncryptedWallet, ReadersRefuseEveryTruncationOfEveryFormat) {
  Coin coins[2] = {make_coin(1, 0), make_coin(2, 1)};
  Secret single, multi;
  ASSERT_EQ(coin_image_v9_single(coins[0], &single), RC_OK);
  ASSERT_EQ(coin_image_v9_multi(coins, 2, &multi), RC_OK);
  ASSERT_EQ(coin_file_write_atomic(path, coins[0]), RC_OK);
  const std::string t10 = read_file(path);
  struct Image {
    const char* what;
    std::string bytes;
  } images[] = {{"single", image_str(single)}, {"multi", image_str(multi)}, {"type10", t10}};
  for (const auto& im : images) {
    for (size_t n = 0; n < im.bytes.size(); ++n) {
      ASSERT_TRUE(put_file(path, im.bytes.substr(0, n)));
      Coin c;
      std::vector<Coin> many;
      ResultCode rc = coin_file_read(path, &c);
      // Format 9 readers take the first coin when its record is whole; nothing less reads.
      bool first_whole = im.bytes[0] == 9 && n >= 439;
      EXPECT_EQ(rc == RC_OK, first_whole) << im.what << " cut to " << n;
      EXPECT_NE(coin_file_read_multi(path, &many), RC_OK) << im.what << " cut to " << n;
      read_everything(path);
    }
    ASSERT_TRUE(put_file(path, im.bytes + std::string(100, '\xFF')));  // oversized
    std::vector<Coin> many;
    EXPECT_NE(coin_file_read_multi(path, &many), RC_OK) << im.what;
    read_everything(path);
  }
}

TEST_F(EncryptedWallet, ReadersSurviveRandomFiles) {
  std::mt19937 rng(20261211);
  for (int round = 0; round < 400; ++round) {
    size_t n = rng() % 1400;
    if (round % 4 == 0) n = 612;
    if (round % 4 == 1) n = 439;
    std::string bytes(n, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    if (n > 0 && round % 3 == 0) bytes[0] = 9;
    if (n > 0 && round % 3 == 1) bytes[0] = 10;
    if (n > 3 && round % 2 == 0) {
      bytes[2] = 0;
      bytes[3] = 6;
    }
    ASSERT_TRUE(put_file(path, bytes));
    read_everything(path);
  }
}

}  // namespace
