#include "http/http_parse.h"

#include <strings.h>

#include <cctype>

#include "runtime/log_response.h"

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t'; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

HttpError make_error(int status, const char* reason, const char* message, const char* warning = nullptr) {
  HttpError e;
  e.status = status;
  e.reason = reason;
  e.message = message;
  e.warning = warning;
  return e;
}

// Calls `fn(line)` for each CRLF-terminated (or final) line of `text`; stops when it returns false.
template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    if (!fn(line)) return;
    if (end == std::string_view::npos) return;
    pos = end + 2;
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && (is_ws(s.back()) || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool http_parse_content_length(std::string_view value, size_t* out) {
  size_t i = 0;
  while (i < value.size() && is_ws(value[i])) ++i;
  size_t digits_start = i;
  size_t n = 0;
  while (i < value.size() && std::isdigit(static_cast<unsigned char>(value[i]))) {
    n = n * 10 + static_cast<size_t>(value[i] - '0');
    if (n > HTTP_MAX_REQUEST_BYTES) return false;  // also stops overflow on long digit runs
    ++i;
  }
  if (i == digits_start) return false;
  while (i < value.size() && is_ws(value[i])) ++i;
  if (i != value.size()) return false;
  *out = n;
  return true;
}

HttpReadCheck http_read_check(std::string_view buf) {
  HttpReadCheck r;
  size_t blank = buf.find("\r\n\r\n");
  if (blank == std::string_view::npos) {
    r.step = buf.size() >= HTTP_MAX_REQUEST_BYTES ? HttpReadStep::COMPLETE : HttpReadStep::NEED_MORE;
    return r;
  }
  size_t head_len = blank + 4;
  size_t content_length = 0;
  bool bad = false;
  for_each_line(buf.substr(0, blank), [&](std::string_view line) {
    if (!starts_with_nocase(line, "content-length:")) return true;
    bad = !http_parse_content_length(line.substr(15), &content_length);
    return false;
  });
  if (bad) {
    r.step = HttpReadStep::REJECT;
    r.error = make_error(413, "Payload Too Large", "Invalid or oversized Content-Length",
                         "HttpRequest: rejected invalid Content-Length");
    return r;
  }
  if (head_len + content_length > HTTP_MAX_REQUEST_BYTES) {
    r.step = HttpReadStep::REJECT;
    r.error = make_error(413, "Payload Too Large", "Request body too large",
                         "HttpRequest: rejected body larger than 65535 bytes");
    return r;
  }
  r.step = buf.size() >= head_len + content_length ? HttpReadStep::COMPLETE : HttpReadStep::NEED_MORE;
  return r;
}

std::string http_percent_decode(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '%' && i + 2 < in.size() && hex_value(in[i + 1]) >= 0 && hex_value(in[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2]));
      i += 2;
    } else if (c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

bool http_parse_params(std::string_view text, HttpRequest& req, HttpError* err) {
  size_t pos = 0;
  while (pos <= text.size() && !req.too_many_params) {
    size_t amp = text.find('&', pos);
    std::string_view piece = text.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
    pos = amp == std::string_view::npos ? text.size() + 1 : amp + 1;
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    if (req.params.size() >= HTTP_MAX_PARAMS) {
      req.too_many_params = true;
      break;
    }
    HttpParam p{http_percent_decode(piece.substr(0, eq)), http_percent_decode(piece.substr(eq + 1))};
    if (p.name.size() > HTTP_MAX_PARAM_NAME_CHARS) {
      *err = make_error(413, "Payload Too Large", "Decoded parameter name too long");
      return false;
    }
    if (p.value.size() > HTTP_MAX_PARAM_VALUE_CHARS) {
      *err = make_error(413, "Payload Too Large", "Decoded parameter value too long");
      return false;
    }
    req.params.push_back(std::move(p));
  }
  return true;
}

std::string http_bearer_token(std::string_view head_lines) {
  std::string token;
  for_each_line(head_lines, [&](std::string_view line) {
    if (line.size() < 14 || !starts_with_nocase(line, "authorization:")) return true;
    std::string_view rest = line.substr(14);
    while (!rest.empty() && is_ws(rest.front())) rest.remove_prefix(1);
    if (!starts_with_nocase(rest, "bearer ")) return false;
    rest.remove_prefix(7);
    while (!rest.empty() && is_ws(rest.front())) rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !is_ws(rest[end]) && rest[end] != '\r' && rest[end] != '\n') ++end;
    if (end >= 1 && end <= HTTP_MAX_BEARER_CHARS) token.assign(rest.substr(0, end));
    return false;
  });
  return token;
}

bool http_body_is_json(std::string_view content_type, std::string_view body) {
  std::string_view ct = trim(content_type);
  if (starts_with_nocase(ct, "application/json")) {
    std::string_view rest = ct.substr(16);
    if (rest.empty() || rest.front() == ';' || is_ws(rest.front())) return true;
  }
  for (char c : body) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    return c == '{' || c == '[';
  }
  return false;
}

bool http_parse_request(std::string_view buf, HttpRequest& req, HttpError* err) {
  size_t line_end = buf.find("\r\n");
  if (line_end == std::string_view::npos) {
    *err = make_error(400, "Bad Request", "Malformed request line");
    return false;
  }
  std::string_view line = buf.substr(0, line_end);
  size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) {
    *err = make_error(400, "Bad Request", "Malformed request line");
    return false;
  }
  size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) {
    *err = make_error(400, "Bad Request", "Malformed request line");
    return false;
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view url = line.substr(sp1 + 1, sp2 - sp1 - 1);
  if (url.empty()) {
    *err = make_error(400, "Bad Request", "Malformed request line");
    return false;
  }
  if (method.empty() || method.size() > HTTP_MAX_METHOD_CHARS) {
    *err = make_error(400, "Bad Request", "Invalid HTTP method");
    return false;
  }
  // The part that is too long is named first; a URL whose path and query each fit but which is too
  // long as a whole gets the general message.
  size_t qmark = url.find('?');
  std::string_view path = url.substr(0, qmark);
  std::string_view query = qmark == std::string_view::npos ? std::string_view() : url.substr(qmark + 1);
  if (path.size() > HTTP_MAX_URL_CHARS) {
    *err = make_error(414, "URI Too Long", "Request path too long");
    return false;
  }
  if (query.size() > HTTP_MAX_URL_CHARS) {
    *err = make_error(414, "URI Too Long", "Query string too long");
    return false;
  }
  if (url.size() > HTTP_MAX_URL_CHARS) {
    *err = make_error(414, "URI Too Long", "Request URL too long");
    return false;
  }
  req.method.assign(method);
  req.path.assign(path);
  req.query.assign(query);
  if (!http_parse_params(query, req, err)) return false;

  // Header lines run to the blank line; a half-closed request without one uses the whole buffer.
  size_t blank = buf.find("\r\n\r\n");
  size_t head_end = blank == std::string_view::npos ? buf.size() : blank;
  std::string_view headers = line_end + 2 <= head_end ? buf.substr(line_end + 2, head_end - line_end - 2)
                                                       : std::string_view();
  size_t content_length = 0;
  bool have_length = false;
  for_each_line(headers, [&](std::string_view h) {
    size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0) return true;
    HttpParam hp{std::string(h.substr(0, colon)), std::string(trim(h.substr(colon + 1)))};
    if (!have_length && strcasecmp(hp.name.c_str(), "content-length") == 0) {
      have_length = true;
      if (!http_parse_content_length(h.substr(colon + 1), &content_length)) content_length = 0;
    }
    if (req.content_type.empty() && strcasecmp(hp.name.c_str(), "content-type") == 0) req.content_type = hp.value;
    req.headers.push_back(std::move(hp));
    return true;
  });
  req.bearer_token = http_bearer_token(headers);

  if (blank != std::string_view::npos) {
    size_t body_start = blank + 4;
    size_t available = buf.size() - body_start;
    req.body.assign(buf.substr(body_start, content_length < available ? content_length : available));
  }

  if (method == "POST" || method == "PUT") {
    if (req.body.size() > HTTP_MAX_REQUEST_BYTES) {
      *err = make_error(413, "Payload Too Large", "Request body too large");
      return false;
    }
    // A JSON body stays whole in req.body: splitting it at '&' would invent parameters from
    // whatever string values happen to contain '='.
    if (!req.body.empty() && !req.too_many_params && !http_body_is_json(req.content_type, req.body)) {
      if (!http_parse_params(req.body, req, err)) return false;
    }
  }
  return true;
}

std::string http_redact_query(std::string_view query) {
  std::string out;
  out.reserve(query.size());
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    std::string_view piece = query.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos);
    size_t eq = piece.find('=');
    if (eq != std::string_view::npos && log_param_is_secret(http_percent_decode(piece.substr(0, eq)))) {
      out.append(piece.substr(0, eq + 1));
      out += "[redacted]";
    } else {
      out.append(piece);
    }
    if (amp == std::string_view::npos) break;
    out += '&';
    pos = amp + 1;
  }
  return out;
}
