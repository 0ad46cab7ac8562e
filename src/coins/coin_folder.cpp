#include "coins/coin_folder.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "runtime/durable_write.h"

namespace {

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  std::string_view tail = s.substr(s.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    char a = tail[i], b = suffix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// The durable writer's own marker and the ".tmp" files an interrupted writer of an earlier
// version may have left.
bool is_temp_name(const std::string& name) { return is_durable_temp_name(name) || ends_with_nocase(name, ".tmp"); }

}  // namespace

ResultCode list_folder_files(const std::string& folder, std::string_view suffix, std::vector<std::string>* names) {
  if (folder.empty() || !names) return RC_INVALID_PARAM;
  names->clear();
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return errno == ENOENT || errno == ENOTDIR ? RC_NOT_FOUND : RC_FILE;
  std::vector<std::string> found;
  ResultCode rc = RC_OK;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(dir);
    if (!e) {
      if (errno != 0) rc = RC_FILE;
      break;
    }
    std::string name = e->d_name;
    if (name.empty() || name == "." || name == ".." || is_temp_name(name) || !ends_with_nocase(name, suffix)) continue;
    bool regular = e->d_type == DT_REG;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      std::string path = folder + "/" + name;
      regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (regular) found.push_back(std::move(name));
  }
  ::closedir(dir);
  if (rc != RC_OK) return rc;
  std::sort(found.begin(), found.end());
  *names = std::move(found);
  return RC_OK;
}

ResultCode list_coin_files(const std::string& folder, std::vector<std::string>* names) {
  return list_folder_files(folder, ".bin", names);
}
