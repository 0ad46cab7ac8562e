// The route table of the HTTP API: the 151 paths in their fixed registration order, each bound to
// the handler its subsystem provides, or to a JSON 501 "Not implemented" stub until then. Start-up
// lets each subsystem provide its handlers by key (the first path of a row group; aliases share
// it), then registers the table on the server once. routes_provide and routes_register_all take
// the table lock and may be called from any thread; in practice start-up calls them on the main
// thread before serving.
#pragma once
#include <cstddef>
#include <string>

#include "base/result_code.h"
#include "http/http_server.h"
#include "http/http_types.h"

struct RouteRow {
  const char* path;
  const char* alias_of;  // the path whose handler this row shares, or null
  bool token_guard;      // the session token check runs before the handler
};

// The rows in registration order, and their number (151).
const RouteRow* route_rows();
size_t route_row_count();
// The handler key of a row: its alias_of, else its own path.
const char* route_handler_key(const RouteRow& row);

// Binds `handler` (and its context) to every row whose handler key is `key`, replacing the stub or
// an earlier handler. RC_NOT_FOUND when no row has that key.
ResultCode routes_provide(const std::string& key, HttpHandler handler, void* context = nullptr);
// Forgets every provided handler (tests).
void routes_reset();
// Registers every row on `server` in order: a provided handler, the built-in shutdown (context:
// the server) and program-echo handlers, the join refusal, or the 501 stub. Rows with a token
// guard run the session token check first. Logs "Registered %d API endpoints" (INFO, HTTP).
// Returns the number of rows registered.
int routes_register_all(HttpServer& server);

// The stub of a route whose handler is not built yet: 501 "Not implemented", `detail` the path.
void route_not_implemented(const HttpRequest& req, HttpResponse& resp, void* context);
// /api/coins/join: join needs a coin type conversion, so it is always refused with 501.
void coins_join_handler(const HttpRequest& req, HttpResponse& resp, void* context);
