#include "runtime/durable_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/test_seams.h"
#include "runtime/fs.h"
#include "runtime/log.h"

namespace {
const char kTempMarker[] = ".rctmp.";
// Keeps temporary names under the 255-byte limit of a file name whatever the target's name.
const size_t kMaxTempBase = 180;

}  // namespace

std::string durable_temp_name(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.size() > kMaxTempBase) base.resize(kMaxTempBase);
  return dir + base + kTempMarker + std::to_string(getpid()) + "." + std::to_string(counter++);
}

bool is_durable_temp_name(const std::string& file_name) { return file_name.find(kTempMarker) != std::string::npos; }

ResultCode durable_write(const std::string& path, const void* data, size_t n, const DurableOptions& opt) {
  if (path.empty() || path.back() == '/' || (n > 0 && !data)) return RC_INVALID_PARAM;
  std::string tmp = durable_temp_name(path);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    log_error(CAT_GEN, "durable_write: cannot create %s (errno=%d)", tmp.c_str(), errno);
    return RC_FILE;
  }
  bool ok = write_all_fd(fd, data, n);
  if (ok && opt.sync) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    log_error(CAT_GEN, "durable_write: cannot write %s (errno=%d)", tmp.c_str(), errno);
    ::unlink(tmp.c_str());
    return RC_FILE;
  }
  test_crash_point("durable_write:before_rename");
  if (opt.last_check) {
    ResultCode rc = opt.last_check();
    if (rc != RC_OK) {
      ::unlink(tmp.c_str());
      return rc;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    log_error(CAT_GEN, "durable_write: rename failed (errno=%d): %s -> %s", errno, tmp.c_str(), path.c_str());
    ::unlink(tmp.c_str());
    return RC_FILE;
  }
  test_crash_point("durable_write:after_rename");
  if (opt.after_commit) opt.after_commit();
  // The new content is in place either way; a failed folder sync only weakens its durability
  // against power loss, so it is reported in the log, not to the caller.
  if (opt.sync && !sync_folder_of(path)) log_warn(CAT_GEN, "durable_write: folder sync failed for %s", path.c_str());
  return RC_OK;
}

ResultCode durable_write(const std::string& path, const std::string& data, const DurableOptions& opt) {
  return durable_write(path, data.data(), data.size(), opt);
}
