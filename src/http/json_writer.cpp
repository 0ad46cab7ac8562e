#include "http/json_writer.h"

#include <cmath>
#include <cstring>

#include "base/amount.h"

namespace {

const char kHex[] = "0123456789abcdef";
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD, stands in for each byte of a broken sequence

// Which bytes get a two-character escape; the rest below 0x20 become "\u%04x".
enum class EscapeSet { kBuilder, kFileAndBuffer };

// Writes the escape of control byte `c` into `out` (at least 7 bytes), returns its length.
size_t control_escape(unsigned char c, EscapeSet set, char* out) {
  char two = 0;
  switch (c) {
    case '"': two = '"'; break;
    case '\\': two = '\\'; break;
    case '\t': two = 't'; break;
    case '\n': two = 'n'; break;
    case '\r': two = 'r'; break;
    case '\b': two = set == EscapeSet::kBuilder ? 'b' : 0; break;
    case '\f': two = set == EscapeSet::kBuilder ? 'f' : 0; break;
    default: break;
  }
  if (two) {
    out[0] = '\\';
    out[1] = two;
    return 2;
  }
  if (c < 0x20) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = kHex[c >> 4];
    out[5] = kHex[c & 15];
    return 6;
  }
  return 0;
}

// Walks `text` and hands each output piece to `emit`; returns false when `emit` asks to stop.
template <typename Emit>
void escape_walk(std::string_view text, EscapeSet set, Emit emit) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  char esc[8];
  while (i < n) {
    unsigned char c = p[i];
    size_t e = control_escape(c, set, esc);
    if (e) {
      if (!emit(esc, e)) return;
      ++i;
      continue;
    }
    if (c < 0x80) {
      // Copy a run of plain bytes in one piece.
      size_t j = i + 1;
      while (j < n && p[j] >= 0x20 && p[j] < 0x80 && p[j] != '"' && p[j] != '\\') ++j;
      if (!emit(reinterpret_cast<const char*>(p + i), j - i)) return;
      i = j;
      continue;
    }
    size_t len = utf8_sequence_length(p + i, n - i);
    if (len == 0) {
      if (!emit(kReplacement, 3)) return;
      ++i;
    } else {
      if (!emit(reinterpret_cast<const char*>(p + i), len)) return;
      i += len;
    }
  }
}

}  // namespace

// ---- JsonBuilder ----

void JsonBuilder::clear() {
  text_.clear();
  written_.clear();
  ok_ = true;
}

void JsonBuilder::append(std::string_view piece) {
  if (!ok_) return;
  if (text_.size() + piece.size() > kJsonMaxBytes) {
    ok_ = false;
    return;
  }
  text_.append(piece.data(), piece.size());
}

void JsonBuilder::separator() {
  if (written_.empty()) return;
  if (written_.back()) append(",");
  written_.back() = true;
}

void JsonBuilder::open(char bracket) {
  separator();
  append(std::string_view(&bracket, 1));
  written_.push_back(false);
}

void JsonBuilder::close(char bracket) {
  if (written_.empty()) {
    // A close without an open level would make the text invalid; refuse the whole reply instead.
    ok_ = false;
    return;
  }
  append(std::string_view(&bracket, 1));
  written_.pop_back();
}

void JsonBuilder::begin_object() { open('{'); }
void JsonBuilder::end_object() { close('}'); }
void JsonBuilder::begin_array() { open('['); }
void JsonBuilder::end_array() { close(']'); }

void JsonBuilder::append_string(const char* text, size_t len) {
  append("\"");
  escape_walk(std::string_view(text, len), EscapeSet::kBuilder, [this](const char* s, size_t k) {
    append(std::string_view(s, k));
    return ok_;
  });
  append("\"");
}

void JsonBuilder::key(std::string_view name) {
  separator();
  append_string(name.data(), name.size());
  append(":");
  // The value that follows the key must not get a comma of its own.
  if (!written_.empty()) written_.back() = false;
}

void JsonBuilder::member_string(std::string_view name, const char* text) {
  key(name);
  separator();
  if (text)
    append_string(text, std::strlen(text));
  else
    append("null");
}

void JsonBuilder::member_string(std::string_view name, const std::string& text) {
  key(name);
  separator();
  append_string(text.data(), text.size());
}

// Every scalar member and element goes through the raw writers, so the comma and key handling
// lives in one place.
void JsonBuilder::member_bool(std::string_view name, bool flag) { member_raw(name, flag ? "true" : "false"); }
void JsonBuilder::member_int(std::string_view name, int32_t value) { member_raw(name, std::to_string(value).c_str()); }
void JsonBuilder::member_int64(std::string_view name, int64_t value) {
  member_raw(name, std::to_string(value).c_str());
}
void JsonBuilder::member_uint64(std::string_view name, uint64_t value) {
  member_raw(name, std::to_string(value).c_str());
}
void JsonBuilder::member_units(std::string_view name, uint64_t amount) {
  member_raw(name, format_units(amount).c_str());
}

void JsonBuilder::member_double(std::string_view name, double value) {
  if (!std::isfinite(value)) {
    member_null(name);
    return;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", value);
  // A locale with a decimal comma would break the number.
  for (char* c = buf; *c; ++c)
    if (*c == ',') *c = '.';
  member_raw(name, buf);
}

void JsonBuilder::member_null(std::string_view name) { member_raw(name, nullptr); }

void JsonBuilder::member_raw(std::string_view name, const char* json) {
  key(name);
  separator();
  append(json ? json : "null");
}

void JsonBuilder::element_int(int32_t value) { element_raw(std::to_string(value).c_str()); }
void JsonBuilder::element_int64(int64_t value) { element_raw(std::to_string(value).c_str()); }

void JsonBuilder::element_string(const char* text) {
  separator();
  if (text)
    append_string(text, std::strlen(text));
  else
    append("null");
}

void JsonBuilder::element_string(const std::string& text) {
  separator();
  append_string(text.data(), text.size());
}

void JsonBuilder::element_raw(const char* json) {
  separator();
  append(json ? json : "null");
}

// ---- escapers ----

void json_escape_append(std::string& out, std::string_view text) {
  escape_walk(text, EscapeSet::kBuilder, [&out](const char* s, size_t k) {
    out.append(s, k);
    return true;
  });
}

bool json_write_string(FILE* f, const char* text) {
  if (!f) return false;
  std::fputc('"', f);
  if (text) {
    escape_walk(text, EscapeSet::kFileAndBuffer, [f](const char* s, size_t k) {
      std::fwrite(s, 1, k, f);
      return true;
    });
  }
  std::fputc('"', f);
  return std::ferror(f) == 0;
}

size_t json_escape_into(char* out, size_t cap, const char* text) {
  if (!out || cap == 0) return 0;
  size_t len = 0;
  out[0] = '\0';
  if (!text) return 0;
  escape_walk(text, EscapeSet::kFileAndBuffer, [&](const char* s, size_t k) {
    // Plain runs arrive as one piece; place them a character at a time under the 8-byte rule.
    size_t i = 0;
    while (i < k) {
      if (cap - len < 8) return false;
      size_t step = 1;
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '\\' && i + 1 < k) step = (s[i + 1] == 'u') ? 6 : 2;
      else if (c >= 0x80) step = utf8_sequence_length(reinterpret_cast<const unsigned char*>(s + i), k - i);
      if (step == 0 || i + step > k) step = k - i;
      std::memcpy(out + len, s + i, step);
      len += step;
      i += step;
    }
    return true;
  });
  out[len] = '\0';
  return len;
}

// ---- UTF-8 ----

size_t utf8_sequence_length(const unsigned char* p, size_t avail) {
  if (avail == 0) return 0;
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto cont = [&](size_t i, unsigned char lo, unsigned char hi) { return i < avail && p[i] >= lo && p[i] <= hi; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
  if (c == 0xE0) return cont(1, 0xA0, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
  if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
  if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2, 0x80, 0xBF) ? 3 : 0;
  if (c == 0xF0) return cont(1, 0x90, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

namespace {
// Where to cut `src` so that at most `limit` bytes remain and no multi-byte sequence is split.
size_t utf8_cut(const unsigned char* p, size_t n, size_t limit) {
  if (n <= limit) return n;
  size_t cut = limit;
  // Back up over continuation bytes to the lead byte of the sequence the cut falls in.
  size_t lead = cut;
  size_t steps = 0;
  while (lead > 0 && steps < 3 && (p[lead - 1] & 0xC0) == 0x80) {
    --lead;
    ++steps;
  }
  if (lead == 0) return cut;
  unsigned char c = p[lead - 1];
  size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (need > 1 && (lead - 1) + need > cut) return lead - 1;
  return cut;
}
}  // namespace

std::string utf8_safe_copy(std::string_view src, size_t capacity) {
  if (capacity == 0) return std::string();
  size_t n = utf8_cut(reinterpret_cast<const unsigned char*>(src.data()), src.size(), capacity - 1);
  return std::string(src.substr(0, n));
}

size_t utf8_safe_copy(char* out, size_t cap, const char* src) {
  if (!out || cap == 0) return 0;
  if (!src) {
    out[0] = '\0';
    return 0;
  }
  size_t n = utf8_cut(reinterpret_cast<const unsigned char*>(src), std::strlen(src), cap - 1);
  std::memcpy(out, src, n);
  out[n] = '\0';
  return n;
}

// ---- base64url ----

namespace {
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct ReverseTable {
  int8_t v[256];
  ReverseTable() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kB64[i])] = static_cast<int8_t>(i);
    v[static_cast<unsigned char>('+')] = 62;
    v[static_cast<unsigned char>('/')] = 63;
  }
};
}  // namespace

std::string base64url_encode(const uint8_t* data, size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
    out += kB64[v & 63];
  }
  if (n - i == 1) {
    uint32_t v = uint32_t(data[i]) << 16;
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
  } else if (n - i == 2) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += kB64[(v >> 6) & 63];
  }
  return out;
}

ResultCode base64url_encode(const uint8_t* data, size_t n, char* out, size_t cap) {
  size_t need = (n + 2) / 3 * 4 + 1;
  if (!out || cap < need) return RC_ERROR;
  std::string s = base64url_encode(data, n);
  std::memcpy(out, s.c_str(), s.size() + 1);
  return RC_OK;
}

ResultCode base64url_decode(std::string_view text, std::vector<uint8_t>& out, size_t max_bytes) {
  static const ReverseTable table;
  out.clear();
  uint32_t acc = 0;
  int have = 0;
  for (unsigned char c : text) {
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
    int v = table.v[c];
    if (v < 0) return RC_ERROR;
    acc = (acc << 6) | uint32_t(v);
    if (++have == 4) {
      if (out.size() + 3 > max_bytes) return RC_ERROR;
      out.push_back(uint8_t(acc >> 16));
      out.push_back(uint8_t(acc >> 8));
      out.push_back(uint8_t(acc));
      acc = 0;
      have = 0;
    }
  }
  if (have == 1) return RC_ERROR;
  if (have == 2) {
    if (out.size() + 1 > max_bytes) return RC_ERROR;
    out.push_back(uint8_t(acc >> 4));
  } else if (have == 3) {
    if (out.size() + 2 > max_bytes) return RC_ERROR;
    out.push_back(uint8_t(acc >> 10));
    out.push_back(uint8_t(acc >> 2));
  }
  return RC_OK;
}

// ---- numbers ----

std::string eight_decimal_text(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.8f", value);
  for (char* c = buf; *c; ++c)
    if (*c == ',') *c = '.';
  if (std::strchr(buf, '.')) {
    size_t n = std::strlen(buf);
    while (n > 0 && buf[n - 1] == '0') buf[--n] = '\0';
    if (n > 0 && buf[n - 1] == '.') buf[--n] = '\0';
  }
  return buf;
}
