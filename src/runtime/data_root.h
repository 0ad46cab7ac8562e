// Where the service keeps its state: `<data directory>/Client_Data`. Set once during start-up,
// before any other file work, and read from any thread afterwards.
#pragma once
#include <string>

// The configured data root, or `<executable folder>/Client_Data` when none was set.
std::string data_root();
// Sets the data root (empty clears it back to the default).
void set_data_root(const std::string& path);
// The folder holding the running executable (from /proc/self/exe), without a trailing `/`.
std::string executable_dir();
