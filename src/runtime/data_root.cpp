#include "runtime/data_root.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace {
// Guards g_root; written once at start-up, read everywhere.
std::mutex g_root_mutex;
std::string g_root;
}  // namespace

std::string executable_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string data_root() {
  {
    std::lock_guard<std::mutex> g(g_root_mutex);
    if (!g_root.empty()) return g_root;
  }
  return executable_dir() + "/Client_Data";
}

void set_data_root(const std::string& path) {
  std::lock_guard<std::mutex> g(g_root_mutex);
  g_root = path;
}
