#include "runtime/durable_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/test_seams.h"

namespace {
const char kTempMarker[] = ".rctmp.";

bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void sync_folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}
}  // namespace

bool is_durable_temp_name(const std::string& file_name) { return file_name.find(kTempMarker) != std::string::npos; }

ResultCode durable_write(const std::string& path, const void* data, size_t n, const DurableOptions& opt) {
  if (path.empty() || (n > 0 && !data)) return RC_INVALID_PARAM;
  static std::atomic<unsigned> counter{0};
  std::string tmp = path + kTempMarker + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return RC_FILE;
  bool ok = write_all(fd, static_cast<const uint8_t*>(data), n);
  if (ok && opt.sync) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
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
    ::unlink(tmp.c_str());
    return RC_FILE;
  }
  if (opt.sync) sync_folder_of(path);
  return RC_OK;
}

ResultCode durable_write(const std::string& path, const std::string& data, const DurableOptions& opt) {
  return durable_write(path, data.data(), data.size(), opt);
}
