// The command line of rest_core: the options, the two usage texts, the version line and the
// PELKO_API_TOKEN fallback. Start-up calls cmdline_parse once on the main thread and prints what
// it returns; the function itself prints nothing and touches no global state, so tests call it
// directly. The product name and version live here too.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* PRODUCT_NAME = "Zorbit REST Core";
inline constexpr const char* PRODUCT_VERSION = "2026-10-16";
inline constexpr uint16_t DEFAULT_HTTP_PORT = 8080;
inline constexpr size_t MAX_API_TOKEN_CHARS = 128;
inline constexpr size_t MAX_DATA_ROOT_CHARS = 4095;

enum UpgradeMode : int { UPGRADE_NONE = -1, UPGRADE_ALL = 0, UPGRADE_ZBV1 = 1, UPGRADE_ZBV2 = 2 };

struct StartupOptions {
  uint16_t port = DEFAULT_HTTP_PORT;
  bool port_explicit = false;  // -port given: a single bind attempt, no fallback
  bool debug = false;
  std::string data_root;  // `<path>/Client_Data` from -data-dir, else empty (default chosen later)
  std::string api_token;  // empty: the object-transfer endpoints need no token
  int upgrade_mode = UPGRADE_NONE;
};

enum class CmdlineAction { RUN, EXIT_OK, EXIT_FAIL };

struct CmdlineResult {
  CmdlineAction action = CmdlineAction::RUN;
  std::string out;  // text for standard output (help, version, "Debug mode: ENABLED")
  std::string err;  // text for standard error (errors and the short usage)
};

// Parses argv[1..] into `opts`. EXIT_OK for --help/--version (met first), EXIT_FAIL after any
// error with the messages and the short usage in `err`; RUN otherwise. `env_token` is the value of
// PELKO_API_TOKEN (null when unset); it is used when no -api-token was given and it fits.
CmdlineResult cmdline_parse(const std::vector<std::string>& args, const char* env_token, StartupOptions* opts);

// The usage texts, byte for byte.
std::string cmdline_long_usage();
std::string cmdline_short_usage();
