#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "http/params.h"
#include "runtime/data_root.h"
#include "support/test_support.h"

namespace {

HttpRequest request(std::vector<std::pair<std::string, std::string>> params) {
  HttpRequest r;
  r.method = "GET";
  r.path = "/api/test";
  for (auto& p : params) r.params.push_back(HttpParam{p.first, p.second});
  return r;
}

}  // namespace

TEST(Params, FirstMatchWinsAndNamesAreCaseSensitive) {
  HttpRequest r = request({{"id", "1"}, {"ID", "x"}, {"id", "2"}, {"empty", ""}});
  ASSERT_NE(param_get(r, "id"), nullptr);
  EXPECT_EQ(*param_get(r, "id"), "1");
  EXPECT_EQ(*param_get(r, "ID"), "x");
  EXPECT_EQ(param_get(r, "Id"), nullptr);
  EXPECT_EQ(param_get_or(r, "empty", "fb"), "fb");
  EXPECT_EQ(param_get_or(r, "absent", "fb"), "fb");
  EXPECT_EQ(param_get_or(r, "id", "fb"), "1");
}

TEST(Params, IntegersClampToTheirRange) {
  struct Case {
    const char* value;  // null: parameter absent
    int expected;
  } cases[] = {{"abc", 1}, {"500", 200}, {nullptr, 50}, {"75", 75}, {"-5", 1}, {" 42x", 42},
               {"+7", 7},   {"", 1},     {"99999999999999999999", 200}};
  for (const auto& c : cases) {
    HttpRequest r = c.value ? request({{"limit", c.value}}) : request({});
    EXPECT_EQ(param_get_int_clamped(r, "limit", 50, 1, 200), c.expected) << (c.value ? c.value : "(absent)");
  }
  EXPECT_EQ(param_get_int(request({{"n", "-99999999999"}}), "n", 0), INT32_MIN);
  EXPECT_EQ(param_get_int(request({{"n", "abc"}}), "n", 9), 0);
}

TEST(Params, RepeatedNamesJoinNonEmptyValues) {
  HttpRequest r = request({{"id", "1"}, {"x", "y"}, {"id", ""}, {"id", "2"}});
  EXPECT_EQ(*param_get(r, "id"), "1");
  std::string joined;
  EXPECT_EQ(param_get_joined(r, "id", joined), RC_OK);
  EXPECT_EQ(joined, "1;2");
  EXPECT_EQ(param_get_all(r, "id"), (std::vector<std::string>{"1", "", "2"}));
  std::string none;
  EXPECT_EQ(param_get_joined(r, "zz", none), RC_NOT_FOUND);
  EXPECT_EQ(param_get_joined(request({{"id", ""}}), "id", none), RC_NOT_FOUND);
  // "1;2" needs 4 bytes with its terminator.
  EXPECT_EQ(param_get_joined(r, "id", none, 3), RC_ERROR);
  EXPECT_EQ(param_get_joined(r, "id", none, 4), RC_OK);

  std::vector<std::pair<std::string, std::string>> many;
  for (int i = 0; i < 60; ++i) many.push_back({"n", std::to_string(i)});
  EXPECT_EQ(param_get_all(request(many), "n").size(), 50u);
}

TEST(Params, TruthAndUnsignedNumbers) {
  struct Truth {
    const char* text;
    bool value;
  } truths[] = {{"0", false}, {"false", false}, {"FALSE", false}, {"No", false}, {"", true},
                {"1", true},  {"yes", true},    {"off", true},    {"00", true}};
  for (const auto& t : truths) EXPECT_EQ(is_true(t.text), t.value) << t.text;

  struct U32 {
    const char* text;
    ResultCode rc;
    uint32_t value;
  } nums[] = {{"0", RC_OK, 0},           {"4294967295", RC_OK, 4294967295u}, {"4294967296", RC_INVALID_PARAM, 0},
              {"-1", RC_OK, 4294967295u}, {"  12", RC_OK, 12},               {"+3", RC_OK, 3},
              {"12 ", RC_INVALID_PARAM, 0}, {"", RC_INVALID_PARAM, 0},       {"-", RC_INVALID_PARAM, 0},
              {"1a", RC_INVALID_PARAM, 0}};
  for (const auto& n : nums) {
    uint32_t v = 777;
    EXPECT_EQ(parse_u32(n.text, &v), n.rc) << n.text;
    EXPECT_EQ(v, n.rc == RC_OK ? n.value : 777u) << n.text;
  }
}

TEST(Params, JsonFieldSkipsNestedObjectsAndUnescapesQuotes) {
  std::string out;
  EXPECT_EQ(json_field("{\"a\":{\"b\":1},\"b\":\"x\\\"y\"}", "b", out), RC_OK);
  EXPECT_EQ(out, "x\"y");
  EXPECT_EQ(json_field("{\"a\":{\"b\":1},\"b\":\"x\\\"y\"}", "a", out), RC_NOT_FOUND);
  EXPECT_EQ(json_field("{\"n\": 12 \n}", "n", out), RC_OK);
  EXPECT_EQ(out, "12");
}

TEST(Params, WalletResolutionNormalisesSeparators) {
  testsupport::TempDir dir;
  set_data_root(dir.path());
  struct Case {
    const char* name;
    const char* value;
    std::string expected;
  } cases[] = {
      {"wallet", "Savings/", dir.path() + "/Wallets/Savings"},
      {"wallet", "Savings\\", dir.path() + "/Wallets/Savings"},
      {"wallet_path", "/a/b/", "/a/b"},
      {"wallet_path", "\\a\\b", "/a/b"},
      {"wallet_path", "/", "/"},
      {"wallet_path", "\\\\", "/"},
      {"wallet_path", "rel/x//", "rel/x"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(resolve_wallet(request({{c.name, c.value}}), out), RC_OK) << c.value;
    EXPECT_EQ(out, c.expected) << c.value;
  }
  std::string out;
  EXPECT_EQ(resolve_wallet(request({}), out), RC_OK);
  EXPECT_EQ(out, dir.path() + "/Wallets/Default");
  // An empty wallet_path falls back to the wallet name.
  EXPECT_EQ(resolve_wallet(request({{"wallet_path", ""}, {"wallet", "Mail"}}), out), RC_OK);
  EXPECT_EQ(out, dir.path() + "/Wallets/Mail");
  EXPECT_EQ(resolve_wallet(request({{"wallet", "Missing"}}), out, true), RC_NOT_FOUND);
  // A wallet name never leaves the wallets folder.
  for (const char* bad : {"..", "../..", "a/../../x", ".", "..\\x", "/"}) {
    std::string kept = "unchanged";
    EXPECT_EQ(resolve_wallet(request({{"wallet", bad}}), kept), RC_INVALID_PARAM) << bad;
    EXPECT_EQ(kept, "unchanged");
  }
  // Control characters (a NUL would cut the path short where the system reads it) and paths
  // past 4095 characters are refused in both forms.
  const std::string nul_name("Default\0x", 9);
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"wallet", nul_name},
                                                        {"wallet", "bad\nname"},
                                                        {"wallet_path", "/tmp/x\x01y"},
                                                        {"wallet_path", std::string(4096, 'a')},
                                                        {"wallet", std::string(4096, 'a')}}) {
    std::string kept = "unchanged";
    EXPECT_EQ(resolve_wallet(request({{name, value}}), kept), RC_INVALID_PARAM) << name << "=" << value.substr(0, 20);
    EXPECT_EQ(kept, "unchanged");
  }
  // A name may still name a folder further down inside the wallets folder.
  EXPECT_EQ(resolve_wallet(request({{"wallet", "Team\\Savings"}}), out), RC_OK);
  EXPECT_EQ(out, dir.path() + "/Wallets/Team/Savings");
  EXPECT_EQ(resolve_wallet(request({{"wallet", "my..wallet"}}), out), RC_OK);
  EXPECT_EQ(resolve_wallet(request({{"wallet_path", dir.path() + "/"}}), out, true), RC_OK);
  EXPECT_EQ(out, dir.path());
  set_data_root("");
}

TEST(Params, RequireWalletRepliesWithTheFailingCheck) {
  testsupport::TempDir dir;
  set_data_root(dir.path());
  std::string out;
  HttpResponse resp;
  EXPECT_FALSE(require_wallet(request({{"wallet", "Default"}}), resp, out, false));
  EXPECT_EQ(resp.status, 500);
  EXPECT_EQ(resp.body, "{\"error\":true,\"message\":\"Transport not initialized\",\"code\":500}");
  HttpResponse missing;
  EXPECT_FALSE(require_wallet(request({{"wallet", "Nope"}}), missing, out, true, true));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "{\"error\":true,\"message\":\"Wallet not found\",\"code\":404}");
  HttpResponse ok;
  EXPECT_TRUE(require_wallet(request({{"wallet_path", dir.path()}}), ok, out, true, true));
  EXPECT_EQ(out, dir.path());
  EXPECT_EQ(ok.status, 200);
  set_data_root("");
}

TEST(Params, GuidParametersAndRequestIds) {
  uint8_t g[16];
  HttpResponse resp;
  EXPECT_TRUE(param_guid(request({{"guid", "00112233445566778899AABBCCDDEEFF"}}), resp, "guid", g));
  EXPECT_EQ(guid_to_hex(g), "00112233445566778899aabbccddeeff");
  struct Case {
    std::vector<std::pair<std::string, std::string>> params;
    const char* message;
  } cases[] = {
      {{}, "Missing required GUID parameter"},
      {{{"guid", ""}}, "Missing required GUID parameter"},
      {{{"guid", "0011"}}, "Invalid GUID format"},
      {{{"guid", "00112233445566778899aabbccddeefg"}}, "Invalid GUID format"},
      {{{"guid", "00112233445566778899aabbccddeeff0"}}, "Invalid GUID format"},
  };
  for (const auto& c : cases) {
    HttpResponse r;
    EXPECT_FALSE(param_guid(request(c.params), r, "guid", g));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.reason, "Bad Request");
    EXPECT_EQ(r.body, std::string("{\"error\":true,\"message\":\"") + c.message + "\",\"code\":400}");
  }
  HttpResponse custom;
  EXPECT_FALSE(param_guid(request({}), custom, "guid", g, "Missing message id"));
  EXPECT_NE(custom.body.find("Missing message id"), std::string::npos);

  std::string a = mail_request_id(), b = mail_request_id();
  EXPECT_EQ(a.size(), 16u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}
