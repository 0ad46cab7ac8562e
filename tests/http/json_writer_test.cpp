#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "http/json_scan.h"
#include "http/json_writer.h"
#include "http/strict_json.h"

namespace {

std::string built_string(const std::string& s) {
  JsonBuilder b;
  b.begin_array();
  b.element_string(s);
  b.end_array();
  return b.text();
}

std::string file_string(const char* s) {
  FILE* f = tmpfile();
  EXPECT_TRUE(json_write_string(f, s));
  std::string out;
  rewind(f);
  int c;
  while ((c = fgetc(f)) != EOF) out += static_cast<char>(c);
  fclose(f);
  return out;
}

std::string buffer_string(const char* s) {
  char buf[256];
  json_escape_into(buf, sizeof buf, s);
  return buf;
}

}  // namespace

TEST(JsonBuilder, InsertsCommasAndNestsArrays) {
  JsonBuilder b;
  b.begin_object();
  b.member_int("a", 1);
  b.member_string("b", "x");
  b.key("c");
  b.begin_array();
  b.element_int(1);
  b.element_int(2);
  b.end_array();
  b.member_null("d");
  b.member_string("e", static_cast<const char*>(nullptr));
  b.member_bool("f", false);
  b.member_int64("g", -9000000000LL);
  b.member_raw("h", "{\"x\":[]}");
  b.end_object();
  EXPECT_EQ(b.text(), "{\"a\":1,\"b\":\"x\",\"c\":[1,2],\"d\":null,\"e\":null,\"f\":false,\"g\":-9000000000,\"h\":{\"x\":[]}}");
  EXPECT_TRUE(b.ok());
  EXPECT_EQ(b.depth(), 0u);
}

TEST(JsonEscapers, EachEscaperOnControlQuotesBackslashesAndBrokenUtf8) {
  struct Case {
    std::string in;
    const char* builder;  // inside the quotes
    const char* file_and_buffer;
  } cases[] = {
      {"\t\x01", "\\t\\u0001", "\\t\\u0001"},
      {"\b\f", "\\b\\f", "\\u0008\\u000c"},
      {"\n\r\x1f", "\\n\\r\\u001f", "\\n\\r\\u001f"},
      {"say \"hi\"", "say \\\"hi\\\"", "say \\\"hi\\\""},
      {"C:\\dir\\", "C:\\\\dir\\\\", "C:\\\\dir\\\\"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      // A stray byte, a cut sequence, an overlong form and an encoded surrogate: each byte of the
      // broken sequence becomes U+FFFD so the text stays valid UTF-8.
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b", "a\xEF\xBF\xBD" "b"},
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::string b = built_string(c.in);
    EXPECT_EQ(b, "[\"" + std::string(c.builder) + "\"]") << c.in;
    EXPECT_TRUE(strict_json::valid(b)) << b;
    EXPECT_EQ(file_string(c.in.c_str()), "\"" + std::string(c.file_and_buffer) + "\"") << c.in;
    EXPECT_EQ(buffer_string(c.in.c_str()), c.file_and_buffer) << c.in;
  }
  // A NUL inside a std::string is escaped, not a terminator.
  EXPECT_EQ(built_string(std::string("a\0b", 3)), "[\"a\\u0000b\"]");
  EXPECT_EQ(file_string(nullptr), "\"\"");
  EXPECT_EQ(buffer_string(nullptr), "");
}

TEST(JsonEscapers, BufferEscaperStopsWhenFewerThanEightBytesRemain) {
  char buf[12];
  size_t n = json_escape_into(buf, sizeof buf, "abcdefghij");
  // Characters are placed while at least 8 bytes are left: positions 0..4.
  EXPECT_EQ(std::string(buf), "abcde");
  EXPECT_EQ(n, 5u);
  // A multi-byte character is never split by the cut.
  char small[10];
  json_escape_into(small, sizeof small, "a\xE2\x82\xAC\xE2\x82\xAC");
  EXPECT_EQ(std::string(small), "a\xE2\x82\xAC");
  char tiny[4];
  EXPECT_EQ(json_escape_into(tiny, sizeof tiny, "abc"), 0u);
  EXPECT_EQ(tiny[0], '\0');
}

TEST(JsonBuilder, DeepNestingStaysValid) {
  JsonBuilder b;
  for (int i = 0; i < 12; ++i) {
    b.begin_object();
    b.member_int("n", i);
    b.key("next");
  }
  b.begin_array();
  b.element_int(1);
  b.element_int(2);
  b.end_array();
  for (int i = 0; i < 12; ++i) b.end_object();
  EXPECT_TRUE(b.ok());
  EXPECT_EQ(b.depth(), 0u);
  EXPECT_TRUE(strict_json::valid(b.text())) << b.text();
}

TEST(JsonBuilder, UnbalancedCloseMarksTheReplyUnusable) {
  JsonBuilder b;
  b.begin_object();
  b.end_object();
  b.end_object();
  EXPECT_FALSE(b.ok());
}

TEST(JsonBuilder, HundredKilobyteReplyIsCompleteAndValid) {
  JsonBuilder b;
  b.begin_object();
  b.member_string("command", "list");
  b.member_bool("success", true);
  b.key("coins");
  b.begin_array();
  int count = 0;
  while (b.length() < 100 * 1024) {
    b.begin_object();
    b.member_int("sn", count);
    b.member_string("note", "tab\there \"quoted\" \xC3\xA9");
    b.member_units("value", 150000000ULL * static_cast<uint64_t>(count));
    b.end_object();
    ++count;
  }
  b.end_array();
  b.member_int("count", count);
  b.end_object();
  ASSERT_TRUE(b.ok());
  EXPECT_GT(b.length(), 100u * 1024u);
  EXPECT_TRUE(strict_json::valid(b.text()));
  std::string tail = ",\"count\":" + std::to_string(count) + "}";
  EXPECT_EQ(b.text().substr(b.length() - tail.size()), tail);
}

TEST(JsonBuilder, ReplyPastTheSizeLimitFailsInsteadOfBeingCut) {
  JsonBuilder b;
  b.begin_array();
  std::string chunk(1024 * 1024, 'x');
  for (size_t i = 0; i < JsonBuilder::kJsonMaxBytes / chunk.size() + 1; ++i) b.element_string(chunk);
  EXPECT_FALSE(b.ok());
  b.clear();
  EXPECT_TRUE(b.ok());
  EXPECT_EQ(b.text(), "");
}

TEST(JsonBuilder, UnitsAreZorbitNumbersAtEverySize) {
  struct Case {
    uint64_t units;
    const char* text;
  } cases[] = {
      {150000000ULL, "1.5"},
      {0, "0"},
      {1, "0.00000001"},
      {9223372036854775807ULL, "92233720368.54775807"},
      {9223372036854775808ULL, "92233720368.54775808"},
      {18446744073709551615ULL, "184467440737.09551615"},
  };
  for (const auto& c : cases) {
    JsonBuilder b;
    b.begin_object();
    b.member_units("v", c.units);
    b.end_object();
    EXPECT_EQ(b.text(), std::string("{\"v\":") + c.text + "}") << c.units;
    EXPECT_TRUE(strict_json::valid(b.text()));
  }
}

TEST(JsonBuilder, DoublesUseTenSignificantDigitsAndNullWhenNotFinite) {
  JsonBuilder d;
  d.begin_object();
  d.member_double("a", 0.1);
  d.member_double("b", NAN);
  d.member_double("c", INFINITY);
  d.end_object();
  EXPECT_EQ(d.text(), "{\"a\":0.1,\"b\":null,\"c\":null}");
}

TEST(Base64url, KnownValuesAndFailures) {
  const uint8_t fbff[] = {0xFB, 0xFF};
  EXPECT_EQ(base64url_encode(fbff, 2), "-_8");
  EXPECT_EQ(base64url_encode(nullptr, 0), "");
  struct Case {
    const char* in;
    ResultCode rc;
    std::vector<uint8_t> out;
  } cases[] = {
      {"-_8", RC_OK, {0xFB, 0xFF}},
      {"+/8=", RC_OK, {0xFB, 0xFF}},
      {"QQ", RC_OK, {0x41}},
      {" Q\tQ\r\n==", RC_OK, {0x41}},
      {"", RC_OK, {}},
      {"Q", RC_ERROR, {}},
      {"QUJD!", RC_ERROR, {}},
      {"QUJDR", RC_ERROR, {}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    EXPECT_EQ(base64url_decode(c.in, out), c.rc) << c.in;
    if (c.rc == RC_OK) {
      EXPECT_EQ(out, c.out) << c.in;
    }
  }
  std::vector<uint8_t> out;
  EXPECT_EQ(base64url_decode("QUJD", out, 2), RC_ERROR);
  EXPECT_EQ(base64url_decode("QUJD", out, 3), RC_OK);
  char buf[4];
  EXPECT_EQ(base64url_encode(fbff, 2, buf, sizeof buf), RC_ERROR);
  char buf5[5];
  EXPECT_EQ(base64url_encode(fbff, 2, buf5, sizeof buf5), RC_OK);
  EXPECT_STREQ(buf5, "-_8");
}

TEST(Base64url, RoundTripsEveryLengthAndByte) {
  std::vector<uint8_t> data;
  for (int n = 0; n < 300; ++n) {
    std::string enc = base64url_encode(data.data(), data.size());
    EXPECT_EQ(enc.find_first_of("+/="), std::string::npos);
    std::vector<uint8_t> back;
    ASSERT_EQ(base64url_decode(enc, back), RC_OK) << n;
    EXPECT_EQ(back, data) << n;
    data.push_back(static_cast<uint8_t>((n * 167 + 13) & 0xFF));
  }
}

TEST(EightDecimalText, TrimsTrailingZeros) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {{1.5, "1.5"}, {2.0, "2"}, {0.00000001, "0.00000001"}, {0.0, "0"}, {-3.25, "-3.25"}, {100.0, "100"}};
  for (const auto& c : cases) EXPECT_EQ(eight_decimal_text(c.v), c.text) << c.v;
}

TEST(Utf8SafeCopy, DropsASequenceTheCutWouldSplit) {
  struct Case {
    const char* src;
    size_t cap;
    const char* out;
  } cases[] = {
      {"abcdef", 4, "abc"},
      {"ab\xC3\xA9", 4, "ab"},           // é would need bytes 2..3, only 2 is left
      {"ab\xC3\xA9", 5, "ab\xC3\xA9"},
      {"a\xE2\x82\xAC", 3, "a"},
      {"a\xE2\x82\xAC" "b", 5, "a\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", 4, ""},
      {"abc", 1, ""},
      {"abc", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_safe_copy(std::string_view(c.src), c.cap), c.out) << c.src << " cap " << c.cap;
    if (c.cap > 0) {
      char buf[16];
      utf8_safe_copy(buf, c.cap, c.src);
      EXPECT_STREQ(buf, c.out);
    }
  }
}

TEST(JsonScan, FindsTopLevelMembers) {
  struct Case {
    const char* text;
    const char* name;
    ResultCode rc;
    const char* value;
  } cases[] = {
      {"{\"a\":{\"b\":1},\"b\":\"x\\\"y\"}", "b", RC_OK, "x\"y"},
      {"{\"a\":{\"b\":1},\"b\":\"x\\\"y\"}", "a", RC_NOT_FOUND, ""},
      {"{\"s\":\"a\\nb\\tc\\rd\\be\\ff\\/g\"}", "s", RC_OK, "a\nb\tc\rd\be\ff/g"},
      {"{\"s\":\"\\u0041\\u00e9\\u20AC\"}", "s", RC_OK, "A\xC3\xA9\xE2\x82\xAC"},
      {"{\"s\":\"\\ud83d\\ude00!\"}", "s", RC_OK, "\xF0\x9F\x98\x80!"},
      {"{\"s\":\"\\ud800x\\udc00\"}", "s", RC_OK, "\xEF\xBF\xBDx\xEF\xBF\xBD"},  // lone surrogates
      {"{\"s\":\"\\uzz\\q\"}", "s", RC_OK, "uzzq"},  // not an escape it knows: the letter stays
      {"{\"s\":\"\\u12\"}", "s", RC_OK, "u12"},
      {"{ \"n\" : 42 , \"t\":true}", "n", RC_OK, "42"},
      {"{\"t\":true}", "t", RC_OK, "true"},
      {"{\"z\":null\n}", "z", RC_OK, "null"},
      {"{\"arr\":[1,\"]\",{\"x\":2}],\"k\":\"v\"}", "k", RC_OK, "v"},
      {"{\"obj\":{\"k\":\"inner\",\"s\":\"}\"},\"k\":\"outer\"}", "k", RC_OK, "outer"},
      {"{\"k\":[1,2],\"k\":3}", "k", RC_OK, "3"},
      {"noise {\"k\":\"v\"}", "k", RC_OK, "v"},
      {"{\"K\":\"v\"}", "k", RC_NOT_FOUND, ""},
      {"{k:1}", "k", RC_NOT_FOUND, ""},
      {"{\"k\":\"cut", "k", RC_NOT_FOUND, ""},
      {"[1,2]", "k", RC_NOT_FOUND, ""},
      {"{\"a\":1}", "b", RC_NOT_FOUND, ""},
      {"", "a", RC_NOT_FOUND, ""},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(json_scan_member(c.text, c.name, out), c.rc) << c.text << " / " << c.name;
    EXPECT_EQ(out, c.value) << c.text << " / " << c.name;
  }
  std::string out;
  EXPECT_EQ(json_scan_member("{\"k\":\"abcdef\"}", "k", out, 4), RC_OK);
  EXPECT_EQ(out, "abc");
}

// What the builder writes, the scanner must read back unchanged: control bytes, quotes,
// backslashes and multi-byte text alike.
TEST(JsonScan, ReadsBackEveryStringTheBuilderWrote) {
  std::string all_ascii;
  for (int c = 1; c < 0x80; ++c) all_ascii += static_cast<char>(c);
  const std::string cases[] = {
      "line one\nline two", "C:\\Wallets\\Default", "tab\tand \"quotes\"", all_ascii,
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", std::string("nul\0inside", 11),
  };
  for (const std::string& value : cases) {
    JsonBuilder b;
    b.begin_object();
    b.member_string("v", value);
    b.end_object();
    std::string out;
    ASSERT_EQ(json_scan_member(b.text(), "v", out), RC_OK) << b.text();
    EXPECT_EQ(out, value) << b.text();
  }
}
