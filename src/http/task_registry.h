// The task registry: every long operation reports through a `TaskRecord`, one JSON file
// `<data root>/Tasks/<task id>.json`, that the front end polls through /api/system/tasks. The
// handler that starts an operation creates the task; its worker updates it; a finished task
// ("success" or "failed") never goes back to "running"; data members merge, later ones replacing
// earlier ones of the same name. Files are created exclusively and replaced whole by rename, so a
// reader never sees a half-written task. All functions may be called from any thread; updates
// take the task lock (it guards the read-modify-write of a task file and stands alone in the
// lock order).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"

constexpr size_t kTaskIdMaxChars = 63;
constexpr size_t kTaskFileMaxBytes = 4194304;
constexpr size_t kTaskResultMaxBytes = 4096;  // a completion's result object must end within this

// One task file, as read back.
struct TaskRecord {
  std::string task_id;
  std::string status;   // "running", "success" or "failed" ("unknown" when the file has none)
  int progress = 0;
  std::string message;  // unescaped
  bool has_data = false;
  std::string data;     // the `data` object as raw JSON text, braces included
  // Optional top-level counters that some writers add next to the standard members.
  bool has_kovra_responded = false, has_elapsed_ms = false, has_timeout_ms = false;
  long long kovra_responded = 0, elapsed_ms = 0, timeout_ms = 0;
};

// True when `id` may name a task file: 1..63 characters from A-Z a-z 0-9 `-` `_`. Anything else
// (a separator, "..", a dot, an empty text) can never name a task, so nothing is read for it.
bool task_id_valid(std::string_view id);
// `<data root>/Tasks/<id>.json`, or empty when the identifier is not valid.
std::string task_file_path(std::string_view id);

// A fresh identifier such as "Dec-09-25_10-34-07-am-3fa2" (local time, two random bytes).
std::string task_new_id();

// Creates the task file: "running", progress 0, the message ("Starting task..." when null),
// `"data": {}`. When `*id` is empty or its file already exists, a fresh identifier is taken and
// stored in `*id`. RC_OK; RC_INVALID_PARAM (null id, or a given id that is not valid); RC_FILE
// after logging "Failed to create task file: %s".
ResultCode task_create(std::string* id, const char* message);

// Updates. Each returns RC_OK (also when a demotion to "running" was refused with a warning and
// nothing written), RC_INVALID_PARAM (bad identifier), RC_NOT_FOUND (no such task), RC_FILE.
// `members` is the text of JSON members without braces, e.g. "\"wallet_path\": \"/w\"".
ResultCode task_progress(std::string_view id, int percent, const char* message);
// percent < 0 keeps the old one; a null message keeps the old one; null members add nothing.
ResultCode task_running(std::string_view id, int percent, const char* message, const char* members);
ResultCode task_set_members(std::string_view id, const char* members);
ResultCode task_set_text(std::string_view id, const char* name, const char* text);
ResultCode task_set_counts(std::string_view id, int bank, int fracked, int counterfeit, int limbo, int duplicate,
                           int error);
// "success", progress 100, the message ("Task complete" when null) and the inner members of
// `result_json` when it starts with one valid JSON object ending within kTaskResultMaxBytes
// (otherwise a warning and the existing data only).
ResultCode task_complete(std::string_view id, const char* message, const char* result_json);
// "failed", progress kept, the message ("Task failed" when null).
ResultCode task_fail(std::string_view id, const char* message);

// Why a task file could not be read, for replies that tell the cases apart.
enum TaskFileProblem { TASK_FILE_OK, TASK_FILE_MISSING, TASK_FILE_EMPTY, TASK_FILE_TOO_LARGE, TASK_FILE_READ_FAILED,
                       TASK_FILE_NO_MEMORY };

// Reads and parses the task file. RC_OK, RC_INVALID_PARAM, RC_NOT_FOUND, RC_FILE (unreadable,
// empty or larger than kTaskFileMaxBytes), RC_MEMORY; `problem` (may be null) tells which.
ResultCode task_read(std::string_view id, TaskRecord* out, TaskFileProblem* problem = nullptr);

// Start-up clean-up: every task still "running" whose identifier is not in `protected_ids` and
// that this process has not created or updated (work started earlier in start-up, such as the
// boot recovery, keeps its task) is failed with the restart message. Temporary files left by a
// dead writer are removed. Returns the number failed, 0 when there is no Tasks folder, -1 when it
// cannot be listed.
int task_reconcile(const std::vector<std::string>& protected_ids);
// The start-up step around task_reconcile: `owners_rc` is the result of listing the resumable
// task owners (a failure is logged and reconciles with an empty list); logs the outcome lines.
void task_reconcile_at_startup(const std::vector<std::string>& protected_ids, ResultCode owners_rc);

// Exposed for tests: the merge of two member lists (old members whose names the new list repeats
// are dropped; the new ones follow) and the file text for a record.
std::string task_merge_members(std::string_view old_members, std::string_view new_members);
std::string task_file_text(const std::string& status, std::string_view id, int progress,
                           const std::string& message, bool data_line, const std::string& members);
