// The HTTP request line and response summary of the main log: which parameter names are secret,
// the "HttpRequest: ..." line, and the "HttpResponse: status=..." summary with the reply body
// pretty-printed (or cut) beneath it. Called by the HTTP server on the main thread after each
// logged request; the writes take the log lock, so any thread may call these.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// True for the parameter names whose values never reach the log: "locker_key", "locker_code",
// "password", "passwd", "an", "ticket", "pan", "seed", compared ignoring case.
bool log_param_is_secret(std::string_view name);

// Logs "HttpRequest: <method> <path> ?<query>" (or without " ?<query>" when it is empty) at INFO.
// The caller passes the query with secret values already replaced.
void log_request_line(const std::string& method, const std::string& path, const std::string& safe_query);

// Logs "HttpResponse: status=%d" (INFO) and the body beneath it: outside debug a body of up to 512
// bytes pretty-printed, a longer one cut to its first 512 bytes; in debug up to the cap of
// RESTCORE_DEBUG_MAX_BODY (default 16384) pretty-printed with a truncation note past it.
void log_response_summary(int status, const std::string& body);

// The JSON pretty-printer of the summary: white space outside strings dropped, one member per line
// indented by depth, strings copied as they are. Returns the text starting "  JSON Body:\n".
std::string log_pretty_json(std::string_view body);
