#include "http/reply.h"

#include <sys/stat.h>

#include <atomic>

#include "http/http_server.h"
#include "runtime/log.h"

namespace {
std::atomic<uint16_t> g_service_port{0};

void set_body(HttpResponse& resp, std::string body) {
  resp.body = std::move(body);
  resp.content_type = "application/json";
  resp.file_path.clear();
  resp.delete_file_after_send = false;
}

// Builds the error object shared by every variant.
void write_error(HttpResponse& resp, int status, const char* reason, const char* message, const char* detail,
                 const char* request_id) {
  JsonBuilder b;
  b.begin_object();
  b.member_bool("error", true);
  b.member_string("message", message);
  b.member_int("code", status);
  if (detail && *detail) b.member_string("detail", detail);
  if (request_id && *request_id) b.member_string("request_id", request_id);
  b.end_object();
  set_body(resp, b.text());
  resp.status = status;
  resp.reason = reason;
}
}  // namespace

void reply_json(HttpResponse& resp, const JsonBuilder& json) {
  if (!json.ok() || json.depth() != 0) {
    log_error(CAT_HTTP, "Reply body could not be completed (%zu bytes, depth %zu)", json.length(), json.depth());
    write_error(resp, 500, "Internal Server Error", "Response body too large or malformed", nullptr, nullptr);
    return;
  }
  set_body(resp, json.text());
}

void reply_raw(HttpResponse& resp, std::string body) { set_body(resp, std::move(body)); }

ResultCode reply_file(HttpResponse& resp, const std::string& path, const std::string& content_type,
                      bool delete_after_send) {
  struct stat st;
  resp.body.clear();
  if (stat(path.c_str(), &st) != 0) {
    resp.status = 500;
    resp.reason = "Internal Server Error";
    resp.file_path.clear();
    resp.delete_file_after_send = false;
    return RC_FILE;
  }
  resp.file_path = path;
  resp.content_type = content_type.substr(0, 127);
  resp.delete_file_after_send = delete_after_send;
  resp.status = 200;
  resp.reason = "OK";
  return RC_OK;
}

void begin_success(JsonBuilder& json, const char* command) {
  json.begin_object();
  json.member_string("command", command);
  json.member_bool("success", true);
}

void begin_message(JsonBuilder& json, const char* message) {
  json.begin_object();
  json.member_bool("success", true);
  if (message) json.member_string("message", message);
}

void add_task_started(JsonBuilder& json, const std::string& task_id) {
  add_task_started(json, task_id, reply_service_port());
}

void add_task_started(JsonBuilder& json, const std::string& task_id, uint16_t port) {
  json.member_string("task_id", task_id);
  if (task_id.empty()) return;
  std::string url = "http://localhost:" + std::to_string(port) + "/api/system/tasks?task_id=" + task_id;
  json.member_string("url", url);
}

void reply_set_service_port(uint16_t port) { g_service_port.store(port); }
uint16_t reply_service_port() { return g_service_port.load(); }

void reply_error(HttpResponse& resp, int status, const char* message) {
  write_error(resp, status, http_reason_phrase(status), message, nullptr, nullptr);
}

void reply_error_detail(HttpResponse& resp, int status, const char* message, const char* detail) {
  write_error(resp, status, http_reason_phrase(status), message, detail, nullptr);
}

void reply_error_code(HttpResponse& resp, int status, const char* message, ResultCode code) {
  reply_error_detail(resp, status, message, code != RC_OK ? short_name(code) : nullptr);
}

void reply_mail_error(HttpResponse& resp, int status, const char* message, const char* request_id) {
  write_error(resp, status, http_reason_phrase(status), message, nullptr, request_id);
}

void reply_mail_error_logged(HttpResponse& resp, int status, const char* message, const char* request_id,
                             bool has_code, ResultCode code) {
  const char* msg = message ? message : "(no message)";
  const char* detail = has_code ? short_name(code) : "(no detail)";
  int level = status >= 500 ? LOG_ERROR : LOG_WARN;
  if (request_id && *request_id)
    log_line(level, CAT_CMD, "PELKO error %d rid=%s: %s (%s)", status, request_id, msg, detail);
  else
    log_line(level, CAT_CMD, "PELKO error %d: %s (%s)", status, msg, detail);
  write_error(resp, status, http_reason_phrase(status), message, has_code ? short_name(code) : nullptr, request_id);
}

bool reply_result_code(HttpResponse& resp, ResultCode code, const char* message, const char* request_id) {
  if (code == RC_OK) return true;
  if (code == RC_NOT_FOUND) {
    reply_mail_error(resp, 404, message ? message : "Not found", request_id);
    return false;
  }
  reply_mail_error_logged(resp, 500, message ? message : "Database error", request_id, true, code);
  return false;
}
