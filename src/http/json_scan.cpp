#include "http/json_scan.h"

#include <cctype>
#include <string>

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The strict checker behind json_text_is_valid: value := object | array | string | number |
// true | false | null, nested at most 256 deep, strings in valid UTF-8.
struct JsonCheck {
  std::string_view t;
  size_t i = 0;
  int depth = 0;
  void ws() {
    while (i < t.size() && is_space(t[i])) ++i;
  }
  bool lit(const char* w) {
    size_t n = std::char_traits<char>::length(w);
    if (t.substr(i, n) != w) return false;
    i += n;
    return true;
  }
  bool str() {
    if (i >= t.size() || t[i] != '"') return false;
    ++i;
    while (i < t.size()) {
      unsigned char c = static_cast<unsigned char>(t[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        if (!utf8_char()) return false;
        continue;
      }
      if (c == '\\') {
        if (++i >= t.size()) return false;
        char e = t[i];
        if (e == 'u') {
          for (int k = 0; k < 4; ++k)
            if (++i >= t.size() || !std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
          return false;
        }
      }
      ++i;
    }
    return false;
  }
  // One UTF-8 encoded character starting at t[i] (a byte of 0x80 or more); no overlong forms,
  // surrogates or code points past U+10FFFF. Moves past it.
  bool utf8_char() {
    unsigned char c = static_cast<unsigned char>(t[i]);
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > t.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(t[i + k]) & 0xC0) != 0x80) return false;
    unsigned char c1 = static_cast<unsigned char>(t[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
      return false;
    i += len;
    return true;
  }
  bool digits() {
    size_t s = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > s;
  }
  bool num() {
    if (i < t.size() && t[i] == '-') ++i;
    if (i < t.size() && t[i] == '0') {
      ++i;
    } else if (!digits()) {
      return false;
    }
    if (i < t.size() && t[i] == '.') {
      ++i;
      if (!digits()) return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
      ++i;
      if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
      if (!digits()) return false;
    }
    return true;
  }
  // The members of an object (`members`) or the items of an array, after the opening bracket, up
  // to and including `close`.
  bool items(char close, bool members) {
    ws();
    if (i < t.size() && t[i] == close) {
      ++i;
      return true;
    }
    for (;;) {
      if (members) {
        ws();
        if (!str()) return false;
        ws();
        if (i >= t.size() || t[i] != ':') return false;
        ++i;
      }
      if (!value()) return false;
      ws();
      if (i < t.size() && t[i] == ',') {
        ++i;
        continue;
      }
      if (i < t.size() && t[i] == close) {
        ++i;
        return true;
      }
      return false;
    }
  }
  bool value() {
    if (++depth > 256) return false;
    ws();
    if (i >= t.size()) return false;
    bool ok;
    char c = t[i];
    if (c == '{') {
      ++i;
      ok = items('}', true);
    } else if (c == '[') {
      ++i;
      ok = items(']', false);
    } else if (c == '"') {
      ok = str();
    } else if (c == 't') {
      ok = lit("true");
    } else if (c == 'f') {
      ok = lit("false");
    } else if (c == 'n') {
      ok = lit("null");
    } else {
      ok = num();
    }
    --depth;
    return ok;
  }
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at t[i..i+3] as a number, or -1 when they are not four hex digits.
long hex4(std::string_view t, size_t i) {
  if (i + 4 > t.size()) return -1;
  long v = 0;
  for (size_t k = 0; k < 4; ++k) {
    int d = hex_digit(t[i + k]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes the escape whose letter is at t[i] (just after the backslash) onto `out`; returns the
// index of the escape's last character. The writer escapes control bytes and sometimes non-ASCII
// text, so reading these back as their bare letters would change the value that was written.
size_t decode_escape(std::string_view t, size_t i, std::string& out) {
  switch (t[i]) {
    case 'n': out += '\n'; return i;
    case 't': out += '\t'; return i;
    case 'r': out += '\r'; return i;
    case 'b': out += '\b'; return i;
    case 'f': out += '\f'; return i;
    case 'u': break;
    default: out += t[i]; return i;
  }
  long cp = hex4(t, i + 1);
  if (cp < 0) {
    out += 'u';
    return i;
  }
  size_t last = i + 4;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    long low = last + 2 < t.size() && t[last + 1] == '\\' && t[last + 2] == 'u' ? hex4(t, last + 3) : -1;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      last += 6;
    } else {
      cp = 0xFFFD;
    }
  } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
    cp = 0xFFFD;
  }
  append_utf8(out, static_cast<unsigned long>(cp));
  return last;
}

size_t scalar_end(std::string_view t, size_t i) {
  while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != '\n') ++i;
  return i;
}

}  // namespace

size_t json_skip_string(std::string_view t, size_t i) {
  if (i >= t.size() || t[i] != '"') return std::string_view::npos;
  for (++i; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
      continue;
    }
    if (t[i] == '"') return i + 1;
  }
  return std::string_view::npos;
}

size_t json_skip_container(std::string_view t, size_t i) {
  if (i >= t.size() || (t[i] != '{' && t[i] != '[')) return std::string_view::npos;
  char open = t[i];
  char close = open == '{' ? '}' : ']';
  int level = 0;
  while (i < t.size()) {
    char c = t[i];
    if (c == '"') {
      i = json_skip_string(t, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (c == open) ++level;
    if (c == close && --level == 0) return i + 1;
    ++i;
  }
  return std::string_view::npos;
}

ResultCode json_scan_member(std::string_view text, std::string_view name, std::string& out, size_t capacity) {
  out.clear();
  size_t keep = capacity == 0 ? 0 : capacity - 1;
  size_t i = text.find('{');
  if (i == std::string_view::npos) return RC_NOT_FOUND;
  ++i;
  const size_t n = text.size();
  while (true) {
    while (i < n && (is_space(text[i]) || text[i] == ',')) ++i;
    if (i >= n || text[i] != '"') return RC_NOT_FOUND;
    size_t name_start = i + 1;
    size_t name_end = text.find('"', name_start);
    if (name_end == std::string_view::npos) return RC_NOT_FOUND;
    std::string_view member = text.substr(name_start, name_end - name_start);
    i = name_end + 1;
    while (i < n && (is_space(text[i]) || text[i] == ':')) ++i;
    if (i >= n) return RC_NOT_FOUND;
    char c = text[i];
    if (c == '{' || c == '[') {
      i = json_skip_container(text, i);
      if (i == std::string_view::npos) return RC_NOT_FOUND;
      continue;
    }
    if (member != name) {
      i = c == '"' ? json_skip_string(text, i) : scalar_end(text, i);
      if (i == std::string_view::npos) return RC_NOT_FOUND;
      continue;
    }
    if (c == '"') {
      std::string value;
      for (++i; i < n; ++i) {
        char ch = text[i];
        if (ch == '\\') {
          if (++i >= n) break;
          i = decode_escape(text, i, value);
          continue;
        }
        if (ch == '"') {
          out = value.size() > keep ? value.substr(0, keep) : value;
          return RC_OK;
        }
        value += ch;
      }
      return RC_NOT_FOUND;  // the text ended inside the string: a cut value is not a value
    }
    size_t end = scalar_end(text, i);
    while (end > i && is_space(text[end - 1])) --end;
    std::string_view v = text.substr(i, end - i);
    out.assign(v.substr(0, v.size() > keep ? keep : v.size()));
    return RC_OK;
  }
}

std::string json_unescape(std::string_view body, size_t cap) {
  std::string out;
  for (size_t i = 0; i < body.size() && out.size() < cap; ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      out += body[i];
      continue;
    }
    i = decode_escape(body, i + 1, out);
  }
  if (out.size() > cap) out.resize(cap);
  return out;
}

bool json_is_secret_member(std::string_view name) {
  static const char* const kSecret[] = {"an",   "ans",    "pan",        "pans",        "seed",
                                        "ticket", "locker_key", "locker_code", "password"};
  for (const char* s : kSecret) {
    std::string_view w(s);
    if (w.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < w.size() && same; ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      same = c == w[i];
    }
    if (same) return true;
  }
  return false;
}

std::string json_redact_secrets(std::string_view t) {
  std::string out;
  out.reserve(t.size());
  const size_t n = t.size();
  size_t i = 0;
  while (i < n) {
    if (t[i] != '"') {
      out += t[i++];
      continue;
    }
    size_t end = json_skip_string(t, i);
    if (end == std::string_view::npos) end = n;
    std::string_view token = t.substr(i, end - i);
    out.append(token);
    i = end;
    // A string followed by ':' is a member name.
    size_t j = i;
    while (j < n && is_space(t[j])) ++j;
    if (j >= n || t[j] != ':' || token.size() < 2) continue;
    std::string_view name = token.substr(1, token.size() - 2);
    if (!json_is_secret_member(name)) continue;
    out.append(t.substr(i, j + 1 - i));
    i = j + 1;
    while (i < n && is_space(t[i])) out += t[i++];
    if (i >= n) break;
    size_t vend;
    if (t[i] == '"') {
      vend = json_skip_string(t, i);
    } else if (t[i] == '{' || t[i] == '[') {
      vend = json_skip_container(t, i);
    } else {
      vend = i;
      while (vend < n && t[vend] != ',' && t[vend] != '}' && t[vend] != ']' && !is_space(t[vend])) ++vend;
    }
    if (vend == std::string_view::npos) vend = n;
    out += "\"[redacted]\"";
    i = vend;
  }
  return out;
}

bool json_text_is_valid(std::string_view text) {
  JsonCheck c{text};
  if (!c.value()) return false;
  c.ws();
  return c.i == text.size();
}
