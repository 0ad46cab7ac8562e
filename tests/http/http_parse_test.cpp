#include "http/http_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DecodeCase {
  const char* in;
  const char* out;
};

TEST(HttpParse, PercentDecodingTable) {
  const DecodeCase cases[] = {
      {"a=%41%2", "a=A%2"},   // a '%' without two hex digits stays literal
      {"a+b", "a b"},         // '+' is a space
      {"%2f%2F", "//"},       // hex digits of either case
      {"%zz", "%zz"},
      {"%", "%"},
      {"%4", "%4"},
      {"100%", "100%"},
      {"%e2%82%ac", "\xe2\x82\xac"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(http_percent_decode(c.in), std::string(c.out)) << c.in;
  EXPECT_EQ(http_percent_decode("%00x"), std::string("\0x", 2));
}

struct LengthCase {
  const char* value;
  bool ok;
  size_t length;
};

TEST(HttpParse, ContentLengthFormsTable) {
  const LengthCase cases[] = {
      {"12", true, 12},       {"   12   ", true, 12}, {"\t7", true, 7},     {"0", true, 0},
      {"65535", true, 65535}, {"65536", false, 0},    {"70000", false, 0},  {"12abc", false, 0},
      {"", false, 0},         {"   ", false, 0},      {"-1", false, 0},     {"+5", false, 0},
      {"1 2", false, 0},      {"99999999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    size_t n = 999;
    EXPECT_EQ(http_parse_content_length(c.value, &n), c.ok) << "'" << c.value << "'";
    if (c.ok) {
      EXPECT_EQ(n, c.length) << c.value;
    }
  }
}

struct ReadCase {
  std::string bytes;
  HttpReadStep step;
  const char* message;  // for REJECT
};

TEST(HttpParse, ReadCompletenessTable) {
  const std::string head = "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  const std::string big_head = "POST /x HTTP/1.1\r\nContent-Length: 65500\r\n\r\n";
  const ReadCase cases[] = {
      {"GET /x HTTP/1.1\r\n", HttpReadStep::NEED_MORE, ""},
      {"GET /x HTTP/1.1\r\n\r\n", HttpReadStep::COMPLETE, ""},
      {head + "abc", HttpReadStep::NEED_MORE, ""},
      {head + "abcde", HttpReadStep::COMPLETE, ""},
      {"POST /x HTTP/1.1\r\ncontent-LENGTH:   5  \r\n\r\nabcde", HttpReadStep::COMPLETE, ""},
      {"POST /x HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n", HttpReadStep::REJECT, "Invalid or oversized Content-Length"},
      {"POST /x HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", HttpReadStep::REJECT, "Invalid or oversized Content-Length"},
      {big_head, HttpReadStep::REJECT, "Request body too large"},
      // Only the first Content-Length line counts.
      {"POST /x HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: x\r\n\r\na", HttpReadStep::COMPLETE, ""},
      // A full buffer without a blank line is parsed as it is.
      {std::string(HTTP_MAX_REQUEST_BYTES, 'a'), HttpReadStep::COMPLETE, ""},
  };
  for (const auto& c : cases) {
    HttpReadCheck r = http_read_check(c.bytes);
    EXPECT_EQ(static_cast<int>(r.step), static_cast<int>(c.step)) << c.bytes.substr(0, 60);
    if (c.step == HttpReadStep::REJECT) {
      EXPECT_EQ(r.error.status, 413);
      EXPECT_STREQ(r.error.message, c.message);
    }
  }
}

TEST(HttpParse, RequestOfExactlyTheLimitIsCompleteAndOneMoreIsRefused) {
  auto request_of = [](size_t total) {
    std::string head_prefix = "POST /api/program/echo HTTP/1.1\r\nContent-Length: ";
    // The Content-Length digits change the head size; find the body size that hits `total`.
    for (size_t body = total; body > 0; --body) {
      std::string head = head_prefix + std::to_string(body) + "\r\n\r\n";
      if (head.size() + body == total) return head + std::string(body, 'x');
    }
    return std::string();
  };
  std::string exact = request_of(HTTP_MAX_REQUEST_BYTES);
  ASSERT_EQ(exact.size(), HTTP_MAX_REQUEST_BYTES);
  EXPECT_EQ(static_cast<int>(http_read_check(exact).step), static_cast<int>(HttpReadStep::COMPLETE));
  std::string over = request_of(HTTP_MAX_REQUEST_BYTES + 1);
  // Refused from the head alone, before any of the body arrived.
  std::string head_only = over.substr(0, over.find("\r\n\r\n") + 4);
  HttpReadCheck r = http_read_check(head_only);
  EXPECT_EQ(static_cast<int>(r.step), static_cast<int>(HttpReadStep::REJECT));
  EXPECT_STREQ(r.error.message, "Request body too large");
}

struct LineCase {
  std::string bytes;
  int status;
  const char* message;
};

TEST(HttpParse, RequestLineErrorsTable) {
  const std::string long_path = "/" + std::string(4095, 'p');
  const std::string long_query = std::string(4096, 'q');
  const LineCase cases[] = {
      {"GET /x HTTP/1.1", 400, "Malformed request line"},  // no line end
      {"GET\r\n\r\n", 400, "Malformed request line"},
      {"GET /x\r\n\r\n", 400, "Malformed request line"},   // no space after the URL
      {"GET  HTTP/1.1\r\n\r\n", 400, "Malformed request line"},  // empty URL
      {" /x HTTP/1.1\r\n\r\n", 400, "Invalid HTTP method"},
      {"ABCDEFGHIJKLMNOP /x HTTP/1.1\r\n\r\n", 400, "Invalid HTTP method"},  // 16 characters
      {"GET " + long_path + " HTTP/1.1\r\n\r\n", 414, "Request path too long"},
      {"GET /x?" + long_query + " HTTP/1.1\r\n\r\n", 414, "Query string too long"},
      {"GET /" + std::string(2100, 'p') + "?" + std::string(2100, 'q') + " HTTP/1.1\r\n\r\n", 414,
       "Request URL too long"},
      {"GET /x?" + std::string(128, 'n') + "=1 HTTP/1.1\r\n\r\n", 413, "Decoded parameter name too long"},
      // A value past the limit only fits in a form body.
      {"POST /x HTTP/1.1\r\nContent-Length: 4098\r\n\r\nv=" + std::string(4096, 'v'), 413,
       "Decoded parameter value too long"},
  };
  for (const auto& c : cases) {
    HttpRequest req;
    HttpError err;
    EXPECT_FALSE(http_parse_request(c.bytes, req, &err)) << c.bytes.substr(0, 40);
    EXPECT_EQ(err.status, c.status) << c.bytes.substr(0, 40);
    EXPECT_STREQ(err.message, c.message) << c.bytes.substr(0, 40);
  }
}

TEST(HttpParse, LimitsAreInclusive) {
  const std::string ok_cases[] = {
      "ABCDEFGHIJKLMNO /x HTTP/1.1\r\n\r\n",                                // 15-character method
      "GET /" + std::string(4094, 'p') + " HTTP/1.1\r\n\r\n",               // 4095-character URL
      "GET /x?" + std::string(127, 'n') + "=1 HTTP/1.1\r\n\r\n",            // 127-character name
      "POST /x HTTP/1.1\r\nContent-Length: 4097\r\n\r\nv=" + std::string(4095, 'v'),  // 4095-byte value
      // Percent-encoded bytes count once decoded: 1365 raw triples decode to 1365 bytes.
      "GET /x?v=" + [] { std::string s; for (int i = 0; i < 1360; ++i) s += "%41"; return s; }() + " HTTP/1.1\r\n\r\n",
  };
  for (const auto& bytes : ok_cases) {
    HttpRequest req;
    HttpError err;
    EXPECT_TRUE(http_parse_request(bytes, req, &err)) << bytes.substr(0, 40) << " -> " << err.message;
  }
}

TEST(HttpParse, QueryParametersKeepOrderAndSkipEmptyAndBarePieces) {
  HttpRequest req;
  HttpError err;
  ASSERT_TRUE(http_parse_request("GET /api/wallets/list?x=1&&y=2&z&q=a+b&e= HTTP/1.1\r\n\r\n", req, &err));
  EXPECT_EQ(req.method, "GET");
  EXPECT_EQ(req.path, "/api/wallets/list");
  EXPECT_EQ(req.query, "x=1&&y=2&z&q=a+b&e=");
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& p : req.params) got.emplace_back(p.name, p.value);
  std::vector<std::pair<std::string, std::string>> want = {{"x", "1"}, {"y", "2"}, {"q", "a b"}, {"e", ""}};
  EXPECT_EQ(got, want);
  EXPECT_FALSE(req.too_many_params);
}

struct CountCase {
  int query_params;
  int body_params;
  size_t stored;
  bool too_many;
};

TEST(HttpParse, ParameterCountLimitTable) {
  const CountCase cases[] = {
      {80, 0, 80, false}, {81, 0, 80, true}, {40, 40, 80, false}, {40, 41, 80, true}, {0, 81, 80, true},
  };
  for (const auto& c : cases) {
    std::string q, b;
    for (int i = 0; i < c.query_params; ++i) q += (i ? "&" : "") + std::string("q") + std::to_string(i) + "=1";
    for (int i = 0; i < c.body_params; ++i) b += (i ? "&" : "") + std::string("b") + std::to_string(i) + "=1";
    std::string bytes = "POST /x?" + q + " HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: " + std::to_string(b.size()) + "\r\n\r\n" + b;
    HttpRequest req;
    HttpError err;
    ASSERT_TRUE(http_parse_request(bytes, req, &err)) << err.message;
    EXPECT_EQ(req.params.size(), c.stored) << c.query_params << "+" << c.body_params;
    EXPECT_EQ(req.too_many_params, c.too_many) << c.query_params << "+" << c.body_params;
  }
}

TEST(HttpParse, FormBodyFollowsQueryParametersForPostAndPutOnly) {
  const std::string tail = "HTTP/1.1\r\nContent-Length: 7\r\n\r\nid=body";
  for (const char* method : {"POST", "PUT", "GET", "DELETE", "post"}) {
    HttpRequest req;
    HttpError err;
    ASSERT_TRUE(http_parse_request(std::string(method) + " /x?id=query " + tail, req, &err));
    EXPECT_EQ(req.body, "id=body");
    const bool split = std::string(method) == "POST" || std::string(method) == "PUT";
    ASSERT_EQ(req.params.size(), split ? 2u : 1u) << method;
    EXPECT_EQ(req.params[0].value, "query");  // the query parameter comes first and wins lookups
  }
}

struct JsonBodyCase {
  const char* content_type;
  const char* body;
  bool split;
};

TEST(HttpParse, JsonBodyIsNotSplitAsFormDataTable) {
  const JsonBodyCase cases[] = {
      {"application/json", "{\"a\":\"x=1&y=2\"}", false},
      {"application/json; charset=utf-8", "a=1", false},
      {"APPLICATION/JSON", "a=1", false},
      {"text/plain", "  \r\n{\"url\":\"http://h/?k=v\"}", false},
      {"", "[\"a=b\"]", false},
      {"application/x-www-form-urlencoded", "a=1&b=2", true},
      {"", "a=1", true},
      {"application/jsonp", "a=1", true},
  };
  for (const auto& c : cases) {
    std::string body = c.body;
    std::string bytes = "POST /x HTTP/1.1\r\n" +
                        (std::string(c.content_type).empty() ? std::string() : "Content-Type: " + std::string(c.content_type) + "\r\n") +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    HttpRequest req;
    HttpError err;
    ASSERT_TRUE(http_parse_request(bytes, req, &err));
    EXPECT_EQ(req.body, body) << c.body;
    EXPECT_EQ(!req.params.empty(), c.split) << c.content_type << " " << c.body;
  }
}

TEST(HttpParse, BodyLengthIsTheSmallerOfContentLengthAndBytesReceived) {
  HttpRequest req;
  HttpError err;
  ASSERT_TRUE(http_parse_request("PUT /x HTTP/1.1\r\nContent-Length: 3\r\n\r\na=12345", req, &err));
  EXPECT_EQ(req.body, "a=1");
  HttpRequest short_req;
  ASSERT_TRUE(http_parse_request("PUT /x HTTP/1.1\r\nContent-Length: 30\r\n\r\na=1", short_req, &err));
  EXPECT_EQ(short_req.body, "a=1");
}

TEST(HttpParse, HalfClosedHeadWithoutBlankLineStillParses) {
  HttpRequest req;
  HttpError err;
  ASSERT_TRUE(http_parse_request("GET /api/program/echo?a=1 HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer tok", req, &err));
  EXPECT_EQ(req.path, "/api/program/echo");
  EXPECT_EQ(req.bearer_token, "tok");
  EXPECT_TRUE(req.body.empty());
  ASSERT_EQ(req.headers.size(), 2u);
  EXPECT_EQ(req.headers[0].name, "Host");
  EXPECT_EQ(req.headers[0].value, "x");
}

struct AuthCase {
  std::string lines;
  std::string token;
};

TEST(HttpParse, AuthorizationHeaderFormsTable) {
  const AuthCase cases[] = {
      {"Authorization: Bearer abc123", "abc123"},
      {"authorization:    BEARER    abc123   ", "abc123"},
      {"AUTHORIZATION:bearer abc", "abc"},
      {"Authorization: Basic dXNlcjpwYXNz", ""},
      {"Authorization: Bearer", ""},
      {"Authorization: Bearer ", ""},
      {"Authorization: Bearertok", ""},
      {"Authorization: Bearer a b", "a"},
      {"Authorization: Bearer " + std::string(128, 't'), std::string(128, 't')},
      {"Authorization: Bearer " + std::string(129, 't'), ""},
      // Only the first Authorization line is looked at.
      {"Authorization: Basic x\r\nAuthorization: Bearer second", ""},
      {"X-Authorization: Bearer nope", ""},
      {"Host: x\r\nAuthorization: Bearer later", "later"},
  };
  for (const auto& c : cases) {
    HttpRequest req;
    HttpError err;
    ASSERT_TRUE(http_parse_request("GET /x HTTP/1.1\r\n" + c.lines + "\r\n\r\n", req, &err));
    EXPECT_EQ(req.bearer_token, c.token) << c.lines;
  }
}

struct RedactCase {
  const char* query;
  const char* logged;
};

TEST(HttpParse, RequestLineQueryRedactsSecretParameterValuesTable) {
  const RedactCase cases[] = {
      {"wallet=Default&password=hunter2", "wallet=Default&password=[redacted]"},
      {"PassWD=x&an=0123&pan=ff&seed=s&ticket=t", "PassWD=[redacted]&an=[redacted]&pan=[redacted]&seed=[redacted]&ticket=[redacted]"},
      {"locker_key=ABC-123&locker_code=9", "locker_key=[redacted]&locker_code=[redacted]"},
      {"p%61ssword=x", "p%61ssword=[redacted]"},  // the decoded name decides
      {"answer=42&pans=1", "answer=42&pans=1"},
      {"a=1&&b", "a=1&&b"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(http_redact_query(c.query), c.logged) << c.query;
}

}  // namespace
