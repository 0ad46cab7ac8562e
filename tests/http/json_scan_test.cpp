#include "http/json_scan.h"

#include <gtest/gtest.h>

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
