// The instance lock: an exclusive flock on `<data root>/.instance.lock` that keeps a second
// process away from a data root. Taken once by start-up on the main thread and held for the life
// of the process; the kernel drops it when the process dies, so a stale file never blocks a start.
// Not for concurrent use: start-up (and its failure path) are the only callers.
#pragma once
#include <string>

#include "base/result_code.h"

inline constexpr size_t MAX_INSTANCE_LOCK_PATH_CHARS = 4159;

// Takes the lock and writes "pid=<pid>\n" into the file. RC_OK; RC_ERROR when this process
// already holds it; RC_INVALID_PARAM for an empty root or an over-long lock path; RC_BUSY when
// another process holds it (its file is left untouched); RC_FILE for any other failure.
ResultCode acquire_instance_lock(const std::string& data_root);
// The lock file's path (set by the last acquire attempt; empty before).
std::string instance_lock_path();
// Unlocks and closes; used only when start-up fails after taking the lock.
void release_instance_lock();
