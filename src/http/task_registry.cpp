#include "http/task_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "http/json_scan.h"
#include "runtime/data_root.h"
#include "runtime/durable_write.h"
#include "runtime/log.h"
#include "runtime/platform.h"

namespace {

// Guards the read-modify-write of every task file, so two updates of one task (a handler and its
// worker, or a worker and start-up) never lose each other's changes. Stands alone in the lock
// order: nothing else is locked while it is held, apart from the log lock inside log calls.
std::mutex g_task_mutex;
// Identifiers this process has created or updated (guarded by g_task_mutex). They belong to live
// work, so start-up reconciliation never fails them, even when a worker started before it.
std::set<std::string> g_live_ids;

const char kRestartMessage[] = "Interrupted by restart: the previous instance exited before this task finished";
constexpr size_t kMessageMaxEscaped = 4096;
constexpr size_t kMessageMaxRead = 2047;
constexpr size_t kTextMaxEscaped = 1024;

std::string tasks_dir() { return data_root() + "/Tasks"; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Escaping for task files: the two-character escapes the format always had, plus \u00XX for the
// remaining control bytes so the file stays valid JSON. Stops before an escape that would pass
// `cap` characters.
std::string escape_text(std::string_view in, size_t cap) {
  std::string out;
  out.reserve(std::min(in.size() + 8, cap));
  for (unsigned char c : in) {
    char piece[8];
    size_t len = 1;
    switch (c) {
      case '\t': std::memcpy(piece, "\\t", 2), len = 2; break;
      case '\n': std::memcpy(piece, "\\n", 2), len = 2; break;
      case '\r': std::memcpy(piece, "\\r", 2), len = 2; break;
      case '"': std::memcpy(piece, "\\\"", 2), len = 2; break;
      case '\\': std::memcpy(piece, "\\\\", 2), len = 2; break;
      default:
        if (c < 0x20) {
          snprintf(piece, sizeof piece, "\\u%04x", c);
          len = 6;
        } else {
          piece[0] = static_cast<char>(c);
        }
    }
    if (out.size() + len > cap) break;
    out.append(piece, len);
  }
  return out;
}

// One top-level member found by the walker: its name and the raw text of the whole member
// ("name": value) and of the value alone.
struct Member {
  std::string_view name;
  std::string_view whole;
  std::string_view value;
};

// Walks the members of an object body (the text between the braces, or a member list given by
// a worker). Stops at the first thing that is not a member; `*complete` tells whether the whole
// text was consumed.
std::vector<Member> walk_members(std::string_view text, bool* complete = nullptr) {
  std::vector<Member> out;
  size_t i = 0;
  bool ok = true;
  for (;;) {
    while (i < text.size() && (is_space(text[i]) || text[i] == ',')) ++i;
    if (i >= text.size()) break;
    if (text[i] != '"') {
      ok = false;
      break;
    }
    const size_t start = i;
    const size_t name_end = json_skip_string(text, i);
    if (name_end == std::string_view::npos || name_end >= text.size()) {
      ok = false;
      break;
    }
    std::string_view name = text.substr(start + 1, name_end - start - 2);
    i = name_end;
    while (i < text.size() && (is_space(text[i]) || text[i] == ':')) ++i;
    if (i >= text.size()) {
      ok = false;
      break;
    }
    const size_t vstart = i;
    if (text[i] == '"') {
      i = json_skip_string(text, i);
    } else if (text[i] == '{' || text[i] == '[') {
      i = json_skip_container(text, i);
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != '\n') ++i;
    }
    if (i == std::string_view::npos) {  // a value cut short is not a member
      ok = false;
      break;
    }
    size_t vend = i;
    while (vend > vstart && is_space(text[vend - 1])) --vend;
    out.push_back({name, text.substr(start, vend - start), text.substr(vstart, vend - vstart)});
  }
  if (complete) *complete = ok;
  return out;
}

// The body of the first object in `text` (between `{` and its matching `}`); false when there is
// no complete object.
bool object_body(std::string_view text, std::string_view* body) {
  size_t i = text.find('{');
  if (i == std::string_view::npos) return false;
  size_t end = json_skip_container(text, i);
  if (end == std::string_view::npos) return false;
  *body = text.substr(i + 1, end - i - 2);
  return true;
}

bool parse_record(std::string_view text, TaskRecord* r) {
  std::string_view body;
  if (!object_body(text, &body)) {
    // A file cut short still yields the members that are whole.
    size_t i = text.find('{');
    if (i == std::string_view::npos) return false;
    body = text.substr(i + 1);
  }
  r->status.clear();
  bool has_status = false;
  for (const Member& m : walk_members(body)) {
    auto str = [&](size_t cap) {
      std::string_view v = m.value;
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return json_unescape(v.substr(1, v.size() - 2), cap);
      return std::string(v.substr(0, cap));
    };
    auto num = [&] { return std::strtoll(std::string(m.value).c_str(), nullptr, 10); };
    if (m.name == "status" && !has_status) {
      r->status = str(31);
      has_status = true;
    } else if (m.name == "task_id") {
      r->task_id = str(kTaskIdMaxChars);
    } else if (m.name == "progress") {
      r->progress = static_cast<int>(num());
    } else if (m.name == "message") {
      r->message = str(kMessageMaxRead);
    } else if (m.name == "data" && !m.value.empty() && m.value.front() == '{') {
      r->has_data = true;
      r->data = std::string(m.value);
    } else if (m.name == "kovra_responded") {
      r->has_kovra_responded = true;
      r->kovra_responded = num();
    } else if (m.name == "elapsed_ms") {
      r->has_elapsed_ms = true;
      r->elapsed_ms = num();
    } else if (m.name == "timeout_ms") {
      r->has_timeout_ms = true;
      r->timeout_ms = num();
    }
  }
  if (!has_status) r->status = "unknown";
  return true;
}

ResultCode read_file_capped(const std::string& path, std::string* out, TaskFileProblem* problem = nullptr) {
  TaskFileProblem local;
  TaskFileProblem& p = problem ? *problem : local;
  p = TASK_FILE_READ_FAILED;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    if (errno != ENOENT) return RC_FILE;
    p = TASK_FILE_MISSING;
    return RC_NOT_FOUND;
  }
  struct stat st;
  if (fstat(fileno(f), &st) != 0) {
    fclose(f);
    return RC_FILE;
  }
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > kTaskFileMaxBytes) {
    log_error(CAT_GEN, "Task file %s has invalid size %ld", path.c_str(), static_cast<long>(st.st_size));
    fclose(f);
    p = st.st_size <= 0 ? TASK_FILE_EMPTY : TASK_FILE_TOO_LARGE;
    return RC_FILE;
  }
  try {
    out->assign(static_cast<size_t>(st.st_size), '\0');
  } catch (...) {
    fclose(f);
    p = TASK_FILE_NO_MEMORY;
    return RC_MEMORY;
  }
  size_t got = fread(out->data(), 1, out->size(), f);
  fclose(f);
  if (got == 0) return RC_FILE;
  out->resize(got);
  p = TASK_FILE_OK;
  return RC_OK;
}

std::string trim_members(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (is_space(s[b]) || s[b] == ',')) ++b;
  while (e > b && (is_space(s[e - 1]) || s[e - 1] == ',')) --e;
  return std::string(s.substr(b, e - b));
}

// The members of a completion's result object, or false when it is not one valid JSON object
// that ends within kTaskResultMaxBytes.
bool result_members(const char* result_json, std::string* members) {
  std::string_view text(result_json);
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  if (i >= text.size() || text[i] != '{') return false;
  size_t end = json_skip_container(text, i);
  if (end == std::string_view::npos || end > kTaskResultMaxBytes) return false;
  // Bracket counting alone would let `{"a":}` through, and the poll reply would stop parsing.
  if (!json_text_is_valid(text.substr(i, end - i))) return false;
  *members = std::string(text.substr(i + 1, end - i - 2));
  return true;
}

// Writes `text` as the new content of the task file, through a temporary file and a rename.
ResultCode replace_file(const std::string& path, const std::string& text, bool sync) {
  DurableOptions opt;
  opt.sync = sync;
  ResultCode rc = durable_write(path, text, opt);
  if (rc != RC_OK) log_error(CAT_GEN, "Failed to rewrite task file: %s", path.c_str());
  return rc == RC_OK ? RC_OK : RC_FILE;
}

// Creates `path` with `text` only when no file of that name exists: the complete file is written
// under a temporary name and hard-linked into place, which fails when the name is taken, so the
// task appears whole or not at all. RC_OK, RC_BUSY (name taken), RC_FILE.
ResultCode create_exclusive(const std::string& path, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  // The temporary name carries durable_write's marker, so listings and clean-ups skip it.
  const std::string tmp = path + ".rctmp.new." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return RC_FILE;
  size_t off = 0;
  bool ok = true;
  while (off < text.size()) {
    ssize_t w = ::write(fd, text.data() + off, text.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    off += static_cast<size_t>(w);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  ResultCode rc = RC_FILE;
  if (ok) {
    if (::link(tmp.c_str(), path.c_str()) == 0)
      rc = RC_OK;
    else if (errno == EEXIST)
      rc = RC_BUSY;
  }
  ::unlink(tmp.c_str());
  return rc;
}

struct UpdateSpec {
  // Reconciliation: apply only to a task still "running" that no work of this process touched.
  bool only_orphan = false;
  const char* status = nullptr;   // null keeps the current one
  int percent = -1;               // negative keeps the current one
  const char* message = nullptr;  // null keeps the current one
  const char* members = nullptr;  // null adds nothing
};

ResultCode update(std::string_view id, const UpdateSpec& u) {
  if (!task_id_valid(id)) return RC_INVALID_PARAM;
  const std::string path = task_file_path(id);
  std::lock_guard<std::mutex> g(g_task_mutex);

  std::string text;
  ResultCode rc = read_file_capped(path, &text);
  if (rc != RC_OK) return rc;
  TaskRecord cur;
  parse_record(text, &cur);
  std::string cur_status = cur.status;
  if (cur_status.empty() || cur_status == "unknown") cur_status = "running";
  const bool is_final = cur_status == "success" || cur_status == "failed";
  if (u.only_orphan && (is_final || g_live_ids.count(std::string(id)))) return RC_NO_CHANGE;

  if (is_final && u.status && std::strcmp(u.status, "running") == 0) {
    log_warn(CAT_GEN, "Task %.*s: refusing to demote %s -> running", static_cast<int>(id.size()), id.data(),
             cur_status.c_str());
    return RC_OK;
  }

  const std::string status = u.status ? u.status : cur_status;
  const int progress = u.percent >= 0 ? u.percent : cur.progress;
  const std::string message = u.message ? std::string(u.message) : cur.message;

  std::string old_members;
  if (cur.has_data) {
    std::string_view body;
    if (object_body(cur.data, &body)) old_members = trim_members(body);
  }
  std::string merged = u.members ? task_merge_members(old_members, u.members) : old_members;
  const bool data_line = cur.has_data || u.members != nullptr;
  std::string out = task_file_text(status, id, progress, message, data_line, merged);
  rc = replace_file(path, out, status != "running");
  if (rc == RC_OK && !u.only_orphan) g_live_ids.insert(std::string(id));
  return rc;
}

// True when a temporary name (".rctmp." then an optional "new." then the writer's process id)
// belongs to this process.
bool temp_of_this_process(const std::string& name) {
  size_t at = name.find(".rctmp.");
  if (at == std::string::npos) return false;
  std::string rest = name.substr(at + 7);
  if (rest.rfind("new.", 0) == 0) rest = rest.substr(4);
  const std::string mine = std::to_string(getpid()) + ".";
  return rest.rfind(mine, 0) == 0;
}

}  // namespace

bool task_id_valid(std::string_view id) {
  if (id.empty() || id.size() > kTaskIdMaxChars) return false;
  for (char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string task_file_path(std::string_view id) {
  if (!task_id_valid(id)) return std::string();
  return tasks_dir() + "/" + std::string(id) + ".json";
}

std::string task_new_id() {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  unsigned char rnd[2] = {0, 0};
  if (random_bytes(rnd, sizeof rnd) != RC_OK) {
    // Without the generator the clock still varies the name; an exclusive create catches a clash.
    rnd[0] = static_cast<unsigned char>(clock());
    rnd[1] = static_cast<unsigned char>(getpid());
  }
  int hour12 = lt.tm_hour % 12;
  if (hour12 == 0) hour12 = 12;
  char buf[64];
  snprintf(buf, sizeof buf, "%s-%02d-%02d_%02d-%02d-%02d-%s-%02x%02x", months[lt.tm_mon % 12], lt.tm_mday,
           lt.tm_year % 100, hour12, lt.tm_min, lt.tm_sec, lt.tm_hour < 12 ? "am" : "pm", rnd[0], rnd[1]);
  log_debug(CAT_GEN, "Generated task ID: %s", buf);
  return buf;
}

std::string task_merge_members(std::string_view old_members, std::string_view new_members) {
  const std::string fresh = trim_members(new_members);
  const std::vector<Member> fresh_list = walk_members(fresh);
  const size_t cap = std::min(old_members.size() + new_members.size() + 256, kTaskFileMaxBytes);

  std::string out;
  for (const Member& m : walk_members(old_members)) {
    const bool replaced = std::any_of(fresh_list.begin(), fresh_list.end(),
                                      [&](const Member& f) { return f.name == m.name; });
    if (replaced) continue;
    const size_t need = (out.empty() ? 0 : 2) + m.whole.size();
    if (out.size() + need > cap) {
      log_warn(CAT_GEN, "TASK-MERGE output truncated at %zu bytes (cap %zu); some data fields were dropped",
               out.size(), cap);
      return out;
    }
    if (!out.empty()) out += ", ";
    out += m.whole;
  }
  if (!fresh.empty()) {
    const size_t need = (out.empty() ? 0 : 2) + fresh.size();
    if (out.size() + need > cap) {
      log_warn(CAT_GEN, "TASK-MERGE output truncated at %zu bytes (cap %zu); some data fields were dropped",
               out.size(), cap);
      return out;
    }
    if (!out.empty()) out += ", ";
    out += fresh;
  }
  return out;
}

std::string task_file_text(const std::string& status, std::string_view id, int progress, const std::string& message,
                           bool data_line, const std::string& members) {
  std::string out = "{\n  \"status\": \"" + escape_text(status, 64) + "\",\n";
  out += "  \"task_id\": \"" + std::string(id) + "\",\n";
  out += "  \"progress\": " + std::to_string(progress) + ",\n";
  out += "  \"message\": \"" + escape_text(message, kMessageMaxEscaped) + "\"";
  if (data_line) {
    out += ",\n  \"data\": ";
    out += members.empty() ? std::string("{}") : "{ " + members + " }";
  }
  out += "\n}\n";
  return out;
}

ResultCode task_create(std::string* id, const char* message) {
  if (!id) return RC_INVALID_PARAM;
  if (!id->empty() && !task_id_valid(*id)) return RC_INVALID_PARAM;
  if (id->empty()) *id = task_new_id();
  const char* msg = message ? message : "Starting task...";
  ::mkdir(tasks_dir().c_str(), 0755);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string path = task_file_path(*id);
    ResultCode rc;
    {
      // Created and marked live in one step, so reconciliation never sees it unclaimed.
      std::lock_guard<std::mutex> g(g_task_mutex);
      rc = create_exclusive(path, task_file_text("running", *id, 0, msg, true, ""));
      if (rc == RC_OK) g_live_ids.insert(*id);
    }
    if (rc == RC_OK) {
      log_debug(CAT_GEN, "Created task %s: %s", id->c_str(), msg);
      return RC_OK;
    }
    if (rc != RC_BUSY) {
      log_error(CAT_GEN, "Failed to create task file: %s", path.c_str());
      return RC_FILE;
    }
    *id = task_new_id();  // the name is taken: never write over another task
  }
  log_error(CAT_GEN, "Failed to create task file: %s", task_file_path(*id).c_str());
  return RC_FILE;
}

ResultCode task_progress(std::string_view id, int percent, const char* message) {
  UpdateSpec u;
  u.status = "running";
  u.percent = percent;
  u.message = message ? message : "Processing...";
  ResultCode rc = update(id, u);
  if (rc == RC_OK)
    log_debug(CAT_GEN, "Task %.*s: progress=%d%% - %s", static_cast<int>(id.size()), id.data(), percent, u.message);
  return rc;
}

ResultCode task_running(std::string_view id, int percent, const char* message, const char* members) {
  UpdateSpec u;
  u.status = "running";
  u.percent = percent;
  u.message = message;
  u.members = members;
  return update(id, u);
}

ResultCode task_set_members(std::string_view id, const char* members) {
  UpdateSpec u;
  u.members = members;
  return update(id, u);
}

ResultCode task_set_text(std::string_view id, const char* name, const char* text) {
  if (!name || !*name) return RC_INVALID_PARAM;
  std::string member = "\"" + escape_text(name, 256) + "\": \"" + escape_text(text ? text : "", kTextMaxEscaped) + "\"";
  return task_set_members(id, member.c_str());
}

ResultCode task_set_counts(std::string_view id, int bank, int fracked, int counterfeit, int limbo, int duplicate,
                           int error) {
  char buf[256];
  snprintf(buf, sizeof buf,
           "\"counts\": { \"bank\": %d, \"fracked\": %d, \"counterfeit\": %d, \"limbo\": %d, \"duplicate\": %d, "
           "\"error\": %d }",
           bank, fracked, counterfeit, limbo, duplicate, error);
  return task_set_members(id, buf);
}

ResultCode task_complete(std::string_view id, const char* message, const char* result_json) {
  UpdateSpec u;
  u.status = "success";
  u.percent = 100;
  u.message = message ? message : "Task complete";
  std::string members;
  if (result_json) {
    if (result_members(result_json, &members))
      u.members = members.c_str();
    else
      log_warn(CAT_GEN, "Task %.*s: data_json malformed or too large at completion; preserving existing data only",
               static_cast<int>(id.size()), id.data());
  }
  ResultCode rc = update(id, u);
  if (rc == RC_OK) log_info(CAT_GEN, "Task %.*s completed: %s", static_cast<int>(id.size()), id.data(), u.message);
  return rc;
}

ResultCode task_fail(std::string_view id, const char* message) {
  UpdateSpec u;
  u.status = "failed";
  u.message = message ? message : "Task failed";
  ResultCode rc = update(id, u);
  if (rc == RC_OK) log_error(CAT_GEN, "Task %.*s failed: %s", static_cast<int>(id.size()), id.data(), u.message);
  return rc;
}

ResultCode task_read(std::string_view id, TaskRecord* out, TaskFileProblem* problem) {
  if (problem) *problem = TASK_FILE_MISSING;
  if (!out || !task_id_valid(id)) return RC_INVALID_PARAM;
  std::string text;
  ResultCode rc = read_file_capped(task_file_path(id), &text, problem);
  if (rc != RC_OK) return rc;
  *out = TaskRecord{};
  parse_record(text, out);
  if (out->task_id.empty()) out->task_id = std::string(id);
  return RC_OK;
}

int task_reconcile(const std::vector<std::string>& protected_ids) {
  const std::string dir = tasks_dir();
  DIR* d = opendir(dir.c_str());
  if (!d) return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
  std::vector<std::string> ids;
  std::vector<std::string> leftovers;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // Temporary files of a writer that died before its rename: this instance holds the data
    // root's lock, so only its own writers (whose names carry its process id) may still be busy.
    if (is_durable_temp_name(name)) {
      if (!temp_of_this_process(name)) leftovers.push_back(name);
      continue;
    }
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
    std::string id = name.substr(0, name.size() - 5);
    if (!task_id_valid(id)) continue;
    struct stat st;
    if (::stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    ids.push_back(id);
  }
  closedir(d);
  for (const std::string& name : leftovers) ::unlink((dir + "/" + name).c_str());
  std::sort(ids.begin(), ids.end());

  int failed = 0;
  for (const std::string& id : ids) {
    if (std::find(protected_ids.begin(), protected_ids.end(), id) != protected_ids.end()) continue;
    // Checked and failed under the task lock, so a task that work of this process picks up
    // meanwhile is never failed under its feet.
    UpdateSpec u;
    u.only_orphan = true;
    u.status = "failed";
    u.message = kRestartMessage;
    if (update(id, u) == RC_OK) {
      log_error(CAT_GEN, "Task %s failed: %s", id.c_str(), kRestartMessage);
      ++failed;
    }
  }
  return failed;
}

void task_reconcile_at_startup(const std::vector<std::string>& protected_ids, ResultCode owners_rc) {
  static const std::vector<std::string> kNone;
  const std::vector<std::string>* list = &protected_ids;
  if (owners_rc != RC_OK) {
    log_warn(CAT_GEN, "Resumable task owners could not be enumerated (%s); reconciling with an empty protected list",
             short_name(owners_rc));
    list = &kNone;
  }
  int n = task_reconcile(*list);
  if (n > 0)
    log_info(CAT_GEN, "Task reconciliation: failed %d task(s) orphaned by the previous instance (%d protected for resume)",
             n, static_cast<int>(list->size()));
  else if (n < 0)
    log_warn(CAT_GEN, "Task reconciliation: could not scan the Tasks directory");
}
