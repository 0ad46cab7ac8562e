// The route table and the event stream as the running service presents them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/service_fixture.h"
#include "http/sse_client.h"

namespace {

e2e::ServiceOptions short_keepalive() {
  e2e::ServiceOptions o;
  o.env["RESTCORE_TEST_SSE_KEEPALIVE_MS"] = "300";
  return o;
}

}  // namespace

TEST(RoutesE2E, UnknownPathAndUnbuiltRouteAnswerJsonErrors) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start());
  auto unknown = svc.get("/api/no/such/route");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, "{\"error\":true,\"message\":\"Endpoint not found\",\"code\":404}");
  // Paths match exactly: a trailing slash is another path.
  EXPECT_EQ(svc.get("/api/drd/user/get/").status, 404);

  auto stub = svc.get("/api/drd/user/get?user=1");
  EXPECT_EQ(stub.status, 501);
  EXPECT_NE(stub.head.find("501 Not Implemented"), std::string::npos);
  EXPECT_EQ(stub.body, "{\"error\":true,\"message\":\"Not implemented\",\"code\":501,\"detail\":\"/api/drd/user/get\"}");

  auto join = svc.post("/api/coins/join", "target_denomination=1&wallet=Default");
  EXPECT_EQ(join.status, 501);
  EXPECT_NE(join.body.find("\"operation\":\"join_coins\""), std::string::npos);
  EXPECT_EQ(svc.stop(), 0);
  EXPECT_NE(svc.main_log().find("Registered 151 API endpoints"), std::string::npos);
}

TEST(RoutesE2E, EventStreamSendsKeepAlivesAndRefusesANinthClient) {
  e2e::Service svc;
  ASSERT_TRUE(svc.start(short_keepalive()));
  const int sse_port = svc.port() + 100;
  std::vector<std::unique_ptr<sse_test::Client>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<sse_test::Client>());
    ASSERT_TRUE(clients.back()->open_stream(sse_port)) << i;
    ASSERT_TRUE(clients.back()->read_until(": connected\n\n", 5000)) << i;
    EXPECT_EQ(clients.back()->received.substr(0, sse_test::kStreamHead.size()), sse_test::kStreamHead);
  }
  sse_test::Client ninth;
  ASSERT_TRUE(ninth.open_stream(sse_port));
  EXPECT_TRUE(ninth.wait_closed(5000));
  EXPECT_EQ(ninth.received, sse_test::kStreamHead);
  for (auto& c : clients) EXPECT_TRUE(c->read_until(": keepalive\n\n", 5000));
  EXPECT_EQ(svc.stop(), 0);
  std::string log = svc.main_log();
  EXPECT_NE(log.find("SSE event stream running on http://127.0.0.1:" + std::to_string(sse_port) + "/events"),
            std::string::npos);
  EXPECT_NE(log.find("SSE: client connected (now 8)"), std::string::npos);
  EXPECT_NE(log.find("SSE: stopped"), std::string::npos);
}
