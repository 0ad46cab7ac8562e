#include "runtime/log_response.h"

#include <strings.h>

#include <cstdlib>

#include "runtime/log.h"

namespace {

constexpr size_t kPlainBodyCap = 512;
constexpr size_t kDebugBodyCapDefault = 16384;

size_t debug_body_cap() {
  static const size_t cap = [] {
    const char* v = std::getenv("RESTCORE_DEBUG_MAX_BODY");
    if (!v || !*v) return kDebugBodyCapDefault;
    long long n = std::atoll(v);
    return n < 1 ? kDebugBodyCapDefault : static_cast<size_t>(n);
  }();
  return cap;
}

void indent(std::string& out, size_t n) { out.append(n, ' '); }

}  // namespace

bool log_param_is_secret(std::string_view name) {
  static const char* const secrets[] = {"locker_key", "locker_code", "password", "passwd",
                                        "an",         "ticket",      "pan",      "seed"};
  for (const char* s : secrets) {
    if (name.size() == std::char_traits<char>::length(s) && strncasecmp(name.data(), s, name.size()) == 0) return true;
  }
  return false;
}

void log_request_line(const std::string& method, const std::string& path, const std::string& safe_query) {
  if (safe_query.empty())
    log_info(CAT_HTTP, "HttpRequest: %s %s", method.c_str(), path.c_str());
  else
    log_info(CAT_HTTP, "HttpRequest: %s %s ?%s", method.c_str(), path.c_str(), safe_query.c_str());
}

std::string log_pretty_json(std::string_view body) {
  std::string out = "  JSON Body:\n";
  out.reserve(body.size() * 2 + 16);
  size_t depth = 0;
  bool in_string = false;
  bool escaped = false;  // the previous string byte was an unescaped backslash
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (in_string) {
      out += c;
      // A string ending in an escaped backslash ("a\\") still ends at its quote.
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
      continue;
    }
    switch (c) {
      case ' ': case '\t': case '\r': case '\n':
        break;
      case '"':
        in_string = true;
        out += c;
        break;
      case ',':
        out += ",\n";
        indent(out, 2 + 2 * depth);
        break;
      case '{': case '[':
        out += c;
        out += '\n';
        indent(out, 4 + 2 * depth);
        ++depth;
        break;
      case '}': case ']':
        out += '\n';
        indent(out, 2 * depth);
        out += c;
        if (depth > 0) --depth;
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
  }
  out += '\n';
  return out;
}

void log_response_summary(int status, const std::string& body) {
  if (body.empty()) {
    log_info(CAT_HTTP, "HttpResponse: status=%d (empty)", status);
    return;
  }
  log_info(CAT_HTTP, "HttpResponse: status=%d", status);
  const int level = log_effective_level();
  if (level > LOG_INFO) return;  // the summary line itself was filtered out: no body beneath it
  if (level > LOG_DEBUG) {
    if (body.size() <= kPlainBodyCap) {
      log_raw(log_pretty_json(body));
    } else {
      log_raw("  [TRUNCATED] " + body.substr(0, kPlainBodyCap) + "...\n");
    }
    return;
  }
  size_t cap = debug_body_cap();
  if (body.size() <= cap) {
    log_raw(log_pretty_json(body));
    return;
  }
  std::string text = log_pretty_json(std::string_view(body).substr(0, cap));
  char note[128];
  snprintf(note, sizeof note, "  [... TRUNCATED %zu of %zu bytes, cap=%zu ...]\n", body.size() - cap, body.size(), cap);
  log_raw(text + note);
}
