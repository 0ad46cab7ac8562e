#include "http/json_scan.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Skips a string starting at the quote at `i`; returns the index after the closing quote, or npos.
size_t skip_string(std::string_view t, size_t i) {
  for (++i; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
      continue;
    }
    if (t[i] == '"') return i + 1;
  }
  return std::string_view::npos;
}

// Skips an object or array starting at `i` by counting its own kind of bracket; strings inside
// are skipped whole so their brackets do not count. Returns the index after the close, or npos.
size_t skip_container(std::string_view t, size_t i) {
  char open = t[i];
  char close = open == '{' ? '}' : ']';
  int level = 0;
  while (i < t.size()) {
    char c = t[i];
    if (c == '"') {
      i = skip_string(t, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (c == open) ++level;
    if (c == close && --level == 0) return i + 1;
    ++i;
  }
  return std::string_view::npos;
}

size_t scalar_end(std::string_view t, size_t i) {
  while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != '\n') ++i;
  return i;
}

}  // namespace

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
      i = skip_container(text, i);
      if (i == std::string_view::npos) return RC_NOT_FOUND;
      continue;
    }
    if (member != name) {
      i = c == '"' ? skip_string(text, i) : scalar_end(text, i);
      if (i == std::string_view::npos) return RC_NOT_FOUND;
      continue;
    }
    if (c == '"') {
      std::string value;
      for (++i; i < n; ++i) {
        char ch = text[i];
        if (ch == '\\') {
          if (++i >= n) break;
          ch = text[i];
        } else if (ch == '"') {
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
    size_t end = skip_string(t, i);
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
      vend = skip_string(t, i);
    } else if (t[i] == '{' || t[i] == '[') {
      vend = skip_container(t, i);
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
