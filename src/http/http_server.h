// The loopback HTTP/1.1 server: one listener on 127.0.0.1, one request per connection, served one
// at a time on the main thread (accept, read, parse, dispatch through the route table, reply,
// close). Start-up owns the one HttpServer, fills its route table, starts it with the port
// fallback and calls http_server_run until the shutdown endpoint clears `running`.
// Thread-safety: every function runs on the main thread, except http_server_close, which may be
// called from any thread; the session token is set once at start-up before serving.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/result_code.h"
#include "http/http_types.h"

struct HttpServer {
  uint16_t port = 0;
  std::string bind_address = "127.0.0.1";
  std::atomic<bool> running{false};
  RouteTable routes;  // registration order; lookup takes the first row with an equal path
  std::atomic<int> listen_fd{-1};
  // Called by the shutdown endpoint before it replies (start-up hooks in the clearing of the
  // in-memory password there). May be empty.
  std::function<void()> on_shutdown;
};

// Clears the record, stores port and address (empty address means "127.0.0.1"); never fails.
void http_server_prepare(HttpServer& server, uint16_t port, const std::string& address = "127.0.0.1");
// Appends a route; returns 1 without adding when HTTP_MAX_ROUTES rows are used or the path is
// longer than HTTP_MAX_ROUTE_PATH_CHARS, else 0.
int http_server_register(HttpServer& server, const std::string& path, HttpHandler handler, void* context = nullptr);
// Creates, binds and listens; RC_OK sets `running` and logs the start line. Port 0 binds an
// ephemeral port and stores the real one in `server.port`. Failure logs and returns RC_NETWORK.
ResultCode http_server_start(HttpServer& server);
// The accept loop; returns once `running` is false.
void http_server_run(HttpServer& server);
// running = false and the listening socket closed; safe to call twice and from a handler.
void http_server_close(HttpServer& server);

// Fills the route table of a freshly prepared server. Start-up passes the full table once it
// exists; until then http_register_builtin_routes serves the two routes this module owns.
using RouteRegistrar = std::function<void(HttpServer& server)>;
// Registers /api/system/shutdown (context: the server) and /api/program/echo.
void http_register_builtin_routes(HttpServer& server);

// Port fallback: tries base, base+1, ... (1 attempt when `port_explicit`, else 20, never past
// 65535), each on a freshly prepared server filled by `registrar`. On RC_OK the server listens and
// `bound_port` holds the real port (never 0). RC_NETWORK when no attempt succeeded; prints and
// logs as it goes.
ResultCode http_server_start_with_fallback(HttpServer& server, uint16_t base, bool port_explicit,
                                           const RouteRegistrar& registrar, uint16_t* bound_port);

// The built-in handlers, for a route table that registers them itself.
// POST only: runs on_shutdown, replies the shutdown object, then closes the server (context).
void http_shutdown_handler(const HttpRequest& req, HttpResponse& resp, void* context);
// Answers a success envelope telling the service is up.
void http_program_echo_handler(const HttpRequest& req, HttpResponse& resp, void* context);

// The session token the object-transfer endpoints require; empty means none required.
void http_set_api_token(const std::string& token);
const std::string& http_api_token();
// Constant-time comparison of a presented token with the configured one (no early exit).
bool http_token_equals(const std::string& configured, const std::string& presented);
// True when the request may go on; false after filling `resp` with the 401 "Missing or invalid
// session token" error reply. Passes everything when no token is configured.
bool http_check_session_token(const HttpRequest& req, HttpResponse& resp);

// Writes the reply to a connected socket: head, optional Location and extra headers, the CORS
// lines, then the body from memory or streamed from resp.file_path (a file that cannot be opened
// turns into a 500 reply before any byte is sent). Send failures are logged and end the reply.
void http_send_response(int fd, HttpResponse& resp);

// The standard reason phrase of an HTTP status ("Conflict" for 409, "Method Not Allowed" for
// 405, ...); an unlisted 4xx reads "Bad Request", anything else unlisted "Internal Server Error".
const char* http_reason_phrase(int status);

// Fills `resp` with {"error":true,"message":...,"code":status} and the given status and reason.
// The server's own replies use it; handlers use the reply helpers of the route layer.
void http_set_json_error(HttpResponse& resp, int status, const char* reason, const char* message);
