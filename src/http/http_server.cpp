#include "http/http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/rand.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/test_seams.h"
#include "http/http_parse.h"
#include "http/json_scan.h"
#include "runtime/cmdline.h"
#include "runtime/log.h"
#include "runtime/log_response.h"

namespace {

constexpr uint32_t kReadTimeoutMs = 15000;
// A client that stops reading gets this long before the reply is abandoned.
constexpr uint32_t kSendTimeoutMs = 15000;
constexpr size_t kFileChunk = 65536;
constexpr int kFallbackAttempts = 20;

const char kPreflight[] =
    "HTTP/1.1 204 No Content\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
    "Access-Control-Max-Age: 86400\r\n"
    "Content-Length: 0\r\n"
    "Connection: close\r\n\r\n";
const char kCorsTail[] =
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, OPTIONS\r\n\r\n";

// Written once at start-up before serving, read by handlers on the main thread.
std::string g_api_token;

uint32_t read_timeout_ms() { return test_seam_ms("HTTP_READ_TIMEOUT_MS", kReadTimeoutMs); }

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void set_timeout(int fd, int option, uint32_t ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

std::string json_escape(const char* s) {
  std::string out;
  for (const char* p = s; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool has_crlf(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Sends every byte of the pieces; false (after the warning) when the peer stops taking them.
bool send_all(int fd, const std::string& a, const char* b = nullptr, size_t b_len = 0) {
  const size_t total = a.size() + b_len;
  size_t sent = 0;
  while (sent < total) {
    iovec iov[2];
    int n = 0;
    if (sent < a.size()) {
      iov[n].iov_base = const_cast<char*>(a.data() + sent);
      iov[n].iov_len = a.size() - sent;
      ++n;
    }
    if (b_len > 0) {
      size_t b_off = sent > a.size() ? sent - a.size() : 0;
      iov[n].iov_base = const_cast<char*>(b + b_off);
      iov[n].iov_len = b_len - b_off;
      ++n;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(n);
    ssize_t r = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      log_warn(CAT_NET, "HTTP response send failed after %zu/%zu bytes", sent, total);
      return false;
    }
    sent += static_cast<size_t>(r);
  }
  return true;
}

std::string response_head(const HttpResponse& resp, unsigned long long content_length) {
  char line[512];
  snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\nConnection: close\r\n",
           resp.status, resp.reason.c_str(), resp.content_type.c_str(), content_length);
  std::string head = line;
  if (!resp.location.empty()) {
    if (has_crlf(resp.location))
      log_warn(CAT_HTTP, "HTTP response skipped unsafe Location header value");
    else
      head += "Location: " + resp.location + "\r\n";
  }
  for (const HttpParam& h : resp.extra_headers) {
    if (h.name.empty() || has_crlf(h.name) || has_crlf(h.value) || h.name.find(':') != std::string::npos) {
      log_warn(CAT_HTTP, "HTTP response skipped unsafe header %s", has_crlf(h.name) ? "(name)" : h.name.c_str());
      continue;
    }
    head += h.name + ": " + h.value + "\r\n";
  }
  head += kCorsTail;
  return head;
}

}  // namespace

// A file body is opened before anything is sent, so a file that cannot be read becomes a 500
// reply instead of a 200 head followed by a missing body.
void http_send_response(int fd, HttpResponse& resp) {
  if (!resp.file_path.empty()) {
    std::string path = resp.file_path;
    bool remove_after = resp.delete_file_after_send;
    resp.file_path.clear();
    resp.delete_file_after_send = false;
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (file < 0 || fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (file >= 0) close(file);
      log_warn(CAT_HTTP, "HTTP file body open failed: %s", path.c_str());
      http_set_json_error(resp, 500, "Internal Server Error", "File body could not be opened");
      send_all(fd, response_head(resp, resp.body.size()), resp.body.data(), resp.body.size());
      if (remove_after) unlink(path.c_str());
      return;
    }
    unsigned long long size = static_cast<unsigned long long>(st.st_size);
    if (send_all(fd, response_head(resp, size))) {
      std::unique_ptr<char[]> chunk(new char[kFileChunk]);
      unsigned long long done = 0;
      while (done < size) {
        ssize_t n = read(file, chunk.get(), kFileChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!send_all(fd, std::string(), chunk.get(), static_cast<size_t>(n))) break;
        done += static_cast<unsigned long long>(n);
      }
    }
    close(file);
    if (remove_after) unlink(path.c_str());
    return;
  }
  send_all(fd, response_head(resp, resp.body.size()), resp.body.data(), resp.body.size());
}

// After a refusal the client may still be sending bytes we never read; closing on them would
// reset the connection and could destroy the reply before the client reads it. So the write side
// is shut first and what still arrives is read away for a short, bounded time.
void drain_before_close(int fd) {
  shutdown(fd, SHUT_WR);
  set_timeout(fd, SO_RCVTIMEO, 200);
  char sink[4096];
  const uint64_t until = now_ms() + 500;
  size_t total = 0;
  while (now_ms() < until && total < 4 * HTTP_MAX_REQUEST_BYTES) {
    ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
}

namespace {

void reject(int fd, const HttpError& e) {
  log_warn(CAT_HTTP, "HttpRequest: rejecting request with %d %s: %s", e.status, e.reason, e.message);
  HttpResponse resp;
  http_set_json_error(resp, e.status, e.reason, e.message);
  http_send_response(fd, resp);
  drain_before_close(fd);
}

enum class ReadOutcome { PARSE, CLOSE_SILENT, REJECT };

// Reads one request into `buf` under the read deadline.
ReadOutcome read_request(int fd, std::string& buf, HttpError* err) {
  const uint32_t timeout = read_timeout_ms();
  const uint64_t deadline = now_ms() + timeout;
  std::unique_ptr<char[]> chunk(new char[HTTP_MAX_REQUEST_BYTES]);
  for (;;) {
    const uint64_t now = now_ms();
    if (now > deadline) {
      log_warn(CAT_HTTP, "HttpRead: request exceeded %u ms deadline", timeout);
      *err = HttpError{408, "Request Timeout", "Request read timed out", nullptr};
      return ReadOutcome::REJECT;
    }
    // Each wait ends at the deadline at the latest, so a client dripping bytes cannot stretch the
    // read past it.
    const uint64_t left = deadline - now;
    set_timeout(fd, SO_RCVTIMEO, static_cast<uint32_t>(left > 0 ? left : 1));
    ssize_t n = recv(fd, chunk.get(), HTTP_MAX_REQUEST_BYTES - buf.size(), 0);
    if (n == 0) {
      log_debug(CAT_HTTP, "HttpConnection: client closed connection after %zu byte(s)", buf.size());
      return buf.empty() ? ReadOutcome::CLOSE_SILENT : ReadOutcome::PARSE;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (buf.empty()) {
          log_debug(CAT_HTTP, "HttpConnection: idle client timed out before sending request bytes");
          return ReadOutcome::CLOSE_SILENT;
        }
        log_warn(CAT_HTTP, "HttpRead: recv timed out after %zu byte(s)", buf.size());
        *err = HttpError{408, "Request Timeout", "Request read timed out", nullptr};
        return ReadOutcome::REJECT;
      }
      log_warn(CAT_HTTP, "HttpRead: recv failed while reading request");
      return buf.empty() ? ReadOutcome::CLOSE_SILENT : ReadOutcome::PARSE;
    }
    buf.append(chunk.get(), static_cast<size_t>(n));
    HttpReadCheck check = http_read_check(buf);
    if (check.step == HttpReadStep::COMPLETE) return ReadOutcome::PARSE;
    if (check.step == HttpReadStep::REJECT) {
      if (check.error.warning) log_warn(CAT_HTTP, "%s", check.error.warning);
      *err = check.error;
      return ReadOutcome::REJECT;
    }
  }
}

bool debug_requested(const HttpRequest& req) {
  for (const HttpParam& p : req.params) {
    if (p.name != "debug") continue;
    const std::string& v = p.value;
    return !(v == "0" || strcasecmp(v.c_str(), "false") == 0 || strcasecmp(v.c_str(), "no") == 0);
  }
  return false;
}

void serve_connection(HttpServer& server, int fd) {
  const uint32_t timeout = read_timeout_ms();
  set_timeout(fd, SO_RCVTIMEO, timeout);
  set_timeout(fd, SO_SNDTIMEO, test_seam_ms("HTTP_SEND_TIMEOUT_MS", kSendTimeoutMs));

  std::string buf;
  buf.reserve(HTTP_MAX_REQUEST_BYTES + 1);
  HttpError err;
  ReadOutcome outcome = read_request(fd, buf, &err);
  if (outcome == ReadOutcome::CLOSE_SILENT) return;
  if (outcome == ReadOutcome::REJECT) {
    reject(fd, err);
    return;
  }
  HttpRequest req;
  if (!http_parse_request(buf, req, &err)) {
    reject(fd, err);
    return;
  }
  buf.clear();
  buf.shrink_to_fit();

  if (req.path == "/favicon.ico") return;
  if (req.method == "OPTIONS") {
    send_all(fd, std::string(kPreflight, sizeof kPreflight - 1));
    return;
  }

  HttpResponse resp;
  resp.status = 404;
  resp.reason = "Not Found";
  unsigned char rnd[2] = {0, 0};
  RAND_bytes(rnd, sizeof rnd);
  char tag[8];
  snprintf(tag, sizeof tag, "%02x%02x", rnd[0], rnd[1]);
  log_set_tag(tag);
  const bool debug = debug_requested(req);
  if (debug) log_set_level_override(LOG_DEBUG);
  log_clear_quiet();

  for (const HttpParam& p : req.params)
    log_debug(CAT_HTTP, "HttpRequest: param %s=%s", p.name.c_str(),
              log_param_is_secret(p.name) ? "[redacted]" : p.value.c_str());

  if (req.too_many_params) {
    http_set_json_error(resp, 413, "Payload Too Large", "Too many request parameters");
    log_request_line(req.method, req.path, http_redact_query(req.query));
    log_response_summary(resp.status, json_redact_secrets(resp.body));
  } else {
    const RouteEntry* route = nullptr;
    for (const RouteEntry& r : server.routes) {
      if (r.path == req.path) {
        route = &r;
        break;
      }
    }
    const uint64_t started = now_ms();
    if (route) {
      resp.status = 200;
      resp.reason = "OK";
      // An exception must not end the process from inside a request: it becomes a 500 here.
      try {
        if (route->handler) route->handler(req, resp, route->context);
      } catch (const std::bad_alloc&) {
        http_set_json_error(resp, 500, "Internal Server Error", "Memory allocation failed");
      } catch (...) {
        log_error(CAT_HTTP, "HttpRequest: handler for %s failed unexpectedly", req.path.c_str());
        http_set_json_error(resp, 500, "Internal Server Error", "Internal error while handling the request");
      }
    } else {
      http_set_json_error(resp, 404, "Not Found", "Endpoint not found");
    }
    const unsigned elapsed = static_cast<unsigned>(now_ms() - started);
    if (!log_is_quiet() || debug) {
      log_request_line(req.method, req.path, http_redact_query(req.query));
      log_response_summary(resp.status, json_redact_secrets(resp.body));
      log_debug(CAT_HTTP, "HttpRequest: %s %s completed in %u ms", req.method.c_str(), req.path.c_str(), elapsed);
    }
  }

  http_send_response(fd, resp);
  if (debug) log_clear_level_override();
  log_set_tag("");
}

}  // namespace

const char* http_reason_phrase(int status) {
  // A status line must not contradict its code: callers and proxies that show the phrase would
  // report a refused request ("409 Internal Server Error") as a server fault.
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 422: return "Unprocessable Entity";
    case 423: return "Locked";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 507: return "Insufficient Storage";
    default: return status >= 400 && status < 500 ? "Bad Request" : "Internal Server Error";
  }
}

void http_set_json_error(HttpResponse& resp, int status, const char* reason, const char* message) {
  resp.status = status;
  resp.reason = reason;
  resp.content_type = "application/json";
  resp.file_path.clear();
  resp.delete_file_after_send = false;
  char code[16];
  snprintf(code, sizeof code, "%d", status);
  resp.body = std::string("{\"error\":true,\"message\":\"") + json_escape(message) + "\",\"code\":" + code + "}";
}

void http_server_prepare(HttpServer& server, uint16_t port, const std::string& address) {
  server.port = port;
  server.bind_address = address.empty() ? "127.0.0.1" : address.substr(0, 127);
  server.running = false;
  server.routes.clear();
  server.listen_fd = -1;
}

int http_server_register(HttpServer& server, const std::string& path, HttpHandler handler, void* context) {
  if (server.routes.size() >= HTTP_MAX_ROUTES || path.size() > HTTP_MAX_ROUTE_PATH_CHARS) return 1;
  server.routes.push_back(RouteEntry{path, std::move(handler), context});
  return 0;
}

ResultCode http_server_start(HttpServer& server) {
  // A peer that vanishes mid-reply must cost a failed send, not the process.
  signal(SIGPIPE, SIG_IGN);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_error(CAT_HTTP, "Failed to create server socket");
    return RC_NETWORK;
  }
  // Lets a restart bind while old connections sit in TIME_WAIT; Linux still refuses a port that
  // another socket is listening on, which is what keeps two servers apart.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server.port);
  if (inet_pton(AF_INET, server.bind_address.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    log_error(CAT_HTTP, "Failed to bind to port %d", server.port);
    close(fd);
    return RC_NETWORK;
  }
  if (listen(fd, SOMAXCONN) != 0) {
    log_error(CAT_HTTP, "Failed to listen on socket");
    close(fd);
    return RC_NETWORK;
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0) server.port = ntohs(bound.sin_port);
  server.listen_fd = fd;
  server.running = true;
  log_info(CAT_HTTP, "HTTP server started on http://%s:%d", server.bind_address.c_str(), server.port);
  return RC_OK;
}

void http_server_run(HttpServer& server) {
  while (server.running) {
    int lfd = server.listen_fd;
    if (lfd < 0) break;
    int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // A failed accept is retried; a short pause keeps a persistent failure from spinning.
      if (server.running && errno != EINTR && errno != ECONNABORTED) usleep(10000);
      continue;
    }
    try {
      serve_connection(server, fd);
    } catch (const std::bad_alloc&) {
      // Out of memory for the request itself: refuse it and keep serving.
      log_set_tag("");
      log_clear_level_override();
      try {
        reject(fd, HttpError{500, "Internal Server Error", "Memory allocation failed", nullptr});
      } catch (...) {
      }
    }
    close(fd);
  }
}

void http_server_close(HttpServer& server) {
  server.running = false;
  int fd = server.listen_fd.exchange(-1);
  if (fd >= 0) {
    // shutdown wakes an accept blocked in another thread; close alone would not.
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }
}

ResultCode http_server_start_with_fallback(HttpServer& server, uint16_t base, bool port_explicit,
                                           const RouteRegistrar& registrar, uint16_t* bound_port) {
  // Port 0 asks the system for a free port: one attempt is all it takes.
  const int attempts = (port_explicit || base == 0) ? 1 : kFallbackAttempts;
  for (int k = 0; k < attempts; ++k) {
    const int port = base + k;
    if (port > 65535) break;
    printf("Initializing HTTP server on port %d...\n", port);
    fflush(stdout);
    log_info(CAT_HTTP, "Initializing HTTP server on port %d", port);
    http_server_prepare(server, static_cast<uint16_t>(port), "127.0.0.1");
    if (registrar) registrar(server);
    if (http_server_start(server) == RC_OK) {
      if (bound_port) *bound_port = server.port;
      if (base != 0 && server.port != base) {
        printf("Port %d was busy - fell back to port %d\n", base, server.port);
        fflush(stdout);
        log_warn(CAT_HTTP, "Port %d was busy - fell back to port %d", base, server.port);
      }
      return RC_OK;
    }
    const bool more = k + 1 < attempts && port + 1 <= 65535;
    log_warn(CAT_HTTP, "Failed to start HTTP server on port %d%s", port, more ? " - trying next port" : "");
    http_server_close(server);
  }
  return RC_NETWORK;
}

void http_shutdown_handler(const HttpRequest& req, HttpResponse& resp, void* context) {
  if (req.method != "POST") {
    http_set_json_error(resp, 405, http_reason_phrase(405), "Use POST for shutdown");
    return;
  }
  HttpServer* server = static_cast<HttpServer*>(context);
  if (server && server->on_shutdown) server->on_shutdown();
  log_info(CAT_HTTP, "SHUTDOWN: password cleared from RAM; stopping server for graceful process exit");
  resp.body =
      "{\"command\":\"shutdown\",\"success\":true,\"message\":\"Password deleted from RAM. Core is shutting "
      "down.\",\"key_set\":false,\"key_state\":\"none\"}";
  // The reply still goes out on the open connection; the accept loop ends after it.
  if (server) http_server_close(*server);
}

void http_program_echo_handler(const HttpRequest&, HttpResponse& resp, void*) {
  resp.body = std::string("{\"command\":\"program-echo\",\"success\":true,\"message\":\"") + PRODUCT_NAME +
              " is running\",\"version\":\"" + PRODUCT_VERSION + "\"}";
}

void http_register_builtin_routes(HttpServer& server) {
  http_server_register(server, "/api/system/shutdown", http_shutdown_handler, &server);
  http_server_register(server, "/api/program/echo", http_program_echo_handler, nullptr);
}

void http_set_api_token(const std::string& token) { g_api_token = token; }
const std::string& http_api_token() { return g_api_token; }

bool http_token_equals(const std::string& configured, const std::string& presented) {
  // Every configured byte is looked at whatever the presented token holds, so the time taken does
  // not tell how many leading bytes were right.
  unsigned diff = configured.size() != presented.size() ? 1u : 0u;
  for (size_t i = 0; i < configured.size(); ++i) {
    unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= static_cast<unsigned>(static_cast<unsigned char>(configured[i]) ^ p);
  }
  return diff == 0;
}

bool http_check_session_token(const HttpRequest& req, HttpResponse& resp) {
  if (g_api_token.empty()) return true;
  if (http_token_equals(g_api_token, req.bearer_token)) return true;
  http_set_json_error(resp, 401, http_reason_phrase(401), "Missing or invalid session token");
  return false;
}
