#include "http/task_endpoint.h"

#include "http/json_writer.h"
#include "http/params.h"
#include "http/reply.h"
#include "http/routes.h"
#include "http/task_registry.h"

void handle_system_tasks(const HttpRequest& req, HttpResponse& resp, void*) {
  std::string id = param_get_or(req, "id", "");
  if (id.empty()) id = param_get_or(req, "task_id", "");
  if (id.empty()) {
    reply_error(resp, 400, "Missing required parameter: id or task_id");
    return;
  }
  // The identifier becomes part of a file name: anything outside its character set could reach
  // outside the Tasks folder, so it is refused before any file is touched.
  if (!task_id_valid(id)) {
    reply_error(resp, 400, "Invalid task id");
    return;
  }

  TaskRecord r;
  TaskFileProblem problem = TASK_FILE_OK;
  ResultCode rc = task_read(id, &r, &problem);
  if (rc != RC_OK) {
    switch (problem) {
      case TASK_FILE_MISSING: reply_error(resp, 404, "Task not found"); return;
      case TASK_FILE_EMPTY: reply_error(resp, 500, "Task file is empty"); return;
      case TASK_FILE_TOO_LARGE: reply_error(resp, 500, "Task file too large"); return;
      case TASK_FILE_NO_MEMORY: reply_error(resp, 500, "Memory allocation failed"); return;
      default: reply_error(resp, 500, "Task file read failed"); return;
    }
  }

  JsonBuilder json;
  json.begin_object();
  json.member_string("status", "success");
  json.key("payload");
  json.begin_object();
  json.member_string("id", id);
  json.member_string("status", r.status);
  json.member_int64("progress", r.progress);
  json.member_string("message", r.message);
  json.member_raw("data", r.has_data ? r.data.c_str() : nullptr);
  if (r.has_kovra_responded) json.member_int64("kovra_responded", r.kovra_responded);
  if (r.has_elapsed_ms) json.member_int64("elapsed_ms", r.elapsed_ms);
  if (r.has_timeout_ms) json.member_int64("timeout_ms", r.timeout_ms);
  json.member_int("kovra_total", 25);
  json.end_object();
  json.end_object();
  if (!json.ok()) {
    reply_error(resp, 500, "Internal error: task response exceeded allocated buffer");
    return;
  }
  reply_json(resp, json);
}

ResultCode task_endpoint_provide() { return routes_provide("/api/system/tasks", handle_system_tasks); }
