// Writing replies for endpoint handlers: JSON bodies from a JsonBuilder, file bodies, the success
// and message envelopes, the task-started members and every JSON error reply with its status and
// reason phrase. Handlers never write raw HTTP; they fill the HttpResponse through these. Main
// thread in practice; the functions keep no state except the port used in task URLs (atomic).
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"
#include "http/http_types.h"
#include "http/json_writer.h"

// The body becomes a copy of the builder's text, "application/json", any file body cleared. A
// builder that could not finish (!ok() or a level left open) gives the 500 error reply
// "Response body too large or malformed" instead, so a cut reply is never sent as 200.
void reply_json(HttpResponse& resp, const JsonBuilder& json);
// The body becomes `body` as it is, "application/json".
void reply_raw(HttpResponse& resp, std::string body);
// Streams `path` as the body with `content_type` (at most 127 characters kept), 200 "OK". When the
// file's size cannot be read: 500 "Internal Server Error", no body, RC_FILE.
ResultCode reply_file(HttpResponse& resp, const std::string& path, const std::string& content_type,
                      bool delete_after_send);

// Opens the reply object with `{"command":"<command>","success":true`; the handler adds its
// members and closes the object.
void begin_success(JsonBuilder& json, const char* command);
// Opens `{"success":true` plus `"message":"<text>"` when a message is given (mail endpoints).
void begin_message(JsonBuilder& json, const char* message);
// `"task_id":"<id>"` and, when the id is not empty,
// `"url":"http://localhost:<port>/api/system/tasks?task_id=<id>"` with the service port.
void add_task_started(JsonBuilder& json, const std::string& task_id);
void add_task_started(JsonBuilder& json, const std::string& task_id, uint16_t port);
// The port the HTTP server is bound to, set by start-up once it listens (0 until then).
void reply_set_service_port(uint16_t port);
uint16_t reply_service_port();

// {"error":true,"message":<message or null>,"code":<status>}; status = the code with its
// standard reason phrase (http_reason_phrase: 409 "Conflict", 501 "Not Implemented", ...). A
// handler may overwrite the status and reason afterwards.
void reply_error(HttpResponse& resp, int status, const char* message);
// As reply_error plus "detail" when `detail` is not empty.
void reply_error_detail(HttpResponse& resp, int status, const char* message, const char* detail);
// reply_error_detail with the short name of `code` as the detail when the code is not 0.
void reply_error_code(HttpResponse& resp, int status, const char* message, ResultCode code);
// Mail variant: plus "request_id" when `request_id` is not empty.
void reply_mail_error(HttpResponse& resp, int status, const char* message, const char* request_id);
// Logs "PELKO error %d rid=%s: %s (%s)" (warning below 500, error from 500 on, category CMD) and
// writes the mail error reply plus "detail" with the short name of `code` when `has_code`.
void reply_mail_error_logged(HttpResponse& resp, int status, const char* message, const char* request_id,
                             bool has_code, ResultCode code);
// Mail database endpoints: RC_OK writes nothing and returns true; RC_NOT_FOUND writes the mail
// error 404 (`message` or "Not found"); any other code the logged mail error 500 (`message` or
// "Database error") with the code as detail. Returns false when an error reply was written.
bool reply_result_code(HttpResponse& resp, ResultCode code, const char* message, const char* request_id);
