// The one path by which coin files, receipts, ledgers and journals reach the disk: write a
// temporary file beside the target, fsync it, run the caller's last check, rename it over the
// target and fsync the folder. A crash at any point leaves the old file or the new one, never a
// mix. Safe from any thread; callers serialise writers of the same target themselves.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/result_code.h"

// Runs after the temporary file is complete and synced, just before the rename. A result other
// than RC_OK aborts the write: the temporary file is removed and the target left as it was.
using DurableCheck = std::function<ResultCode()>;

struct DurableOptions {
  bool sync = true;           // fsync the file and the folder (task and config files may skip it)
  DurableCheck last_check;    // optional
  // Optional; runs once, right after the rename has put the new content in place and before the
  // folder sync, so a caller can release what it held for the last check without holding it
  // through that sync. Not run when the write fails or the last check refuses it.
  std::function<void()> after_commit;
};

// Writes `n` bytes to `path` durably. RC_OK, RC_INVALID_PARAM (no path), RC_FILE (any I/O
// failure; the target is untouched), or the last check's own code. The temporary file lives in
// the target's folder (so the rename never crosses file systems) with owner-only permissions; a
// failed folder sync after the rename is logged, not returned, since the new content is in place.
// Test crash points: "durable_write:before_rename" and "durable_write:after_rename".
ResultCode durable_write(const std::string& path, const void* data, size_t n, const DurableOptions& opt = {});
ResultCode durable_write(const std::string& path, const std::string& data, const DurableOptions& opt = {});

// True for names that durable_write uses for its temporary files; listings skip them.
bool is_durable_temp_name(const std::string& file_name);
// A fresh temporary name beside `path` of the kind listings skip; for writers that must stage a
// file in the target's folder (a copy across file systems) before renaming it into place.
std::string durable_temp_name(const std::string& path);
