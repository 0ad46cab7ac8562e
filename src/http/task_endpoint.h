// The polling endpoint /api/system/tasks: the front end reads a task's status, progress, message
// and data by `id` (or `task_id`). Handlers run on the HTTP thread; the endpoint only reads task
// files, which workers replace whole, so it needs no lock.
#pragma once
#include "base/result_code.h"
#include "http/http_types.h"

// Any method. 400 when neither `id` nor `task_id` is given or the identifier cannot name a task
// (a path separator, a dot, a wrong length); 404 "Task not found"; 500 for an empty, over-large
// or unreadable file; otherwise 200 with the task in the `payload` object.
void handle_system_tasks(const HttpRequest& req, HttpResponse& resp, void* context);

// Binds the handler into the route table (called once by start-up before the routes register).
ResultCode task_endpoint_provide();
