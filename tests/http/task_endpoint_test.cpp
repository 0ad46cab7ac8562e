#include "http/task_endpoint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "http/task_registry.h"
#include "runtime/data_root.h"
#include "support/test_support.h"

using testsupport::TempDir;
using testsupport::write_file;

namespace {

class TasksEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    set_data_root(root_.path());
    mkdir(root_.sub("Tasks").c_str(), 0755);
  }
  void TearDown() override { set_data_root(""); }

  HttpResponse poll(std::vector<HttpParam> params) {
    HttpRequest req;
    req.method = "GET";
    req.path = "/api/system/tasks";
    req.params = std::move(params);
    HttpResponse resp;
    handle_system_tasks(req, resp, nullptr);
    return resp;
  }
  static std::string error(int code, const std::string& message) {
    return "{\"error\":true,\"message\":\"" + message + "\",\"code\":" + std::to_string(code) + "}";
  }
  TempDir root_;
};

}  // namespace

TEST_F(TasksEndpoint, ReadsBackStatusProgressMessageAndMergedData) {
  std::string id;
  ASSERT_EQ(task_create(&id, "Depositing"), RC_OK);
  ASSERT_EQ(task_set_text(id, "wallet_path", "C:\\Coins\\W"), RC_OK);
  ASSERT_EQ(task_set_counts(id, 3, 1, 0, 0, 0, 0), RC_OK);
  ASSERT_EQ(task_progress(id, 40, "Half \"way\"\n"), RC_OK);

  HttpResponse resp = poll({{"id", id}});
  EXPECT_EQ(resp.status, 200);
  EXPECT_EQ(resp.body, "{\"status\":\"success\",\"payload\":{\"id\":\"" + id +
                           "\",\"status\":\"running\",\"progress\":40,\"message\":\"Half \\\"way\\\"\\n\","
                           "\"data\":{ \"wallet_path\": \"C:\\\\Coins\\\\W\", \"counts\": { \"bank\": 3, \"fracked\": "
                           "1, \"counterfeit\": 0, \"limbo\": 0, \"duplicate\": 0, \"error\": 0 } },"
                           "\"kovra_total\":25}}");

  ASSERT_EQ(task_complete(id, "Done", "{\"counts\": {\"bank\": 4}}"), RC_OK);
  ASSERT_EQ(task_progress(id, 10, "back to work?"), RC_OK);  // refused: finished tasks stay finished
  resp = poll({{"id", ""}, {"task_id", id}});
  EXPECT_EQ(resp.status, 200);
  EXPECT_NE(resp.body.find("\"status\":\"success\",\"progress\":100,\"message\":\"Done\",\"data\":{ \"wallet_path\": "
                           "\"C:\\\\Coins\\\\W\", \"counts\": {\"bank\": 4} }"),
            std::string::npos)
      << resp.body;
}

TEST_F(TasksEndpoint, OptionalCountersAndAbsentDataAreReported) {
  ASSERT_TRUE(write_file(root_.sub("Tasks/echo1.json"),
                         "{\n  \"status\": \"running\",\n  \"progress\": 5,\n  \"kovra_responded\": 7,\n"
                         "  \"elapsed_ms\": 1200,\n  \"timeout_ms\": 3000\n}\n"));
  HttpResponse resp = poll({{"task_id", "echo1"}});
  EXPECT_EQ(resp.status, 200);
  EXPECT_EQ(resp.body,
            "{\"status\":\"success\",\"payload\":{\"id\":\"echo1\",\"status\":\"running\",\"progress\":5,"
            "\"message\":\"\",\"data\":null,\"kovra_responded\":7,\"elapsed_ms\":1200,\"timeout_ms\":3000,"
            "\"kovra_total\":25}}");

  ASSERT_TRUE(write_file(root_.sub("Tasks/bare.json"), "{}"));
  resp = poll({{"id", "bare"}});
  EXPECT_NE(resp.body.find("\"status\":\"unknown\",\"progress\":0,\"message\":\"\",\"data\":null"), std::string::npos)
      << resp.body;
}

TEST_F(TasksEndpoint, ErrorReplies) {
  ASSERT_TRUE(write_file(root_.sub("Tasks/empty.json"), ""));
  struct Case {
    std::vector<HttpParam> params;
    int status;
    const char* message;
  } cases[] = {
      {{}, 400, "Missing required parameter: id or task_id"},
      {{{"id", ""}, {"task_id", ""}}, 400, "Missing required parameter: id or task_id"},
      {{{"id", "Dec-01-26_01-00-00-am-0000"}}, 404, "Task not found"},
      {{{"task_id", "empty"}}, 500, "Task file is empty"},
  };
  for (const auto& c : cases) {
    HttpResponse resp = poll(c.params);
    EXPECT_EQ(resp.status, c.status) << c.message;
    EXPECT_EQ(resp.body, error(c.status, c.message));
  }
}

TEST_F(TasksEndpoint, IdentifiersThatAreNotTaskNamesReadNothing) {
  // Files a traversal would reach if the identifier became a path unchecked.
  ASSERT_TRUE(write_file(root_.sub("x.json"), "{\"status\": \"secret\"}"));
  mkdir(root_.sub("Tasks/a").c_str(), 0755);
  ASSERT_TRUE(write_file(root_.sub("Tasks/a/b.json"), "{\"status\": \"secret\"}"));
  ASSERT_TRUE(write_file(root_.sub("Tasks/a\\b.json"), "{\"status\": \"secret\"}"));
  for (const char* id : {"../x", "a/b", "a\\b", "..", "/etc/passwd", "a.b"}) {
    for (const char* name : {"id", "task_id"}) {
      HttpResponse resp = poll({{name, id}});
      EXPECT_EQ(resp.status, 400) << id;
      EXPECT_EQ(resp.body.find("secret"), std::string::npos) << id;
    }
  }
}
