#include "runtime/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/test_seams.h"
#include "runtime/data_root.h"
#include "runtime/durable_write.h"
#include "runtime/log.h"

namespace {
const size_t kMaxPath = 4095;
const size_t kChunk = 8192;

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Copies the whole of `in` to `out` in fixed chunks; false on a read error or a short write.
bool copy_fd(int in, int out) {
  char buf[kChunk];
  for (;;) {
    ssize_t r = ::read(in, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return true;
    if (!write_all_fd(out, buf, static_cast<size_t>(r))) return false;
  }
}

// Copies `in` into the freshly created `out` (the file `to`) and closes both; a read error, short
// write or failed close removes `to`, so no partial copy is left behind.
ResultCode copy_and_close(int in, int out, const std::string& to) {
  bool ok = copy_fd(in, out);
  ::close(in);
  if (::close(out) != 0) ok = false;
  if (!ok) {
    ::unlink(to.c_str());
    return RC_FILE;
  }
  return RC_OK;
}

// A copy onto the file itself would truncate the only copy before reading it.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_path(const std::string& path, bool folder) {
  int fd = ::open(path.c_str(), (folder ? (O_RDONLY | O_DIRECTORY) : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}
}  // namespace

ResultCode make_dir(const std::string& path) {
  if (path.empty()) return RC_INVALID_PARAM;
  if (::mkdir(path.c_str(), 0755) == 0) return RC_OK;
  if (errno == EEXIST && is_dir(path)) return RC_OK;
  return RC_FILE;
}

ResultCode make_dirs(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return RC_INVALID_PARAM;
  std::string p = path;
  while (p.size() > 1 && is_sep(p.back())) p.pop_back();
  if (is_dir(p)) return RC_OK;
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    std::string prefix = p.substr(0, i);
    if (prefix.empty() || prefix == "." || prefix == "..") continue;
    if (make_dir(prefix) != RC_OK) return RC_FILE;
  }
  return RC_OK;
}

ResultCode make_dirs_full(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return RC_INVALID_PARAM;
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  if (p[0] != '/') return RC_INVALID_PARAM;
  if (!is_dir("/")) return RC_FILE;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return make_dirs(p);
}

bool is_dir(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::string wallet_dir(const std::string& name) {
  return data_root() + "/Wallets/" + (name.empty() ? std::string("Default") : name);
}

std::string base_name(const std::string& path) {
  size_t i = path.find_last_of("/\\");
  return i == std::string::npos ? path : path.substr(i + 1);
}

ResultCode last_component(const std::string& path, std::string* out) {
  if (!out) return RC_INVALID_PARAM;
  size_t end = path.size();
  while (end > 0 && is_sep(path[end - 1])) --end;
  if (end == 0) return RC_INVALID_PARAM;
  *out = base_name(path.substr(0, end));
  return out->empty() ? RC_INVALID_PARAM : RC_OK;
}

bool file_size(const std::string& path, uint64_t* out) {
  if (path.empty() || !out) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) *out = static_cast<uint64_t>(st.st_size);
  ::close(fd);
  return ok;
}

bool free_space(const std::string& folder, uint64_t* out) {
  if (folder.empty() || !out) return false;
  struct statvfs sv;
  if (::statvfs(folder.c_str(), &sv) != 0) return false;
  *out = static_cast<uint64_t>(sv.f_bavail) * static_cast<uint64_t>(sv.f_frsize);
  return true;
}

ResultCode atomic_rename(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return RC_INVALID_PARAM;
  if (::rename(from.c_str(), to.c_str()) == 0) return RC_OK;
  log_warn(CAT_GEN, "fs_atomic_rename failed (errno=%d): %s -> %s", errno, from.c_str(), to.c_str());
  return RC_FILE;
}

ResultCode copy_file(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return RC_INVALID_PARAM;
  if (same_file(from, to)) return RC_INVALID_PARAM;
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    int e = errno;
    log_error(CAT_GEN, "fs_copy_file: cannot open source '%s' (errno=%d: %s)", from.c_str(), e, strerror(e));
    return RC_FILE;
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    int e = errno;
    log_error(CAT_GEN, "fs_copy_file: cannot open dest '%s' (errno=%d: %s)", to.c_str(), e, strerror(e));
    ::close(in);
    return RC_FILE;
  }
  return copy_and_close(in, out, to);
}

ResultCode copy_file_noreplace(const std::string& from, const std::string& to, bool* existed) {
  if (existed) *existed = false;
  if (from.empty() || to.empty()) return RC_INVALID_PARAM;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    if (errno == EEXIST) {
      if (existed) *existed = true;
      return RC_OK;
    }
    log_error(CAT_CMD, "fs_copy_file_noreplace: cannot create dest '%s' (errno=%d)", to.c_str(), errno);
    return RC_FILE;
  }
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    log_error(CAT_CMD, "fs_copy_file_noreplace: cannot open source '%s' (errno=%d)", from.c_str(), errno);
    ::close(out);
    ::unlink(to.c_str());
    return RC_FILE;
  }
  return copy_and_close(in, out, to);
}

ResultCode move_file(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return RC_INVALID_PARAM;
  int err = 0;
  if (test_seam_on("FORCE_EXDEV")) {
    err = EXDEV;
  } else {
    if (::rename(from.c_str(), to.c_str()) == 0) return RC_OK;
    err = errno;
  }
  log_warn(CAT_GEN, "fs_move_file: rename failed (errno=%d: %s): %s -> %s", err, strerror(err), from.c_str(),
           to.c_str());
  // Only a move across file systems may fall back to copying; any other failure (missing source,
  // no permission) would fail the copy too, or worse, succeed where the rename was refused.
  if (err != EXDEV) return RC_FILE;

  uint64_t src_size = 0;
  if (!file_size(from, &src_size)) {
    log_error(CAT_GEN, "Failed to get source file size: %s", from.c_str());
    return RC_FILE;
  }
  // Staged beside the destination and renamed into place, so a failed copy never truncates or
  // removes a file already standing at `to`.
  const std::string staged = durable_temp_name(to);
  ResultCode rc = copy_file(from, staged);
  if (rc != RC_OK) {
    log_error(CAT_GEN, "Failed to copy file for cross-volume move: %s -> %s", from.c_str(), to.c_str());
    ::unlink(staged.c_str());
    return rc;
  }
  uint64_t dst_size = 0;
  if (!file_size(staged, &dst_size) || dst_size != src_size) {
    log_error(CAT_GEN, "Cross-volume move verification failed: size mismatch (src=%llu, dst=%llu) for %s",
              static_cast<unsigned long long>(src_size), static_cast<unsigned long long>(dst_size), to.c_str());
    ::unlink(staged.c_str());
    return RC_FILE;
  }
  // The copy must be on disk before the only other copy goes away.
  if (!sync_file(staged) || ::rename(staged.c_str(), to.c_str()) != 0) {
    log_error(CAT_GEN, "Cross-volume move: cannot sync or place %s; keeping the source", to.c_str());
    ::unlink(staged.c_str());
    return RC_FILE;
  }
  sync_folder_of(to);
  if (::unlink(from.c_str()) != 0) {
    log_error(CAT_GEN,
              "Failed to delete source after cross-volume move: %s (removing destination copy to prevent "
              "duplicates)",
              from.c_str());
    ::unlink(to.c_str());
    return RC_FILE;
  }
  log_debug(CAT_GEN, "Cross-volume move completed: %s -> %s", from.c_str(), to.c_str());
  return RC_OK;
}

ResultCode append_unique_line(const std::string& file, const std::string& line) {
  if (file.empty() || line.empty()) return RC_INVALID_PARAM;
  std::string path = file[0] == '/' ? file : path_join(data_root(), file);
  std::string want = line;
  std::replace(want.begin(), want.end(), '\\', '/');
  while (!want.empty() && (want.back() == '\n' || want.back() == '\r')) want.pop_back();
  if (want.empty() || want.find('\n') != std::string::npos) return RC_INVALID_PARAM;

  bool ends_with_newline = true;
  {
    std::ifstream in(path, std::ios::binary);
    std::string have;
    while (in && std::getline(in, have)) {
      ends_with_newline = !in.eof();
      while (!have.empty() && have.back() == '\r') have.pop_back();
      if (have == want) return RC_OK;
    }
  }
  FILE* f = fopen(path.c_str(), "ab");
  if (!f) {
    log_error(CAT_GEN, "Failed to open %s for appending", path.c_str());
    return RC_FILE;
  }
  // A last line without its line feed would otherwise be glued to the new one.
  std::string text = (ends_with_newline ? "" : "\n") + want + "\n";
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) {
    log_error(CAT_GEN, "Failed to open %s for appending", path.c_str());
    return RC_FILE;
  }
  log_info(CAT_GEN, "Added '%s' to %s", want.c_str(), base_name(path).c_str());
  return RC_OK;
}

ResultCode list_dir(const std::string& folder, ListKind kind, std::vector<std::string>* names) {
  if (folder.empty() || !names) return RC_INVALID_PARAM;
  names->clear();
  DIR* d = ::opendir(folder.c_str());
  if (!d) return errno == ENOENT || errno == ENOTDIR ? RC_NOT_FOUND : RC_FILE;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (is_durable_temp_name(name)) continue;
    bool dir = false, file = false;
    if (e->d_type == DT_DIR) {
      dir = true;
    } else if (e->d_type == DT_REG) {
      file = true;
    } else {
      // Links and file systems without d_type: ask stat, which follows the link.
      struct stat st;
      std::string full = path_join(folder, name);
      if (::stat(full.c_str(), &st) == 0) {
        dir = S_ISDIR(st.st_mode);
        file = S_ISREG(st.st_mode);
      }
    }
    if ((dir && (kind & LIST_DIRS)) || (file && (kind & LIST_FILES))) names->push_back(name);
  }
  ::closedir(d);
  std::sort(names->begin(), names->end());
  return RC_OK;
}

ResultCode remove_file(const std::string& path) {
  if (path.empty()) return RC_INVALID_PARAM;
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return RC_OK;
  return RC_FILE;
}

std::string path_join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  bool a_sep = a.back() == '/';
  bool b_sep = b.front() == '/';
  if (a_sep && b_sep) return a + b.substr(1);
  if (a_sep || b_sep) return a + b;
  return a + "/" + b;
}

bool write_all_fd(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool sync_file(const std::string& path) { return !path.empty() && sync_path(path, false); }

bool sync_folder_of(const std::string& path) { return !path.empty() && sync_path(parent_of(path), true); }
