// Parsing of one HTTP request from the server's read buffer: when the buffered bytes form a
// complete request (head, Content-Length, size limits), the request line, the query and form
// parameters with percent-decoding, the header lines and the bearer token. Called by the server's
// accept loop; pure functions on their arguments, safe from any thread.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "http/http_types.h"

// A request the server refuses itself: status, reason phrase and the message of the JSON error.
struct HttpError {
  int status = 0;  // 0: no error
  const char* reason = "";
  const char* message = "";
  const char* warning = nullptr;  // extra warning the reader logs before refusing, when any
};

enum class HttpReadStep { NEED_MORE, COMPLETE, REJECT };

struct HttpReadCheck {
  HttpReadStep step = HttpReadStep::NEED_MORE;
  HttpError error;  // set for REJECT
};

// Decides, from the bytes read so far, whether to keep reading. COMPLETE when head and body are
// in, or when HTTP_MAX_REQUEST_BYTES are buffered without a blank line (parsed as they are);
// REJECT with 413 for a malformed or oversized Content-Length or a head + body past the limit.
HttpReadCheck http_read_check(std::string_view buf);

// Reads the value of a Content-Length line (after the colon): optional leading white space, 1+
// decimal digits, at most HTTP_MAX_REQUEST_BYTES, then only white space. False for anything else.
bool http_parse_content_length(std::string_view value, size_t* out);

// Parses a whole buffered request into `req`. Returns false with `err` set for a malformed request
// line (400), an invalid method (400), an over-long URL, query or path (414), an over-long decoded
// name or value (413). Too many parameters is not an error here: it sets req.too_many_params.
bool http_parse_request(std::string_view buf, HttpRequest& req, HttpError* err);

// '%' + two hex digits becomes that byte, a '%' without them stays, '+' becomes a space.
std::string http_percent_decode(std::string_view in);

// Splits `text` at '&' into `req.params` (empty pieces and pieces without '=' skipped), honouring
// the name, value and count limits. False with `err` set when a decoded name or value is too long.
bool http_parse_params(std::string_view text, HttpRequest& req, HttpError* err);

// The bearer token of the head (header lines up to the blank line): only the first line starting
// with "authorization:" (any case) counts; empty when that line is not "Bearer <token>" with a
// token of 1..HTTP_MAX_BEARER_CHARS characters.
std::string http_bearer_token(std::string_view head_lines);

// True for a body that must not be split as form data: Content-Type application/json, or a body
// whose first non-blank byte is '{' or '['.
bool http_body_is_json(std::string_view content_type, std::string_view body);

// The raw query with the value of every secret parameter (log_param_is_secret on the decoded
// name) replaced by "[redacted]", for the request line of the log.
std::string http_redact_query(std::string_view query);
