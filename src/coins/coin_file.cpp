#include "coins/coin_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>

#include <openssl/crypto.h>

#include "coins/coin_file_name.h"
#include "net/crypto.h"
#include "runtime/durable_write.h"
#include "runtime/log.h"

namespace {

// Reads up to `max` bytes of a regular file and reports its full size. RC_NOT_FOUND when it does
// not exist, RC_FILE for any other failure.
ResultCode read_prefix(const std::string& path, size_t max, Secret* bytes, uint64_t* size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? RC_NOT_FOUND : RC_FILE;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return RC_FILE;
  }
  uint64_t file_size = static_cast<uint64_t>(st.st_size);
  size_t want = file_size < max ? static_cast<size_t>(file_size) : max;
  Secret buf(want);
  size_t got = 0;
  while (got < want) {
    ssize_t r = ::read(fd, buf.data() + got, want - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  // A file that shrank under us reads short; the callers treat it as short.
  buf.resize(got);
  *bytes = std::move(buf);
  *size = file_size;
  return RC_OK;
}

ResultCode open_error(ResultCode rc) { return rc == RC_NOT_FOUND ? RC_FILE : rc; }

bool sha256_of(const Secret& bytes, uint8_t out[32]) { return sha256_large(bytes.data(), bytes.size(), out) == RC_OK; }

bool same_digest(const uint8_t a[32], const uint8_t b[32]) { return CRYPTO_memcmp(a, b, 32) == 0; }

// True when `path` still holds exactly the bytes described by size and digest.
bool still_holds(const std::string& path, uint64_t size, const uint8_t digest[32]) {
  Secret bytes;
  uint64_t actual = 0;
  if (size == 0 || read_prefix(path, static_cast<size_t>(size) + 1, &bytes, &actual) != RC_OK) return false;
  uint8_t d[32];
  return actual == size && bytes.size() == size && sha256_of(bytes, d) && same_digest(d, digest);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// Decrypts a checked format 10 image with the installed session's key for its salt.
ResultCode type10_read_with_session(const uint8_t* image, Coin* coin) {
  CoinSession* session = coin_session_installed();
  if (!session) return RC_LOCKED;
  Secret key;
  ResultCode rc = session->key_for_salt(image + kType10SaltOffset, &key);
  if (rc != RC_OK) return rc;
  if (key.size() != kSessionKeySize) return RC_LOCKED;
  return type10_decode_image(image, key.data(), coin);
}

// The fence half of a writer's last check: enters the session's commit fence for `authority`
// (when given) and records that it must be left after the rename.
struct Fence {
  const SessionAuthority* authority = nullptr;
  bool held = false;
  CoinSession* session = nullptr;

  ResultCode enter(const char* who, const std::string& path) {
    if (!authority) return RC_OK;
    session = coin_session_installed();
    ResultCode rc = session && authority->valid ? session->commit_fence_enter(*authority) : RC_CANCELLED;
    if (rc != RC_OK) {
      log_warn(CAT_GEN, "%s: RESULT_CANCELLED — authority invalidated at commit fence: %s", who, path.c_str());
      return RC_CANCELLED;
    }
    held = true;
    return RC_OK;
  }
  void leave() {
    if (held) session->commit_fence_leave();
    held = false;
  }
  ~Fence() { leave(); }
};

// Writes `image` durably with the commit fence (for `authority`, when given) held from the last
// check to the rename: `unchanged` runs inside the fence and tells whether the destination still
// holds what the caller saw; when it does not, nothing is written and the answer is RC_BUSY
// (logged when `log_busy`). The rename is the commit point, so the folder sync after it runs
// without the session lock.
ResultCode fenced_write(const char* who, const std::string& path, const Secret& image,
                        const SessionAuthority* authority, bool log_busy, const std::function<bool()>& unchanged) {
  Fence fence;
  fence.authority = authority;
  DurableOptions opt;
  opt.last_check = [&]() -> ResultCode {
    ResultCode f = fence.enter(who, path);
    if (f != RC_OK) return f;
    if (!unchanged()) {
      fence.leave();
      if (log_busy) log_warn(CAT_GEN, "%s: RESULT_BUSY — destination changed before commit: %s", who, path.c_str());
      return RC_BUSY;
    }
    return RC_OK;
  };
  opt.after_commit = [&fence]() { fence.leave(); };
  return durable_write(path, image.data(), image.size(), opt);
}

// The multi-coin warning is logged once per path; the ring remembers the last 256 paths.
struct WarningRing {
  // Guards slots and next; stands alone in the lock order (taken only around the lookup).
  std::mutex mu;
  std::array<std::string, 256> slots;
  size_t next = 0;

  // True when `path` was not remembered yet (it is remembered now).
  bool first_time(const std::string& path) {
    std::string key = path.substr(0, 511);
    std::lock_guard<std::mutex> lock(mu);
    for (const auto& s : slots) {
      if (s == key) return false;
    }
    slots[next] = key;
    next = (next + 1) % slots.size();
    return true;
  }
};
WarningRing g_ring;

ResultCode write_plain_single(const std::string& path, const Coin& coin) {
  if (coin_file_matches(path, coin, kFormat9)) return RC_OK;
  Secret image;
  ResultCode rc = coin_image_v9_single(coin, &image);
  if (rc != RC_OK) return rc;
  return durable_write(path, image.data(), image.size());
}

}  // namespace

ResultCode original_bytes_token_take(const std::string& path, OriginalBytesToken* token) {
  if (!token) return RC_INVALID_PARAM;
  *token = OriginalBytesToken{};
  Secret bytes;
  uint64_t size = 0;
  ResultCode rc = read_prefix(path, kMaxTokenFileSize + 1, &bytes, &size);
  if (rc != RC_OK) return RC_FILE;
  if (size == 0 || size > kMaxTokenFileSize || bytes.size() != size) return RC_INVALID_PARAM;
  if (!sha256_of(bytes, token->sha256)) return RC_FILE;
  token->size = size;
  token->valid = true;
  return RC_OK;
}

ResultCode coin_file_read(const std::string& path, Coin* coin) {
  if (path.empty() || !coin) return RC_INVALID_PARAM;
  Secret bytes;
  uint64_t size = 0;
  ResultCode rc = read_prefix(path, kType10FileSize + 1, &bytes, &size);
  if (rc != RC_OK) return open_error(rc);
  if (bytes.size() < 1) return RC_CORRUPT_FILE;
  if (bytes[0] == kFormat10) {
    if (size != kType10FileSize || bytes.size() != kType10FileSize) return RC_CORRUPT_FILE;
    rc = type10_check_image(bytes.data(), bytes.size());
    if (rc != RC_OK) return rc;
    return type10_read_with_session(bytes.data(), coin);
  }
  CoinFileHeader h;
  rc = coin_header_parse(bytes.data(), bytes.size(), &h);
  if (rc != RC_OK) return rc;
  if (h.encryption_type != 0) {
    log_error(CAT_GEN,
              "Legacy interim-encrypted coin file not supported: %s (encryption_type=%u). Restore a plaintext backup.",
              path.c_str(), static_cast<unsigned>(h.encryption_type));
    return RC_UNSUPPORTED_FORMAT;
  }
  // A file that claims no coins holds none, whatever bytes follow its header.
  if (h.token_count == 0) return RC_CORRUPT_FILE;
  Coin c;
  rc = coin_image_v9_record(bytes.data(), bytes.size(), 0, &c);
  if (rc != RC_OK) return rc;
  if (h.single_coin) pown_unpack(h.pown_packed, c.pown_status);
  *coin = c;
  return RC_OK;
}

ResultCode coin_file_read_header(const std::string& path, CoinFileHeader* header, uint32_t* serial_number,
                                 int8_t* denomination) {
  if (path.empty()) return RC_INVALID_PARAM;
  Secret bytes;
  uint64_t size = 0;
  ResultCode rc = read_prefix(path, kType10FileSize + 1, &bytes, &size);
  if (rc != RC_OK) return open_error(rc);
  if (!bytes.empty() && bytes[0] == kFormat10 && size != kType10FileSize) return RC_CORRUPT_FILE;
  CoinFileHeader h;
  rc = coin_header_parse(bytes.data(), bytes.size(), &h);
  if (rc != RC_OK) return rc;
  uint32_t sn = 0;
  int8_t denom = 0;
  if (h.format == kFormat10) {
    sn = (uint32_t{bytes[2]} << 24) | (uint32_t{bytes[3]} << 16) | (uint32_t{bytes[4]} << 8) | bytes[5];
    denom = static_cast<int8_t>(bytes[1]);
  } else if (serial_number || denomination) {
    Coin c;
    rc = coin_image_v9_record(bytes.data(), bytes.size(), 0, &c);
    if (rc != RC_OK) return rc;
    sn = c.serial_number;
    denom = c.denomination;
  }
  if (header) *header = h;
  if (serial_number) *serial_number = sn;
  if (denomination) *denomination = denom;
  return RC_OK;
}

ResultCode coin_file_read_multi(const std::string& path, std::vector<Coin>* coins) {
  if (path.empty() || !coins) return RC_INVALID_PARAM;
  coins->clear();
  Secret head;
  uint64_t size = 0;
  ResultCode rc = read_prefix(path, kCoinFileHeaderSize, &head, &size);
  if (rc != RC_OK) return open_error(rc);
  if (!head.empty() && head[0] == kFormat10) return RC_UNSUPPORTED_FORMAT;
  CoinFileHeader h;
  rc = coin_header_parse(head.data(), head.size(), &h);
  if (rc != RC_OK) return rc;
  if (h.token_count == 0) return RC_OK;
  const uint64_t expected = coin_file_v9_size(h.token_count);
  if (size != expected) {
    log_warn(CAT_GEN, "coin_file_read_multi: size mismatch on %s (expected %ld, got %ld; token_count=%u)", path.c_str(),
             static_cast<long>(expected), static_cast<long>(size), static_cast<unsigned>(h.token_count));
    return RC_CORRUPT_FILE;
  }
  Secret bytes;
  rc = read_prefix(path, static_cast<size_t>(expected), &bytes, &size);
  if (rc != RC_OK) return open_error(rc);
  if (bytes.size() != expected || size != expected) return RC_CORRUPT_FILE;
  std::vector<Coin> out;
  try {
    out.resize(h.token_count);
  } catch (const std::bad_alloc&) {
    return RC_MEMORY;
  }
  for (size_t i = 0; i < out.size(); ++i) {
    rc = coin_image_v9_record(bytes.data(), bytes.size(), i, &out[i]);
    if (rc != RC_OK) return rc;
  }
  *coins = std::move(out);
  return RC_OK;
}

ResultCode coin_file_read_salt(const std::string& path, uint8_t salt[16]) {
  if (path.empty() || !salt) return RC_INVALID_PARAM;
  Secret bytes;
  uint64_t size = 0;
  ResultCode rc = read_prefix(path, kType10FileSize, &bytes, &size);
  if (rc != RC_OK) return open_error(rc);
  if (size != kType10FileSize || bytes.size() != kType10FileSize || bytes[0] != kFormat10) {
    return RC_UNSUPPORTED_FORMAT;
  }
  std::memcpy(salt, bytes.data() + kType10SaltOffset, kSessionSaltSize);
  return RC_OK;
}

bool coin_file_matches(const std::string& path, const Coin& coin, int format) {
  if (format == kFormat9) {
    // Format 9 cannot carry aux24, so such a coin never matches a plaintext file.
    Secret image;
    if (coin.aux24 != 0 || coin_image_v9_single(coin, &image) != RC_OK) return false;
    Secret bytes;
    uint64_t size = 0;
    if (read_prefix(path, kSingleCoinFileSize + 1, &bytes, &size) != RC_OK) return false;
    return size == kSingleCoinFileSize && bytes == image;
  }
  if (format == kFormat10) {
    Secret bytes;
    uint64_t size = 0;
    if (read_prefix(path, kType10FileSize + 1, &bytes, &size) != RC_OK) return false;
    if (size != kType10FileSize || type10_check_image(bytes.data(), bytes.size()) != RC_OK) return false;
    Coin on_disk;
    return type10_read_with_session(bytes.data(), &on_disk) == RC_OK && coin_same_content(on_disk, coin);
  }
  return false;
}

ResultCode coin_file_write_atomic(const std::string& path, const Coin& coin) {
  if (path.empty() || !coin_valid_for_writing(coin)) return RC_INVALID_PARAM;
  CoinSession* session = coin_session_installed();
  if (plaintext_export_scope_active() || !session || !session->wallet_is_encrypted()) {
    return write_plain_single(path, coin);
  }
  if (!session->is_confirmed()) {
    log_warn(CAT_GEN,
             "coin_file_write_atomic: RESULT_LOCKED — wallet is encrypted and session may not persist (not CONFIRMED): %s",
             path.c_str());
    return RC_LOCKED;
  }
  if (coin_file_matches(path, coin, kFormat10)) return RC_OK;
  SessionAuthority authority;
  if (session->authority_take(&authority) != RC_OK || !authority.valid ||
      authority.key.size() != kSessionKeySize || !session->authority_valid(authority)) {
    return RC_LOCKED;
  }
  ResultCode rc = coin_file_write_type10_atomic(path, coin, authority.key.data(), authority.salt, &authority, nullptr);
  authority.clear();
  return rc == RC_NO_CHANGE ? RC_OK : rc;
}

ResultCode coin_file_write_multi_atomic(const std::string& path, const Coin* coins, size_t count) {
  if (path.empty()) return RC_INVALID_PARAM;
  Secret image;
  ResultCode rc = coin_image_v9_multi(coins, count, &image);
  if (rc != RC_OK) return rc;
  CoinSession* session = coin_session_installed();
  if (session && session->key_held() && !plaintext_export_scope_active() && g_ring.first_time(path)) {
    log_warn(CAT_GEN,
             "MULTI-COIN-WRITE: writing plaintext multi-coin file %s while key is set — caller must be export pipeline "
             "with suppression on",
             path.c_str());
  }
  Secret existing;
  uint64_t size = 0;
  if (read_prefix(path, image.size() + 1, &existing, &size) == RC_OK && size == image.size() && existing == image) {
    return RC_OK;
  }
  return durable_write(path, image.data(), image.size());
}

ResultCode coin_file_write_plaintext_atomic_tok(const std::string& path, const Coin& coin,
                                                const SessionAuthority* authority, const OriginalBytesToken* token) {
  static const char kWho[] = "coin_file_write_plaintext_atomic_tok";
  if (path.empty() || !coin_valid_for_writing(coin)) return RC_INVALID_PARAM;
  if (coin_file_matches(path, coin, kFormat9)) return RC_OK;
  const bool have_token = token && token->valid;
  if (!have_token && path_exists(path)) {
    log_warn(CAT_GEN, "%s: RESULT_BUSY — destination exists without exact-original-bytes token: %s", kWho, path.c_str());
    return RC_BUSY;
  }
  Secret image;
  ResultCode rc = coin_image_v9_single(coin, &image);
  if (rc != RC_OK) return rc;
  return fenced_write(kWho, path, image, authority, false, [&] {
    return have_token ? still_holds(path, token->size, token->sha256) : !path_exists(path);
  });
}

ResultCode coin_file_write_type10_atomic(const std::string& path, const Coin& coin, const uint8_t* key,
                                         const uint8_t salt[16], const SessionAuthority* authority,
                                         const OriginalBytesToken* token) {
  static const char kWho[] = "coin_file_write_type10_atomic";
  if (path.empty() || !key || !salt || !coin_valid_for_writing(coin) || coin.aux24 > kAux24Max) {
    return RC_INVALID_PARAM;
  }
  OriginalBytesToken expect;
  if (token && token->valid) expect = *token;

  // What the destination holds now decides what must still hold at the rename.
  bool was_type10 = false;
  bool existed = false;
  uint8_t type10_digest[32] = {};
  Type10Reserved reserved;
  {
    Secret bytes;
    uint64_t size = 0;
    ResultCode rc = read_prefix(path, kType10FileSize + 1, &bytes, &size);
    if (rc == RC_OK) {
      existed = true;
      if (size == kType10FileSize && bytes.size() == kType10FileSize && bytes[0] == kFormat10) {
        was_type10 = true;
        if (!sha256_of(bytes, type10_digest)) return RC_BUSY;
        if (type10_check_image(bytes.data(), bytes.size()) == RC_OK) {
          if (CRYPTO_memcmp(bytes.data() + kType10SaltOffset, salt, kSessionSaltSize) != 0) return RC_KEY_UNCONFIRMED;
          reserved = type10_reserved_of(bytes.data());
          Coin on_disk;
          if (type10_decode_image(bytes.data(), key, &on_disk) == RC_OK && coin_same_content(on_disk, coin)) {
            return RC_NO_CHANGE;
          }
        }
      } else if (!expect.valid) {
        if (original_bytes_token_take(path, &expect) != RC_OK) return RC_BUSY;
      }
    } else if (rc == RC_NOT_FOUND) {
      if (expect.valid) return RC_BUSY;  // the file the token describes is gone
    } else {
      return rc;
    }
  }

  uint8_t nonce[kType10NonceSize];
  ResultCode rc = random_fill_named_strict(nonce, sizeof nonce);
  if (rc != RC_OK) return rc;
  Secret image(kType10FileSize);
  rc = type10_build_image(coin, key, salt, nonce, reserved, image.data());
  OPENSSL_cleanse(nonce, sizeof nonce);
  if (rc != RC_OK) return rc;

  return fenced_write(kWho, path, image, authority, true, [&] {
    bool unchanged = true;
    if (was_type10) unchanged = still_holds(path, kType10FileSize, type10_digest);
    if (unchanged && expect.valid) unchanged = still_holds(path, expect.size, expect.sha256);
    // Nothing was there: something that appeared since is not ours to replace.
    if (unchanged && !existed && !expect.valid) unchanged = !path_exists(path);
    return unchanged;
  });
}

bool is_standard_coin_folder(std::string_view folder) {
  while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) folder.remove_suffix(1);
  size_t cut = folder.find_last_of("/\\");
  std::string_view last = cut == std::string_view::npos ? folder : folder.substr(cut + 1);
  static const char* const kStandard[] = {"Bank",    "Fracked", "Limbo",  "Counterfeit", "Suspect",
                                          "Grade",   "Pending", "Import", "Imported",    "Trash"};
  for (const char* s : kStandard) {
    if (last == s) return true;
  }
  return false;
}

ResultCode coin_file_store(const std::string& folder, const Coin* coins, size_t count, std::string_view tag,
                           std::string* written_path) {
  if (folder.empty() || !coins || count == 0 || count > kMaxCoinsPerFile) return RC_INVALID_PARAM;
  std::string name;
  ResultCode rc = coin_file_name(total_units(coins, count), count, count == 1 ? coins[0].serial_number : 0, tag, &name);
  if (rc != RC_OK) return rc;
  if (!is_standard_coin_folder(folder)) {
    uint8_t r[4];
    rc = random_fill(r, sizeof r);
    if (rc != RC_OK) return rc;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " %02x%02x%02x%02x", r[0], r[1], r[2], r[3]);
    name.insert(name.size() - 4, suffix);  // before ".bin"
    if (name.size() > kMaxCoinFileName) return RC_ERROR;
  }
  std::string dir = folder;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  std::string path = dir + "/" + name;
  rc = count == 1 ? coin_file_write_atomic(path, coins[0]) : coin_file_write_multi_atomic(path, coins, count);
  if (rc == RC_OK && written_path) *written_path = path;
  return rc;
}
