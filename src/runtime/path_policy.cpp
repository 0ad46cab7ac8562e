#include "runtime/path_policy.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "runtime/data_root.h"

namespace {
bool is_sep(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> split_components(const std::string& text) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : text) {
    if (is_sep(c)) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  parts.push_back(cur);
  return parts;
}

bool has_drive_letter(const std::string& t) {
  return t.size() >= 2 && t[1] == ':' && ((t[0] >= 'A' && t[0] <= 'Z') || (t[0] >= 'a' && t[0] <= 'z'));
}

std::string cwd() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

// Both containment tests: as written (against the root as configured or as resolved, since a
// caller may hold either form) and after resolving links.
bool inside_both_ways(const std::string& full, std::string* root_used) {
  std::string root_full, root_resolved;
  if (data_root_final(&root_full, &root_resolved) != RC_OK) return false;
  std::string root;
  if (path_within(full, root_full)) {
    root = root_full;
  } else if (path_within(full, root_resolved)) {
    root = root_resolved;
  } else {
    return false;
  }
  std::string resolved;
  if (final_path_of_nearest(full, &resolved) != RC_OK) return false;
  if (!path_within(resolved, root_resolved)) return false;
  if (root_used) *root_used = root;
  return true;
}
}  // namespace

std::string full_path(const std::string& text) {
  if (text.empty()) return std::string();
  std::string t = text;
  std::replace(t.begin(), t.end(), '\\', '/');
  if (t[0] != '/') t = cwd() + "/" + t;
  std::vector<std::string> out;
  for (const std::string& c : split_components(t)) {
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(c);
  }
  std::string r;
  for (const std::string& c : out) r += "/" + c;
  return r.empty() ? std::string("/") : r;
}

ResultCode final_path(const std::string& path, std::string* out) {
  if (path.empty() || !out) return RC_INVALID_PARAM;
  char* r = ::realpath(path.c_str(), nullptr);
  if (!r) return errno == ENOENT || errno == ENOTDIR ? RC_NOT_FOUND : RC_FILE;
  *out = r;
  free(r);
  return RC_OK;
}

ResultCode final_path_of_nearest(const std::string& path, std::string* out) {
  if (path.empty() || !out) return RC_INVALID_PARAM;
  std::string head = full_path(path);
  std::string tail;
  for (;;) {
    std::string resolved;
    if (final_path(head, &resolved) == RC_OK) {
      *out = tail.empty() ? resolved : (resolved == "/" ? "" : resolved) + "/" + tail;
      return RC_OK;
    }
    if (head == "/") return RC_FILE;
    size_t slash = head.rfind('/');
    std::string last = head.substr(slash + 1);
    tail = tail.empty() ? last : last + "/" + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

ResultCode data_root_final(std::string* full, std::string* resolved) {
  std::string f = full_path(data_root());
  std::string r;
  if (final_path_of_nearest(f, &r) != RC_OK) return RC_FILE;
  if (full) *full = f;
  if (resolved) *resolved = r;
  return RC_OK;
}

bool path_within(const std::string& path, const std::string& root) {
  if (path.empty() || root.empty()) return false;
  if (root == "/") return path[0] == '/';
  if (path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

ResultCode path_resolve(const std::string& text, int mode, std::string* out) {
  // An embedded NUL would cut the path short where the system reads it, after these checks.
  if (!out || text.empty() || text.find('\0') != std::string::npos) return RC_INVALID_PARAM;
  switch (mode) {
    case PATH_RAW:
      *out = text;
      return RC_OK;
    case PATH_ABSOLUTE:
      if (!is_sep(text[0])) return RC_INVALID_PARAM;
      *out = full_path(text);
      return RC_OK;
    case PATH_DATA_RELATIVE: {
      if (is_sep(text[0]) || has_drive_letter(text) || text.find(':') != std::string::npos) return RC_INVALID_PARAM;
      for (const std::string& c : split_components(text))
        if (c == "..") return RC_PERMISSION;
      std::string root_full;
      if (data_root_final(&root_full, nullptr) != RC_OK) return RC_FILE;
      std::string full = full_path(root_full + "/" + text);
      if (!path_within(full, root_full) || !inside_both_ways(full, nullptr)) return RC_PERMISSION;
      *out = full;
      return RC_OK;
    }
    default:
      return RC_INVALID_PARAM;
  }
}

PathClass path_classify(const std::string& path) {
  if (path.empty()) return PATH_OUTSIDE;
  return inside_both_ways(full_path(path), nullptr) ? PATH_INSIDE : PATH_OUTSIDE;
}

ResultCode store_form(const std::string& path, int mode, std::string* out) {
  if (!out || path.empty()) return RC_INVALID_PARAM;
  switch (mode) {
    case PATH_RAW:
      *out = path;
      return RC_OK;
    case PATH_ABSOLUTE:
      *out = full_path(path);
      return RC_OK;
    case PATH_DATA_RELATIVE: {
      std::string full = full_path(path);
      std::string root;
      if (!inside_both_ways(full, &root)) return RC_PERMISSION;
      std::string rel = full.size() > root.size() ? full.substr(root == "/" ? 1 : root.size() + 1) : "";
      if (rel.empty() || rel.find(':') != std::string::npos) return RC_INVALID_PARAM;
      *out = rel;
      return RC_OK;
    }
    default:
      return RC_INVALID_PARAM;
  }
}

bool is_inside_data_root(const std::string& path) {
  std::string resolved;
  if (final_path(data_root(), &resolved) != RC_OK) return false;
  return path_within(path, resolved);
}
