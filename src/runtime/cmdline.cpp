#include "runtime/cmdline.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

std::string format_port_line() {
  char buf[320];
  snprintf(buf, sizeof buf,
           "  -port <number>    Set HTTP server port (default: %d). Explicit -port is\n"
           "                    strict; without it the server falls back to the next free\n"
           "                    port. Actual port is written to Client_Data/core.port\n",
           DEFAULT_HTTP_PORT);
  return buf;
}

std::string usage_head() {
  return std::string("Usage: rest_core [options]\n\n") + "Options:\n" + format_port_line() +
         "  -debug, -d        Enable debug mode (shows advanced logging)\n";
}

// Reads like atoi: optional sign, digits up to the first non-digit, a non-number reads as 0;
// the result is taken modulo 65536.
uint16_t port_from_text(const std::string& s) {
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  return static_cast<uint16_t>(static_cast<unsigned long long>(v) & 0xFFFFu);
}

// `<path>/Client_Data`, accepting either separator in the given path and making it absolute so
// that every later message names the same folder the service uses.
std::string data_root_from(const std::string& given) {
  std::string p = given;
  for (char& c : p)
    if (c == '\\') c = '/';
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty()) p = ".";
  if (p[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) p = (p == "." ? std::string(cwd) : std::string(cwd) + "/" + p);
  }
  if (p == "/") return "/Client_Data";
  return p + "/Client_Data";
}

}  // namespace

std::string cmdline_long_usage() {
  return usage_head() +
         "  -data-dir <path>  Parent dir under which Client_Data is created\n"
         "                    (default: directory containing the executable)\n"
         "  -api-token <tok>  Require 'Authorization: Bearer <tok>' on the\n"
         "                    object-transfer endpoints (env: PELKO_API_TOKEN)\n"
         "  -upgrade-coins    Upgrade ZBv1/ZBv2 coins in exe directory and exit\n"
         "  --upgrade-zbv1    Upgrade only ZBv1 (.stack) coins and exit\n"
         "  --upgrade-zbv2    Upgrade only ZBv2 (.bin) coins and exit\n"
         "  --version, -v     Show version and exit\n"
         "  --help, -h        Show this help message\n";
}

std::string cmdline_short_usage() {
  return usage_head() +
         "  -data-dir <path>  Parent directory under which Client_Data is created.\n"
         "                    Default: directory containing the executable.\n"
         "  -api-token <tok>  Session token the object-transfer endpoints require\n"
         "                    as 'Authorization: Bearer <tok>'. Also read from the\n"
         "                    PELKO_API_TOKEN env var. Default: no token required.\n"
         "  -upgrade-coins    Upgrade ZBv1/ZBv2 coins in exe directory and exit\n"
         "  --version, -v     Show version and exit\n"
         "  --help, -h        Show this help message\n";
}

CmdlineResult cmdline_parse(const std::vector<std::string>& args, const char* env_token, StartupOptions* opts) {
  CmdlineResult r;
  bool failed = false;
  bool token_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "-port" || a == "--port") {
      if (!has_value) {
        r.err += "ERROR: -port requires a port number\n\n";
        failed = true;
        continue;
      }
      opts->port = port_from_text(args[++i]);
      opts->port_explicit = true;
    } else if (a == "-debug" || a == "--debug" || a == "-d") {
      opts->debug = true;
    } else if (a == "-data-dir" || a == "--data-dir") {
      if (!has_value) {
        r.err += "ERROR: -data-dir requires a path\n\n";
        failed = true;
        continue;
      }
      std::string root = data_root_from(args[++i]);
      if (root.size() > MAX_DATA_ROOT_CHARS) {
        r.err += "ERROR: -data-dir path is too long\n\n";
        failed = true;
        continue;
      }
      opts->data_root = root;
    } else if (a == "-api-token" || a == "--api-token") {
      if (!has_value) {
        r.err += "ERROR: -api-token requires a value\n\n";
        failed = true;
        continue;
      }
      const std::string& tok = args[++i];
      if (tok.size() > MAX_API_TOKEN_CHARS) {
        char buf[96];
        snprintf(buf, sizeof buf, "ERROR: -api-token is too long (max %d chars)\n\n", static_cast<int>(MAX_API_TOKEN_CHARS));
        r.err += buf;
        failed = true;
        continue;
      }
      opts->api_token = tok;
      token_given = true;
    } else if (a == "-upgrade-coins" || a == "--upgrade-coins") {
      opts->upgrade_mode = UPGRADE_ALL;
    } else if (a == "--upgrade-zbv1") {
      opts->upgrade_mode = UPGRADE_ZBV1;
    } else if (a == "--upgrade-zbv2") {
      opts->upgrade_mode = UPGRADE_ZBV2;
    } else if (a == "--version" || a == "-v") {
      char buf[96];
      snprintf(buf, sizeof buf, "%s v%s\n", PRODUCT_NAME, PRODUCT_VERSION);
      r.out = buf;
      r.action = CmdlineAction::EXIT_OK;
      return r;
    } else if (a == "--help" || a == "-h") {
      r.out = cmdline_long_usage();
      r.action = CmdlineAction::EXIT_OK;
      return r;
    } else {
      r.err += "ERROR: Unknown argument: " + a + "\n";
      failed = true;
    }
  }
  if (failed) {
    r.err += "\n" + cmdline_short_usage();
    r.action = CmdlineAction::EXIT_FAIL;
    return r;
  }
  if (!token_given && env_token && *env_token && std::string(env_token).size() <= MAX_API_TOKEN_CHARS)
    opts->api_token = env_token;
  if (opts->debug) r.out += "Debug mode: ENABLED\n";
  return r;
}
