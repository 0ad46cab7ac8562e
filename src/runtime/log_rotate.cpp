#include "runtime/log_rotate.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "runtime/fs.h"

namespace {

bool stat_size(const std::string& path, uint64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::string local_stamp() {
  time_t now = time(nullptr);
  struct tm lt;
  localtime_r(&now, &lt);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &lt);
  return buf;
}

// `OldLogs/main_<stamp><ext>`, or with "_<n>" added when that name is taken (two rotations in the
// same second must not overwrite each other's archive).
std::string free_name(const std::string& dir, const std::string& stamp, const char* ext) {
  std::string base = dir + "/main_" + stamp;
  std::string name = base + ext;
  for (int n = 1; exists(name) && n < 1000; ++n) name = base + "_" + std::to_string(n) + ext;
  return name;
}

// Archives `log` as the single entry "main.log" of a new zip at `zip_path`, then reopens the
// archive and checks the entry is whole before reporting success.
bool archive(const std::string& log, uint64_t size, const std::string& zip_path) {
  int err = 0;
  zip_t* za = zip_open(zip_path.c_str(), ZIP_CREATE | ZIP_EXCL, &err);
  if (!za) return false;
  zip_source_t* src = zip_source_file(za, log.c_str(), 0, -1);
  if (!src) {
    zip_discard(za);
    return false;
  }
  zip_int64_t idx = zip_file_add(za, "main.log", src, ZIP_FL_ENC_UTF_8);
  if (idx < 0) {
    zip_source_free(src);
    zip_discard(za);
    ::unlink(zip_path.c_str());
    return false;
  }
  zip_set_file_compression(za, static_cast<zip_uint64_t>(idx), ZIP_CM_DEFLATE, 6);
  if (zip_close(za) != 0) {
    zip_discard(za);
    ::unlink(zip_path.c_str());
    return false;
  }

  zip_t* check = zip_open(zip_path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  bool ok = false;
  if (check) {
    zip_stat_t st;
    zip_stat_init(&st);
    ok = zip_stat(check, "main.log", 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE) && st.size == size;
    zip_discard(check);
  }
  if (!ok) ::unlink(zip_path.c_str());
  return ok;
}

}  // namespace

ResultCode rotate_main_log(const std::string& data_root, LogRotateResult* out) {
  LogRotateResult local;
  LogRotateResult& r = out ? *out : local;
  r = LogRotateResult{};
  if (data_root.empty()) return RC_INVALID_PARAM;

  const std::string log = data_root + "/main.log";
  uint64_t size = 0;
  if (!stat_size(log, &size) || size < kMainLogRotateBytes) return RC_OK;

  const std::string dir = data_root + "/OldLogs";
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return RC_FILE;
  const std::string stamp = local_stamp();

  std::string zip_path = free_name(dir, stamp, ".zip");
  if (archive(log, size, zip_path)) {
    ::unlink(log.c_str());
    r.rotated = true;
    r.zipped = true;
    r.moved_to = zip_path;
    return RC_OK;
  }

  std::string moved = free_name(dir, stamp, ".log");
  if (move_file(log, moved) != RC_OK) return RC_FILE;
  r.rotated = true;
  r.moved_to = moved;
  return RC_OK;
}
