// Start-up clean-up after a self-update: the replaced executable (`rest_core.old`) and a download
// that never completed (`rest_core.new`), both beside the running executable, are removed. Called
// once by the start-up sequence on the main thread, after the main log is open.
#pragma once
#include <string>

inline constexpr const char* UPDATE_OLD_NAME = "rest_core.old";
inline constexpr const char* UPDATE_NEW_NAME = "rest_core.new";

// Removes `<exe_dir>/rest_core.old` ("Update cleanup: removed %s") and `<exe_dir>/rest_core.new`
// ("Update cleanup: removed incomplete %s") when they are regular files or links; a failure to
// remove one is logged as a warning. Folders of those names are left alone.
void update_cleanup(const std::string& exe_dir);
