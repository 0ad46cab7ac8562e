#include "http/params.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <climits>
#include <random>

#include "http/json_scan.h"
#include "http/reply.h"
#include "runtime/startup.h"

const std::string* param_get(const HttpRequest& req, std::string_view name) {
  for (const HttpParam& p : req.params)
    if (p.name == name) return &p.value;
  return nullptr;
}

std::string param_get_or(const HttpRequest& req, std::string_view name, std::string_view fallback) {
  const std::string* v = param_get(req, name);
  if (v && !v->empty()) return *v;
  return std::string(fallback);
}

namespace {
// The leading decimal integer of `text` the way a C atoi reads it, saturating instead of
// overflowing.
int leading_int(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  long long v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + (text[i++] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}
}  // namespace

int param_get_int(const HttpRequest& req, std::string_view name, int fallback) {
  const std::string* v = param_get(req, name);
  return v ? leading_int(*v) : fallback;
}

int param_get_int_clamped(const HttpRequest& req, std::string_view name, int fallback, int low, int high) {
  int v = param_get_int(req, name, fallback);
  if (v < low) v = low;
  if (v > high) v = high;
  return v;
}

std::vector<std::string> param_get_all(const HttpRequest& req, std::string_view name, size_t max_count) {
  std::vector<std::string> out;
  for (const HttpParam& p : req.params) {
    if (out.size() >= max_count) break;
    if (p.name == name) out.push_back(p.value);
  }
  return out;
}

ResultCode param_get_joined(const HttpRequest& req, std::string_view name, std::string& out, size_t capacity) {
  std::string joined;
  size_t used = 0;
  for (const std::string& v : param_get_all(req, name)) {
    if (v.empty()) continue;
    if (used++) joined += ';';
    joined += v;
  }
  if (used == 0) return RC_NOT_FOUND;
  if (joined.size() >= capacity) return RC_ERROR;
  out = joined;
  return RC_OK;
}

bool is_true(std::string_view text) {
  auto equals_nocase = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char c = a[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != b[i]) return false;
    }
    return true;
  };
  return !(text == "0" || equals_nocase(text, "false") || equals_nocase(text, "no"));
}

ResultCode parse_u32(std::string_view text, uint32_t* out) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool neg = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  if (i >= text.size()) return RC_INVALID_PARAM;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return RC_INVALID_PARAM;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull) return RC_INVALID_PARAM;
  }
  uint32_t r = static_cast<uint32_t>(v);
  if (out) *out = neg ? static_cast<uint32_t>(0u - r) : r;
  return RC_OK;
}

ResultCode json_field(std::string_view body, std::string_view key, std::string& out, size_t capacity) {
  return json_scan_member(body, key, out, capacity);
}

std::string normalize_wallet_path(std::string_view path) {
  std::string p(path);
  for (char& c : p)
    if (c == '\\') c = '/';
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

namespace {
// A wallet name names a folder inside the wallets folder; "." or ".." would let it name the
// wallets folder itself or the data root (and a delete would then remove them).
bool has_dot_component(const std::string& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string_view part(name.data() + start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

// A control character has no place in a folder name; a NUL would even cut the path short where
// the system reads it, so the folder used would differ from the one checked.
bool has_control_char(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}
}  // namespace

ResultCode resolve_wallet_address(std::string_view wallet_path, std::string_view wallet, std::string& out) {
  std::string result;
  if (!wallet_path.empty()) {
    if (has_control_char(wallet_path)) return RC_INVALID_PARAM;
    result = normalize_wallet_path(wallet_path);
  } else {
    if (has_control_char(wallet)) return RC_INVALID_PARAM;
    std::string name = normalize_wallet_path(wallet.empty() ? std::string_view("Default") : wallet);
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (name.empty() || has_dot_component(name)) return RC_INVALID_PARAM;
    result = normalize_wallet_path(wallets_dir() + "/" + name);
  }
  if (result.empty() || result.size() > WALLET_PATH_MAX) return RC_INVALID_PARAM;
  out = result;
  return RC_OK;
}

ResultCode resolve_wallet(const HttpRequest& req, std::string& out, bool must_exist) {
  const std::string* wp = param_get(req, "wallet_path");
  const std::string* name = param_get(req, "wallet");
  std::string result;
  ResultCode rc = resolve_wallet_address(wp ? *wp : std::string(), name ? *name : std::string(), result);
  if (rc != RC_OK) return rc;
  if (must_exist) {
    struct stat st;
    if (stat(result.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return RC_NOT_FOUND;
  }
  out = result;
  return RC_OK;
}

bool require_wallet(const HttpRequest& req, HttpResponse& resp, std::string& out, bool transport_ready,
                    bool must_exist, int fail_status, const char* fail_message) {
  std::string path;
  if (resolve_wallet(req, path, false) != RC_OK) {
    reply_error(resp, fail_status, fail_message ? fail_message : "Invalid wallet_path");
    return false;
  }
  if (!transport_ready) {
    reply_error(resp, 500, "Transport not initialized");
    return false;
  }
  if (must_exist && resolve_wallet(req, path, true) != RC_OK) {
    reply_error(resp, 404, "Wallet not found");
    return false;
  }
  out = path;
  return true;
}

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
const char kHexDigits[] = "0123456789abcdef";
}  // namespace

ResultCode guid_from_hex(std::string_view text, uint8_t out[16]) {
  if (text.size() != 32) return RC_INVALID_PARAM;
  uint8_t tmp[16];
  for (size_t i = 0; i < 16; ++i) {
    int hi = hex_value(text[2 * i]);
    int lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return RC_INVALID_PARAM;
    tmp[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  for (size_t i = 0; i < 16; ++i) out[i] = tmp[i];
  return RC_OK;
}

std::string guid_to_hex(const uint8_t guid[16]) {
  std::string s(32, '0');
  for (size_t i = 0; i < 16; ++i) {
    s[2 * i] = kHexDigits[guid[i] >> 4];
    s[2 * i + 1] = kHexDigits[guid[i] & 15];
  }
  return s;
}

bool param_guid(const HttpRequest& req, HttpResponse& resp, std::string_view name, uint8_t out[16],
                const char* missing_message, const char* invalid_message) {
  const std::string* v = param_get(req, name);
  if (!v || v->empty()) {
    reply_error(resp, 400, missing_message ? missing_message : "Missing required GUID parameter");
    return false;
  }
  if (guid_from_hex(*v, out) != RC_OK) {
    reply_error(resp, 400, invalid_message ? invalid_message : "Invalid GUID format");
    return false;
  }
  return true;
}

std::string mail_request_id() {
  uint8_t b[8];
  if (RAND_bytes(b, sizeof b) != 1) {
    // The identifier only correlates log lines with replies; a weaker source is good enough.
    std::random_device rd;
    for (uint8_t& x : b) x = static_cast<uint8_t>(rd());
  }
  std::string s(16, '0');
  for (size_t i = 0; i < 8; ++i) {
    s[2 * i] = kHexDigits[b[i] >> 4];
    s[2 * i + 1] = kHexDigits[b[i] & 15];
  }
  return s;
}
