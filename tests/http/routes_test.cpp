#include <gtest/gtest.h>

#include <set>
#include <string>

#include "http/http_server.h"
#include "http/routes.h"
#include "http/strict_json.h"

namespace {

const RouteEntry* find_route(const HttpServer& s, const std::string& path) {
  for (const RouteEntry& r : s.routes)
    if (r.path == path) return &r;
  return nullptr;
}

HttpResponse call(const HttpServer& s, const std::string& path, HttpRequest req = {}) {
  req.path = path;
  if (req.method.empty()) req.method = "GET";
  HttpResponse resp;
  const RouteEntry* r = find_route(s, path);
  EXPECT_NE(r, nullptr) << path;
  if (r) r->handler(req, resp, r->context);
  return resp;
}

class Routes : public ::testing::Test {
 protected:
  void SetUp() override {
    routes_reset();
    http_server_prepare(server, 0);
  }
  void TearDown() override {
    routes_reset();
    http_set_api_token("");
  }
  HttpServer server;
};

}  // namespace

TEST_F(Routes, AllPathsRegisteredOnceInTheirOrder) {
  ASSERT_EQ(route_row_count(), 151u);
  EXPECT_EQ(routes_register_all(server), 151);
  ASSERT_EQ(server.routes.size(), 151u);
  std::set<std::string> seen;
  for (size_t i = 0; i < server.routes.size(); ++i) {
    EXPECT_EQ(server.routes[i].path, route_rows()[i].path);
    EXPECT_TRUE(seen.insert(server.routes[i].path).second) << server.routes[i].path;
  }
  EXPECT_EQ(server.routes.front().path, "/api/kovra/echo");
  EXPECT_EQ(server.routes[8].path, "/api/health/run");
  EXPECT_EQ(server.routes.back().path, "/api/debug/loopback-test");
  EXPECT_EQ(find_route(server, "/api/system/shutdown")->context, &server);
}

TEST_F(Routes, UnbuiltRoutesAnswerNotImplementedWithThePath) {
  routes_register_all(server);
  for (const char* path : {"/api/wallets/list", "/oauth/uersinfo", "/api/pelko/db/messages/list"}) {
    HttpResponse r = call(server, path);
    EXPECT_EQ(r.status, 501);
    EXPECT_EQ(r.reason, "Not Implemented");
    EXPECT_EQ(r.body, std::string("{\"error\":true,\"message\":\"Not implemented\",\"code\":501,\"detail\":\"") + path +
                          "\"}");
  }
}

TEST_F(Routes, ProvidedHandlerServesTheRowAndItsAliases) {
  int calls = 0;
  EXPECT_EQ(routes_provide("/api/locker/put",
                           [&calls](const HttpRequest&, HttpResponse& resp, void*) {
                             ++calls;
                             resp.body = "{}";
                           }),
            RC_OK);
  // An alias is not a key of its own: it always follows its row group.
  EXPECT_EQ(routes_provide("/api/locker/put-one-coin", nullptr), RC_NOT_FOUND);
  EXPECT_EQ(routes_provide("/api/unknown", nullptr), RC_NOT_FOUND);
  routes_register_all(server);
  for (const char* p : {"/api/locker/put", "/api/locker/put-one-coin", "/api/transactions/locker/put",
                        "/api/transactions/locker/put-one-coin"}) {
    HttpResponse r = call(server, p);
    EXPECT_EQ(r.status, 200) << p;
  }
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(call(server, "/api/locker/put-no-sum").status, 501);
}

TEST_F(Routes, ObjectTransferRoutesCheckTheSessionTokenFirst) {
  bool reached = false;
  routes_provide("/api/pelko/net/objects/upload",
                 [&reached](const HttpRequest&, HttpResponse&, void*) { reached = true; });
  routes_register_all(server);
  http_set_api_token("abc");
  HttpRequest bad;
  bad.bearer_token = "ab";
  HttpResponse r = call(server, "/api/pelko/net/objects/upload", bad);
  EXPECT_EQ(r.status, 401);
  EXPECT_FALSE(reached);
  EXPECT_EQ(call(server, "/api/pelko/net/object-transfers/cancel").status, 401);
  HttpRequest good;
  good.bearer_token = "abc";
  call(server, "/api/pelko/net/objects/upload", good);
  EXPECT_TRUE(reached);
  // Other routes never look at the token.
  EXPECT_EQ(call(server, "/api/wallets/list").status, 501);
}

TEST_F(Routes, JoinIsAlwaysRefused) {
  routes_register_all(server);
  HttpResponse missing = call(server, "/api/coins/join");
  EXPECT_EQ(missing.status, 400);
  EXPECT_EQ(missing.body,
            "{\"error\":true,\"message\":\"Missing required parameter: target_denomination\",\"code\":400}");
  HttpRequest req;
  req.params.push_back({"denomination", "3"});
  req.params.push_back({"wallet_path", "/w/x/"});
  HttpResponse r = call(server, "/api/coins/join", req);
  EXPECT_EQ(r.status, 501);
  EXPECT_EQ(r.reason, "Not Implemented");
  EXPECT_EQ(r.body,
            "{\"error\":true,\"message\":\"Join operation requires coin type conversion - use make_change instead\","
            "\"code\":501,\"operation\":\"join_coins\",\"target_denomination\":3,\"wallet_path\":\"/w/x\"}");
  EXPECT_TRUE(strict_json::valid(r.body));
}
