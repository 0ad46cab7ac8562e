// The path policy: how paths that arrive in requests are turned into paths on disk, and back into
// the form that is stored, so that a path meant to stay inside the data root stays there even
// through `..`, absolute paths or symbolic links. Used by the mail attachment and object-transfer
// code. Both `/` and `\` are accepted as separators in input; results use `/`; paths are compared
// exactly (case-sensitive). Safe from any thread (the only shared input is the data root).
#pragma once
#include <string>

#include "base/result_code.h"

enum PathMode {
  PATH_RAW = 0,            // the text is used unchanged
  PATH_DATA_RELATIVE = 1,  // a path relative to the data root that must stay inside it
  PATH_ABSOLUTE = 2,       // an absolute path anywhere
};

enum PathClass {
  PATH_INSIDE = 1,   // inside the data root as written and after resolving links
  PATH_OUTSIDE = 2,  // anything else
};

// `text` made absolute against the working folder, `\` read as `/`, with "." and ".." and
// doubled or trailing separators folded away, without touching the disk. Empty for empty input.
std::string full_path(const std::string& text);

// The path with every symbolic link resolved (realpath). RC_INVALID_PARAM for an empty path,
// RC_NOT_FOUND when it does not exist, RC_FILE for other failures.
ResultCode final_path(const std::string& path, std::string* out);
// final_path of the path or, when it does not exist, of its nearest existing ancestor with the
// missing tail appended. RC_FILE when nothing resolves.
ResultCode final_path_of_nearest(const std::string& path, std::string* out);
// The data root made full (`full`) and resolved through links (`resolved`); either may be null.
// RC_FILE when the data root cannot be resolved at all.
ResultCode data_root_final(std::string* full, std::string* resolved);

// True when `path` equals `root` or continues it after a `/`.
bool path_within(const std::string& path, const std::string& root);

// Turns request text into a path on disk.
//   PATH_RAW: `text` unchanged.
//   PATH_ABSOLUTE: requires a leading separator (else RC_INVALID_PARAM); the full path.
//   PATH_DATA_RELATIVE: RC_INVALID_PARAM when it starts with a separator, has a drive letter or
//     any `:`; RC_PERMISSION when a component is `..`, or when `<data root>/<text>` lies outside
//     the data root as written or after resolving links (nearest existing ancestor).
// RC_INVALID_PARAM also for empty text, text holding a NUL, an unknown mode or a null `out`.
ResultCode path_resolve(const std::string& text, int mode, std::string* out);
// PATH_INSIDE or PATH_OUTSIDE for `path` (made full first).
PathClass path_classify(const std::string& path);
// The reverse of path_resolve. PATH_DATA_RELATIVE: the path relative to the data root with `/`
// separators, after the same two containment tests (RC_PERMISSION when outside; RC_INVALID_PARAM
// when nothing remains or a `:` is left); PATH_ABSOLUTE: the full path; PATH_RAW: unchanged.
ResultCode store_form(const std::string& path, int mode, std::string* out);
// path_within(path, resolved data root), with `path` compared as given.
bool is_inside_data_root(const std::string& path);
