// Start-up rotation of the main log: a `main.log` of 1 MiB or more is archived into
// `OldLogs/main_<time>.zip` (deflated with libzip) and removed, so each run starts a fresh log
// while the old lines stay readable. Called once by the start-up sequence, before the log is
// opened and while the instance lock is held; not meant to run concurrently with itself.
#pragma once
#include <cstdint>
#include <string>

#include "base/result_code.h"

constexpr uint64_t kMainLogRotateBytes = 1048576;

struct LogRotateResult {
  bool rotated = false;     // main.log was large enough and has been moved away
  bool zipped = false;      // archived as a zip (false: moved as a plain .log after a zip failure)
  std::string moved_to;     // the archive or the moved log
};

// Rotates `<data_root>/main.log` when it has reached kMainLogRotateBytes. A smaller or missing
// log is left alone (RC_OK, rotated = false). The log is removed only after its archive was
// written and read back complete; when archiving fails it is moved to `OldLogs/main_<time>.log`
// instead. An existing archive is never overwritten: a suffix makes the name unique.
// RC_OK, RC_INVALID_PARAM (empty root), or RC_FILE when neither archive nor move worked (the log
// then stays where it is and keeps growing).
ResultCode rotate_main_log(const std::string& data_root, LogRotateResult* out = nullptr);
