// A strict JSON checker for tests: the whole text must be one JSON value (RFC 8259) in valid
// UTF-8, with nothing after it. Used to prove the writer's output parses.
#pragma once
#include <cstddef>
#include <string>

namespace strict_json {

class Checker {
 public:
  explicit Checker(const std::string& t) : t_(t) {}
  bool run() {
    if (!utf8_ok()) return false;
    ws();
    if (!value(0)) return false;
    ws();
    return i_ == t_.size();
  }

 private:
  bool utf8_ok() const {
    const auto* p = reinterpret_cast<const unsigned char*>(t_.data());
    size_t n = t_.size(), i = 0;
    while (i < n) {
      unsigned c = p[i];
      size_t len = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
      if (!len || i + len > n) return false;
      for (size_t k = 1; k < len; ++k)
        if ((p[i + k] & 0xC0) != 0x80) return false;
      if (c == 0xE0 && p[i + 1] < 0xA0) return false;
      if (c == 0xED && p[i + 1] > 0x9F) return false;
      if (c == 0xF0 && p[i + 1] < 0x90) return false;
      if (c == 0xF4 && p[i + 1] > 0x8F) return false;
      i += len;
    }
    return true;
  }
  void ws() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  bool lit(const char* w) {
    size_t k = 0;
    while (w[k]) {
      if (i_ + k >= t_.size() || t_[i_ + k] != w[k]) return false;
      ++k;
    }
    i_ += k;
    return true;
  }
  bool digits() {
    size_t s = i_;
    while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
    return i_ > s;
  }
  bool number() {
    if (i_ < t_.size() && t_[i_] == '-') ++i_;
    if (i_ < t_.size() && t_[i_] == '0') {
      ++i_;
    } else if (!digits()) {
      return false;
    }
    if (i_ < t_.size() && t_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
      ++i_;
      if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    return true;
  }
  bool string() {
    if (i_ >= t_.size() || t_[i_] != '"') return false;
    ++i_;
    while (i_ < t_.size()) {
      unsigned char c = static_cast<unsigned char>(t_[i_]);
      if (c < 0x20) return false;
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c == '\\') {
        ++i_;
        if (i_ >= t_.size()) return false;
        char e = t_[i_];
        if (e == 'u') {
          for (int k = 1; k <= 4; ++k)
            if (i_ + k >= t_.size() || !isxdigit(static_cast<unsigned char>(t_[i_ + k]))) return false;
          i_ += 5;
          continue;
        }
        if (std::string("\"\\/bfnrt").find(e) == std::string::npos) return false;
      }
      ++i_;
    }
    return false;
  }
  bool value(int depth) {
    if (depth > 512 || i_ >= t_.size()) return false;
    char c = t_[i_];
    if (c == '{') {
      ++i_;
      ws();
      if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
      while (true) {
        ws();
        if (!string()) return false;
        ws();
        if (i_ >= t_.size() || t_[i_] != ':') return false;
        ++i_;
        ws();
        if (!value(depth + 1)) return false;
        ws();
        if (i_ < t_.size() && t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
        return false;
      }
    }
    if (c == '[') {
      ++i_;
      ws();
      if (i_ < t_.size() && t_[i_] == ']') return ++i_, true;
      while (true) {
        ws();
        if (!value(depth + 1)) return false;
        ws();
        if (i_ < t_.size() && t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < t_.size() && t_[i_] == ']') return ++i_, true;
        return false;
      }
    }
    if (c == '"') return string();
    if (c == 't') return lit("true");
    if (c == 'f') return lit("false");
    if (c == 'n') return lit("null");
    return number();
  }

  const std::string& t_;
  size_t i_ = 0;
};

inline bool valid(const std::string& text) { return Checker(text).run(); }

}  // namespace strict_json
