#include <gtest/gtest.h>

#include <string>

#include "http/json_scan.h"
#include "http/reply.h"
#include "http/strict_json.h"

TEST(Reply, SuccessAndMessageEnvelopes) {
  JsonBuilder b;
  begin_success(b, "wallets_list");
  b.member_int("count", 2);
  b.end_object();
  HttpResponse resp;
  reply_json(resp, b);
  EXPECT_EQ(resp.body, "{\"command\":\"wallets_list\",\"success\":true,\"count\":2}");
  EXPECT_EQ(resp.content_type, "application/json");

  JsonBuilder m;
  begin_message(m, "Sent");
  m.end_object();
  EXPECT_EQ(m.text(), "{\"success\":true,\"message\":\"Sent\"}");
  JsonBuilder bare;
  begin_message(bare, nullptr);
  bare.member_int("n", 1);
  bare.end_object();
  EXPECT_EQ(bare.text(), "{\"success\":true,\"n\":1}");
}

TEST(Reply, TaskStartedMembersCarryThePollUrl) {
  JsonBuilder b;
  begin_success(b, "deposit");
  add_task_started(b, "abc123", 8081);
  b.end_object();
  EXPECT_EQ(b.text(),
            "{\"command\":\"deposit\",\"success\":true,\"task_id\":\"abc123\","
            "\"url\":\"http://localhost:8081/api/system/tasks?task_id=abc123\"}");
  JsonBuilder none;
  none.begin_object();
  add_task_started(none, "", 8081);
  none.end_object();
  EXPECT_EQ(none.text(), "{\"task_id\":\"\"}");
  reply_set_service_port(9090);
  JsonBuilder port;
  port.begin_object();
  add_task_started(port, "t");
  port.end_object();
  EXPECT_NE(port.text().find("localhost:9090/"), std::string::npos);
  reply_set_service_port(0);
}

TEST(Reply, ErrorVariantsCarryTheStandardReasonPhraseOfTheirStatus) {
  struct Case {
    int status;
    const char* reason;
  } cases[] = {
      {400, "Bad Request"},        {401, "Unauthorized"},   {403, "Forbidden"},
      {404, "Not Found"},          {405, "Method Not Allowed"}, {408, "Request Timeout"},
      {409, "Conflict"},           {413, "Payload Too Large"},  {414, "URI Too Long"},
      {500, "Internal Server Error"}, {501, "Not Implemented"}, {503, "Service Unavailable"},
      {418, "Bad Request"},        {599, "Internal Server Error"},
  };
  for (const auto& c : cases) {
    HttpResponse a, d, m, l;
    reply_error(a, c.status, "m");
    reply_error_detail(d, c.status, "m", "x");
    reply_mail_error(m, c.status, "m", "r1");
    reply_mail_error_logged(l, c.status, "m", "r1", true, RC_ERROR);
    for (const HttpResponse* r : {&a, &d, &m, &l}) {
      EXPECT_EQ(r->status, c.status);
      EXPECT_EQ(r->reason, c.reason) << c.status;
    }
  }
  HttpResponse r;
  reply_error(r, 400, nullptr);
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":null,\"code\":400}");
  reply_error_detail(r, 501, "Not implemented", "/api/x");
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"Not implemented\",\"code\":501,\"detail\":\"/api/x\"}");
  reply_error_detail(r, 500, "m", "");
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"m\",\"code\":500}");
  reply_error_code(r, 500, "Make change command failed", RC_TIMEOUT);
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"Make change command failed\",\"code\":500,\"detail\":\"Timeout\"}");
  reply_error_code(r, 500, "m", RC_OK);
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"m\",\"code\":500}");
  reply_mail_error(r, 409, "Busy", "00ff");
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"Busy\",\"code\":409,\"request_id\":\"00ff\"}");
  reply_mail_error_logged(r, 503, "Down", "", true, RC_NETWORK);
  EXPECT_EQ(r.body, "{\"error\":true,\"message\":\"Down\",\"code\":503,\"detail\":\"Network error\"}");
}

TEST(Reply, ResultCodeRepliesOfTheMailDatabase) {
  HttpResponse ok;
  EXPECT_TRUE(reply_result_code(ok, RC_OK, nullptr, "r"));
  EXPECT_EQ(ok.status, 200);
  EXPECT_TRUE(ok.body.empty());
  HttpResponse nf;
  EXPECT_FALSE(reply_result_code(nf, RC_NOT_FOUND, nullptr, "r"));
  EXPECT_EQ(nf.body, "{\"error\":true,\"message\":\"Not found\",\"code\":404,\"request_id\":\"r\"}");
  HttpResponse db;
  EXPECT_FALSE(reply_result_code(db, RC_FILE, nullptr, "r"));
  EXPECT_EQ(db.status, 500);
  EXPECT_EQ(db.body,
            "{\"error\":true,\"message\":\"Database error\",\"code\":500,\"detail\":\"File error\",\"request_id\":\"r\"}");
}

TEST(Reply, UnfinishedBuilderBecomesA500NotACutReply) {
  JsonBuilder open;
  begin_success(open, "x");
  HttpResponse resp;
  reply_json(resp, open);
  EXPECT_EQ(resp.status, 500);
  EXPECT_TRUE(strict_json::valid(resp.body));
  EXPECT_NE(resp.body.find("\"code\":500"), std::string::npos);

  JsonBuilder broken;
  broken.begin_object();
  broken.end_object();
  broken.end_array();
  HttpResponse r2;
  reply_json(r2, broken);
  EXPECT_EQ(r2.status, 500);
}

TEST(Reply, FileBodyNeedsAReadableFile) {
  HttpResponse resp;
  resp.body = "stale";
  EXPECT_EQ(reply_file(resp, "/nonexistent/file.bin", "application/octet-stream", false), RC_FILE);
  EXPECT_EQ(resp.status, 500);
  EXPECT_TRUE(resp.body.empty());
  EXPECT_TRUE(resp.file_path.empty());
  HttpResponse ok;
  EXPECT_EQ(reply_file(ok, "/proc/self/status", "text/plain", true), RC_OK);
  EXPECT_EQ(ok.file_path, "/proc/self/status");
  EXPECT_EQ(ok.content_type, "text/plain");
  EXPECT_TRUE(ok.delete_file_after_send);
}

TEST(Redaction, SecretMembersAreHiddenAtAnyDepth) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"{\"an\":\"0011\",\"sn\":5}", "{\"an\":\"[redacted]\",\"sn\":5}"},
      {"{\"receipt\":{\"ans\":[\"aa\",\"bb\"],\"total\":3},\"ok\":true}",
       "{\"receipt\":{\"ans\":\"[redacted]\",\"total\":3},\"ok\":true}"},
      {"{\"coins\":[{\"pans\":{\"0\":\"x\"}},{\"Seed\":12345}]}",
       "{\"coins\":[{\"pans\":\"[redacted]\"},{\"Seed\":\"[redacted]\"}]}"},
      {"{ \"password\" : \"p\\\"w\" , \"ticket\":7}", "{ \"password\" : \"[redacted]\" , \"ticket\":\"[redacted]\"}"},
      {"{\"locker_key\":\"k\",\"locker_code\":\"c\",\"pan\":\"p\"}",
       "{\"locker_key\":\"[redacted]\",\"locker_code\":\"[redacted]\",\"pan\":\"[redacted]\"}"},
      // Values that merely equal a secret name are left alone, and so are look-alike names.
      {"{\"name\":\"an\",\"answer\":1,\"list\":[\"an\",\"seed\"]}", "{\"name\":\"an\",\"answer\":1,\"list\":[\"an\",\"seed\"]}"},
      // A body cut short in the middle of a secret still hides what is there.
      {"{\"ok\":1,\"an\":\"00112233", "{\"ok\":1,\"an\":\"[redacted]\""},
      {"not json at all", "not json at all"},
  };
  for (const auto& c : cases) EXPECT_EQ(json_redact_secrets(c.in), c.out) << c.in;
}
