#include "runtime/update_cleanup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/log.h"

namespace {

void remove_leftover(const std::string& path, const char* removed_fmt) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return;
  if (::unlink(path.c_str()) == 0)
    log_info(CAT_GEN, removed_fmt, path.c_str());
  else
    log_warn(CAT_GEN, "Update cleanup: could not remove %s (%s)", path.c_str(), std::strerror(errno));
}

}  // namespace

void update_cleanup(const std::string& exe_dir) {
  if (exe_dir.empty()) return;
  remove_leftover(exe_dir + "/" + UPDATE_OLD_NAME, "Update cleanup: removed %s");
  remove_leftover(exe_dir + "/" + UPDATE_NEW_NAME, "Update cleanup: removed incomplete %s");
}
