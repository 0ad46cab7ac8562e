// The values the loopback HTTP server hands to endpoint handlers: one parsed request, the reply a
// handler fills, and the route rows that map a path to its handler. The server (http_server.h)
// creates one HttpRequest and one HttpResponse per connection on the main thread and drops both
// after the reply; handlers run on that thread and must not keep references to either.
// Plain values: no locking, not shared between threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Hard limits of one request; every one of them is enforced by the parser (http_parse.h).
inline constexpr size_t HTTP_MAX_REQUEST_BYTES = 65535;   // head + body
inline constexpr size_t HTTP_MAX_METHOD_CHARS = 15;
inline constexpr size_t HTTP_MAX_URL_CHARS = 4095;        // also path and query, raw bytes
inline constexpr size_t HTTP_MAX_PARAMS = 80;
inline constexpr size_t HTTP_MAX_PARAM_NAME_CHARS = 127;  // decoded
inline constexpr size_t HTTP_MAX_PARAM_VALUE_CHARS = 4095;  // decoded
inline constexpr size_t HTTP_MAX_BEARER_CHARS = 128;
inline constexpr size_t HTTP_MAX_ROUTES = 160;
inline constexpr size_t HTTP_MAX_ROUTE_PATH_CHARS = 255;

// One decoded name/value pair. Also used for header lines (name as sent, value trimmed).
struct HttpParam {
  std::string name;
  std::string value;
};

struct HttpRequest {
  std::string method;  // as received, case kept (1..15 characters)
  std::string path;    // the URL up to '?', not decoded
  std::string query;   // the raw query string after the first '?', not decoded
  // Query parameters first, then (POST and PUT with a form body) body parameters, in the order
  // received. Names are case-sensitive; lookups take the first match, so a query parameter hides
  // a body parameter of the same name. At most HTTP_MAX_PARAMS entries.
  std::vector<HttpParam> params;
  bool too_many_params = false;  // an 81st parameter was met (and it and the rest skipped)
  // The raw body as received: min(Content-Length, bytes received after the head). A JSON body
  // is never split into params; handlers read it here.
  std::string body;
  std::string content_type;  // value of the first Content-Type header, empty when absent
  // Every header line of the head in order (name as sent, value without surrounding white space).
  std::vector<HttpParam> headers;
  // The token of the first Authorization header when it uses the Bearer scheme and is 1..128
  // characters; empty when absent or unusable.
  std::string bearer_token;
};

struct HttpResponse {
  int status = 200;
  std::string reason = "OK";
  std::string content_type = "application/json";
  // Sent as it is, with Content-Length = body.size(). Empty means no body ("(empty)" in the log).
  std::string body;
  // Optional Location header; a value holding CR or LF is dropped with a warning.
  std::string location;
  // When not empty the body is streamed from this file instead of `body`; a file that cannot be
  // opened turns the reply into a 500 before any byte of the head is sent.
  std::string file_path;
  bool delete_file_after_send = false;
  // Further header lines (for example Content-Disposition). Entries whose name or value holds CR
  // or LF are dropped with a warning.
  std::vector<HttpParam> extra_headers;
};

// A handler reads the request and fills the response, which arrives set to 200 "OK",
// "application/json" and no body. It may call log_set_quiet() to keep the request line out of the
// log. `context` is the pointer given at registration (the HttpServer for the shutdown route).
using HttpHandler = std::function<void(const HttpRequest& req, HttpResponse& resp, void* context)>;

// One row of the route table: `path` is compared byte for byte with the request path, for every
// method (a handler that needs one method checks it itself).
struct RouteEntry {
  std::string path;
  HttpHandler handler;
  void* context = nullptr;
};

// The route table in registration order (at most HTTP_MAX_ROUTES rows).
using RouteTable = std::vector<RouteEntry>;
