#include "runtime/instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

namespace {
// Start-up only (main thread), so no lock guards these.
int g_fd = -1;
std::string g_path;
}  // namespace

ResultCode acquire_instance_lock(const std::string& data_root) {
  if (g_fd >= 0) return RC_ERROR;
  if (data_root.empty()) return RC_INVALID_PARAM;
  std::string path = data_root;
  if (path.back() != '/') path += '/';
  path += ".instance.lock";
  if (path.size() > MAX_INSTANCE_LOCK_PATH_CHARS) return RC_INVALID_PARAM;
  g_path = path;

  // No O_TRUNC: the file of a running instance must stay as it is when we lose the race.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return RC_FILE;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    close(fd);
    return e == EWOULDBLOCK ? RC_BUSY : RC_FILE;
  }
  char text[64];
  int n = snprintf(text, sizeof text, "pid=%lu\n", static_cast<unsigned long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
    flock(fd, LOCK_UN);
    close(fd);
    return RC_FILE;
  }
  fsync(fd);
  g_fd = fd;
  return RC_OK;
}

std::string instance_lock_path() { return g_path; }

void release_instance_lock() {
  if (g_fd < 0) return;
  flock(g_fd, LOCK_UN);
  close(g_fd);
  g_fd = -1;
}
