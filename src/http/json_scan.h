// The member scanner: reads one member of the top-level object of a JSON text (request bodies,
// task files) without a general parser, and the strict validity check of a whole text. Used by
// the parameter helpers (json_field), the task registry and the receipt reader. Stateless: safe
// from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_code.h"

// Finds member `name` of the first object in `text` and returns its value as text in `out`:
// a string value with its escapes decoded (\n \t \r \b \f to their control bytes, \uXXXX to UTF-8,
// a surrogate pair to one character and a lone surrogate to U+FFFD; any other backslash is dropped
// and the character after it kept, so \" gives a quote and \u without four hex digits a "u"), a
// scalar (number, true, false, null) as its raw characters up to `,`, `}` or a line feed with
// trailing white space removed. Object and array values are never returned; the scan goes on to a
// later member of the same name. At most capacity - 1 bytes are kept (capacity 0 keeps nothing).
// RC_OK when found; RC_NOT_FOUND when absent, when a member name does not start with `"`, or when
// the text ends inside the value. `out` is cleared first.
ResultCode json_scan_member(std::string_view text, std::string_view name, std::string& out,
                            size_t capacity = SIZE_MAX);

// The body of a JSON string (the text between its quotes) with its escapes decoded exactly as
// json_scan_member decodes them; a backslash at the very end is kept. At most `cap` bytes.
std::string json_unescape(std::string_view body, size_t cap = SIZE_MAX);

// Index just past the closing quote of the string that starts at text[i] == '"' (a backslash
// escapes the next character); npos when it never closes or text[i] is not a quote.
size_t json_skip_string(std::string_view text, size_t i);
// Index just past the object or array that starts at text[i] ('{' or '['), counting only its own
// bracket kind outside strings; npos when it never closes or text[i] opens neither.
size_t json_skip_container(std::string_view text, size_t i);

// True when the whole of `text` is one strict JSON value (white space around it allowed): no
// trailing commas, leading zeros, raw control characters in strings, bad escapes or a second
// value, strings that are not valid UTF-8; nesting deeper than 256 is refused.
bool json_text_is_valid(std::string_view text);

// True when a member of this name carries secret material in a reply ("an", "ans", "pan",
// "pans", "seed", "ticket", "locker_key", "locker_code", "password"; ignoring case).
bool json_is_secret_member(std::string_view name);
// A copy of `text` for logging in which the value of every secret member, at any depth, reads
// "[redacted]" (objects and arrays included). Works on any text: a body that is not JSON, or is
// cut short, is copied with every secret value found so far replaced and the rest unchanged.
std::string json_redact_secrets(std::string_view text);
