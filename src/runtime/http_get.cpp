#include "runtime/http_get.h"

#include <curl/curl.h>

#include <mutex>

#include "runtime/log.h"

namespace {
const size_t kMaxUrl = 2047;
const long kMaxSeconds = 2147483;

long clamp_seconds(int s) {
  if (s < 1) return 3;
  return s > kMaxSeconds ? kMaxSeconds : s;
}

bool ascii_lower_equal(const std::string& a, const char* b) {
  size_t n = 0;
  for (; b[n]; ++n) {
    if (n >= a.size()) return false;
    char c = a[n];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[n]) return false;
  }
  return n == a.size();
}

struct Sink {
  std::string* body;
  size_t max;
  bool overflow = false;
};

size_t on_data(char* p, size_t size, size_t n, void* user) {
  Sink* s = static_cast<Sink*>(user);
  size_t bytes = size * n;
  if (s->body->size() + bytes > s->max) {
    s->overflow = true;
    return 0;  // makes libcurl stop with a write error
  }
  s->body->append(p, bytes);
  return bytes;
}

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

ResultCode fail(ResultCode rc, const std::string& url) {
  log_debug(CAT_NET, "http_get failed: result=%d url=%s", static_cast<int>(rc), url.c_str());
  return rc;
}
}  // namespace

ResultCode parse_url(const std::string& url, ParsedUrl* out) {
  if (!out || url.empty() || url.size() > kMaxUrl) return RC_INVALID_PARAM;
  size_t sep = url.find("://");
  if (sep == std::string::npos) return RC_INVALID_PARAM;
  ParsedUrl u;
  std::string scheme = url.substr(0, sep);
  if (ascii_lower_equal(scheme, "http")) {
    u.scheme = "http";
    u.port = 80;
  } else if (ascii_lower_equal(scheme, "https")) {
    u.scheme = "https";
    u.port = 443;
  } else {
    return RC_INVALID_PARAM;
  }
  size_t auth_start = sep + 3;
  size_t auth_end = url.find_first_of("/?#", auth_start);
  std::string authority = url.substr(auth_start, auth_end == std::string::npos ? std::string::npos : auth_end - auth_start);
  if (authority.empty() || authority.find('@') != std::string::npos) return RC_INVALID_PARAM;
  std::string port_text;
  if (authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos || close == 1) return RC_INVALID_PARAM;
    u.host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return RC_INVALID_PARAM;
      port_text = rest.substr(1);
      if (port_text.empty()) return RC_INVALID_PARAM;
    }
  } else {
    size_t colon = authority.find(':');
    u.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) return RC_INVALID_PARAM;
    }
  }
  if (u.host.empty()) return RC_INVALID_PARAM;
  for (char c : u.host)
    if (static_cast<unsigned char>(c) <= ' ' || c == '\\') return RC_INVALID_PARAM;
  if (!port_text.empty()) {
    unsigned long port = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9') return RC_INVALID_PARAM;
      port = port * 10 + static_cast<unsigned long>(c - '0');
      if (port > 65535) return RC_INVALID_PARAM;
    }
    if (port == 0) return RC_INVALID_PARAM;
    u.port = static_cast<uint16_t>(port);
  }
  if (auth_end == std::string::npos || url[auth_end] == '#') {
    u.path = "/";
  } else {
    size_t frag = url.find('#', auth_end);
    u.path = url.substr(auth_end, frag == std::string::npos ? std::string::npos : frag - auth_end);
    if (u.path[0] == '?') u.path = "/" + u.path;
  }
  *out = u;
  return RC_OK;
}

bool is_loopback_http_url(const std::string& url) {
  ParsedUrl u;
  return parse_url(url, &u) == RC_OK && u.scheme == "http" && u.host == "127.0.0.1";
}

ResultCode http_get(const std::string& url, const HttpGetTimeouts* timeouts, std::string* body, size_t max_body) {
  if (!body) return RC_INVALID_PARAM;
  body->clear();
  ParsedUrl parsed;
  if (parse_url(url, &parsed) != RC_OK) return fail(RC_INVALID_PARAM, url);
  global_init_once();
  CURL* h = curl_easy_init();
  if (!h) return fail(RC_ERROR, url);

  long connect_s = clamp_seconds(timeouts ? timeouts->connect_seconds : 3);
  long response_s = clamp_seconds(timeouts ? timeouts->response_seconds : 3);
  Sink sink{body, max_body};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, HTTP_GET_USER_AGENT);
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "127.0.0.1,localhost,::1");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect_s);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, response_s);
  long total = (connect_s + response_s) * 10;
  curl_easy_setopt(h, CURLOPT_TIMEOUT, total > kMaxSeconds ? kMaxSeconds : total);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  CURLcode cc = curl_easy_perform(h);
  curl_easy_cleanup(h);

  if (sink.overflow) {
    body->clear();
    return fail(RC_MEMORY, url);
  }
  if (cc != CURLE_OK) {
    bool mid_body = !body->empty() && (cc == CURLE_RECV_ERROR || cc == CURLE_PARTIAL_FILE);
    body->clear();
    return fail(mid_body ? RC_NETWORK : RC_ERROR, url);
  }
  if (body->empty()) return fail(RC_ERROR, url);
  return RC_OK;
}

ResultCode http_get(const std::string& url, std::string* body) { return http_get(url, nullptr, body); }
