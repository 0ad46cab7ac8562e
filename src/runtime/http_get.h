// A minimal HTTP(S) GET client on libcurl, used by server discovery and the peripheral tools, and
// the URL checks the configuration uses. Every request sends the user agent
// "VeldorCoreHttpClient/1.0", follows no redirects and speaks only http and https. Safe from any
// thread (each call has its own handle; libcurl's global set-up runs once, under its own guard).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/result_code.h"

inline constexpr const char* HTTP_GET_USER_AGENT = "VeldorCoreHttpClient/1.0";

struct HttpGetTimeouts {
  // Each below 1 means 3 s; above 2147483 is clamped. Resolve and connect must finish within
  // connect_seconds; after that the answer may pause at most response_seconds between bytes, and
  // the whole exchange is capped at ten times the sum, so a server that drips never holds a caller.
  int response_seconds = 3;
  int connect_seconds = 3;
};

struct ParsedUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // without brackets for an IPv6 literal
  uint16_t port = 0;   // explicit or the scheme's default
  std::string path;    // from the first "/" (with the query), "/" when absent
};

// Splits an absolute http or https URL exactly: no user information, a numeric port of 1..65535
// when given. RC_OK or RC_INVALID_PARAM.
ResultCode parse_url(const std::string& url, ParsedUrl* out);
// True when `url` is an http URL whose host is exactly 127.0.0.1 (a host that merely begins with
// it, such as "127.0.0.1.example", is not).
bool is_loopback_http_url(const std::string& url);

// GETs `url` (at most 2047 characters). The HTTP status is not examined: the body of any answer
// counts. `*body` receives the body; `max_body` bounds it. `timeouts` may be null (3 s each).
// RC_OK; RC_INVALID_PARAM for an unparsable URL; RC_ERROR when the connection, request or answer
// fails (time-outs included) or the body is empty; RC_NETWORK when reading the body fails part
// way; RC_MEMORY when the body exceeds `max_body`. Loopback hosts never go through a proxy.
// Failures log "http_get failed: result=%d url=%s" (DEBUG, NET).
ResultCode http_get(const std::string& url, const HttpGetTimeouts* timeouts, std::string* body,
                    size_t max_body = 64u * 1024u * 1024u);
// The same with the default time-outs (3 s each) and body limit.
ResultCode http_get(const std::string& url, std::string* body);
