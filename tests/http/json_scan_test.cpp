#include "http/json_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

TEST(JsonValidity, AcceptsWholeStrictValuesAndRefusesDamagedOnes) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"{}", true},
      {" [ ] ", true},
      {"\"x\"", true},
      {"-0.5E+2", true},
      {"  {\"a\":[1,-2.5e3,true,null,\"x\\n\\u00e9\"],\"b\":{}}\n", true},
      {"", false},
      {"   ", false},
      {"{\"a\":1,}", false},
      {"[1,]", false},
      {"{\"a\":1", false},
      {"{\"a\" 1}", false},
      {"{a:1}", false},
      {"{\"a\":01}", false},
      {"{\"a\":1.}", false},
      {"{\"a\":-}", false},
      {"{\"a\":\"tab\there\"}", false},
      {"{\"a\":\"\\x\"}", false},
      {"{\"a\":\"\\u12g4\"}", false},
      {"{\"a\":\"open}", false},
      {"{} {}", false},
      {"{\"a\":tru}", false},
      {"{\"a\":nul}", false},
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", true},  // 2-, 3- and 4-byte characters
      {"\"\xC3\"", false},                                  // cut short
      {"\"\xC3x\"", false},                                 // not a continuation byte
      {"\"\xC0\xAF\"", false},                             // overlong
      {"\"\xED\xA0\x80\"", false},                         // a surrogate
      {"\"\xF4\x90\x80\x80\"", false},                     // past U+10FFFF
      {"\"\x80\"", false},                                  // a lone continuation byte
      {std::string(256, '[') + std::string(256, ']'), true},
      {std::string(257, '[') + std::string(257, ']'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(json_text_is_valid(c.text), c.valid) << c.text.substr(0, 40);
}

TEST(JsonSkip, StringsAndContainersEndWhereTheyCloseAndNeverReadPastTheText) {
  // Brackets and quotes inside strings do not count; a backslash escapes the quote after it.
  const std::string obj = R"({"a":"}\"]","b":[1,{"c":"{"}]} tail)";
  EXPECT_EQ(json_skip_container(obj, 0), obj.find(" tail"));
  EXPECT_EQ(json_skip_container(obj, obj.find('[')), obj.find("} tail"));
  EXPECT_EQ(json_skip_string(obj, 5), obj.find(",\"b\""));
  EXPECT_EQ(json_skip_string("\"abc", 0), std::string::npos);
  EXPECT_EQ(json_skip_string("\"ab\\\"", 0), std::string::npos);
  EXPECT_EQ(json_skip_container("{\"a\":{1}", 0), std::string::npos);
  EXPECT_EQ(json_skip_container("{\"a\":\"}", 0), std::string::npos);
  // An index at the end or on something else answers npos instead of reading beyond the text.
  EXPECT_EQ(json_skip_container("{}", 2), std::string::npos);
  EXPECT_EQ(json_skip_container("x{}", 0), std::string::npos);
  EXPECT_EQ(json_skip_string("", 0), std::string::npos);
  EXPECT_EQ(json_skip_string("x\"\"", 0), std::string::npos);
}

TEST(JsonUnescape, DecodesEveryEscapeAndKeepsWhatIsNotOne) {
  struct Case {
    const char* body;
    size_t cap;
    std::string out;
  } cases[] = {
      {"plain", SIZE_MAX, "plain"},
      {R"(a\nb\tc\rd\be\ff)", SIZE_MAX, "a\nb\tc\rd\be\ff"},
      {R"(q\"s\\l\/)", SIZE_MAX, "q\"s\\l/"},
      {R"(\u00e9\u0001)", SIZE_MAX, "\xC3\xA9\x01"},
      {R"(\ud83d\ude00)", SIZE_MAX, "\xF0\x9F\x98\x80"},  // a surrogate pair is one character
      {R"(\ud800x)", SIZE_MAX, "\xEF\xBF\xBDx"},          // a lone surrogate becomes U+FFFD
      {R"(\u12)", SIZE_MAX, "u12"},
      {"end\\", SIZE_MAX, "end\\"},
      {R"(abc\ndef)", 4, "abc\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_unescape(c.body, c.cap), c.out) << c.body;
}
