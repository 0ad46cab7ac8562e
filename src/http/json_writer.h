// The JSON writer behind every reply body and JSON file of the service, its three string escapers
// (builder, file writer, buffer escaper), the base64url codec, the eight-decimal number text and
// the UTF-8 safe copy. Handlers build a reply in a `JsonBuilder` and hand it to the reply layer.
// A builder is a plain value used by one thread; the free functions are stateless and may be
// called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"

// Builds one JSON text, inserting commas itself. It grows as needed: a reply is never cut short.
// Past kJsonMaxBytes (or on a close without an open level) it stops writing and reports !ok(), and
// the reply layer answers 500 instead of sending a broken text.
class JsonBuilder {
 public:
  static constexpr size_t kJsonMaxBytes = 64u * 1024u * 1024u;

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Separator, then the escaped name in quotes and `:`.
  void key(std::string_view name);
  // The escaped text in quotes; a null text writes `null`.
  void member_string(std::string_view name, const char* text);
  void member_string(std::string_view name, const std::string& text);
  void member_bool(std::string_view name, bool flag);
  void member_int(std::string_view name, int32_t value);
  void member_int64(std::string_view name, int64_t value);
  void member_uint64(std::string_view name, uint64_t value);
  // An amount in units as a decimal Zorbit number (150000000 -> 1.5), whatever its size.
  void member_units(std::string_view name, uint64_t amount);
  // "%.10g"; a value that is not finite writes `null`, which JSON can carry.
  void member_double(std::string_view name, double value);
  void member_null(std::string_view name);
  // Inserts `json` unchanged (the caller guarantees it is valid JSON); null writes `null`.
  void member_raw(std::string_view name, const char* json);
  void element_int(int32_t value);
  void element_int64(int64_t value);
  void element_string(const char* text);
  void element_string(const std::string& text);
  void element_raw(const char* json);

  // The text written so far; complete JSON once every level is closed and ok() holds.
  const std::string& text() const { return text_; }
  size_t length() const { return text_.size(); }
  // Number of open objects and arrays.
  size_t depth() const { return written_.size(); }
  // False once a piece could not be written (size limit, unbalanced close): the text is unusable.
  bool ok() const { return ok_; }
  void clear();

 private:
  void separator();
  void open(char bracket);
  void close(char bracket);
  void append(std::string_view piece);
  void append_string(const char* text, size_t len);

  std::string text_;
  std::vector<bool> written_;  // per open level: it already holds a member or element
  bool ok_ = true;
};

// Builder escaping: `"` `\` backspace tab LF FF CR as two characters, other bytes below 0x20 as
// "\u%04x", valid UTF-8 unchanged, each byte of an invalid UTF-8 sequence as U+FFFD. No quotes.
void json_escape_append(std::string& out, std::string_view text);
// File writer: writes `text` in quotes to `f` (`"` `\` tab LF CR as two characters, every other
// byte below 0x20 as "\u%04x"); null writes `""`. Returns false when the stream reports an error.
bool json_write_string(FILE* f, const char* text);
// Buffer escaper: escapes `text` (same set as the file writer, without quotes) into `out`; stops
// before a character when fewer than 8 bytes are left; always NUL-terminated when cap > 0; null
// gives "". Returns the characters written.
size_t json_escape_into(char* out, size_t cap, const char* text);

// Length of the valid UTF-8 sequence at p (1..4), or 0 when the bytes there are not one.
size_t utf8_sequence_length(const unsigned char* p, size_t avail);
// Copies at most capacity - 1 bytes of `src`; a multi-byte sequence the cut would split is left
// out whole. capacity 0 gives "".
std::string utf8_safe_copy(std::string_view src, size_t capacity);
// The same into a caller buffer (always NUL-terminated when cap > 0); returns the bytes copied.
size_t utf8_safe_copy(char* out, size_t cap, const char* src);

// Base64url without `=` fill. Encoding into a buffer fails (RC_ERROR, nothing written) when the
// buffer is smaller than ceil(n/3)*4 + 1.
std::string base64url_encode(const uint8_t* data, size_t n);
ResultCode base64url_encode(const uint8_t* data, size_t n, char* out, size_t cap);
// Decodes base64url (also `+` and `/`; tab, LF, CR, space and `=` skipped anywhere). RC_ERROR on
// any other character, a final group of one character, or more than `max_bytes` of output.
ResultCode base64url_decode(std::string_view text, std::vector<uint8_t>& out, size_t max_bytes = SIZE_MAX);

// "%.8f" with `.` as the point and trailing zeros (and a bare point) removed: 1.5, 2, 0.00000001.
std::string eight_decimal_text(double value);
