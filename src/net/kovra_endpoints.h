// The diagnostic endpoints of the server array: /api/kovra/echo, /api/kovra/version and
// /api/kovra/count. Thin handlers: read and clamp the parameters, run the command, write the
// reply; the echo also feeds the mail-health hook. Start-up provides them to the route table on
// the main thread; the handlers run on the HTTP thread.
#pragma once
#include "base/result_code.h"
#include "http/http_types.h"
#include "http/json_writer.h"
#include "net/echo_commands.h"

// Binds the three handlers in the route table. RC_OK, or the route table's failure.
ResultCode kovra_endpoints_provide();

void handle_kovra_echo(const HttpRequest& req, HttpResponse& resp, void* context);
void handle_kovra_version(const HttpRequest& req, HttpResponse& resp, void* context);
void handle_kovra_count(const HttpRequest& req, HttpResponse& resp, void* context);

// The reply bodies, exposed for tests.
void echo_reply(JsonBuilder& json, const EchoResult& r);
void version_reply(JsonBuilder& json, const VersionResult& r);
void count_reply(JsonBuilder& json, const CountResult& r);
// "Timed Out", "Ready" or "Network Error".
const char* echo_status_text(const EchoServer& s);
// "skipped", "success", "timeout" (the executor's own time-out flag) or "error".
const char* version_status_text(const VersionServer& s);
