#include "http/task_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "runtime/data_root.h"
#include "support/test_support.h"

using testsupport::file_exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

class TaskRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    set_data_root(root_.path());
    mkdir(root_.sub("Tasks").c_str(), 0755);
  }
  void TearDown() override { set_data_root(""); }
  std::string file(const std::string& id) { return read_file(root_.sub("Tasks/" + id + ".json")); }
  std::string make(const char* message = nullptr) {
    std::string id;
    EXPECT_EQ(task_create(&id, message), RC_OK);
    return id;
  }
  TempDir root_;
};

}  // namespace

TEST_F(TaskRegistry, NewIdHasTheDocumentedShape) {
  std::string id = task_new_id();
  EXPECT_TRUE(std::regex_match(id, std::regex(R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d\d-\d\d_(0[1-9]|1[0-2])-\d\d-\d\d-(am|pm)-[0-9a-f]{4})")))
      << id;
  EXPECT_TRUE(task_id_valid(id));
}

TEST_F(TaskRegistry, CreateWritesTheFixedLayout) {
  std::string id = make();
  EXPECT_EQ(file(id), "{\n  \"status\": \"running\",\n  \"task_id\": \"" + id +
                          "\",\n  \"progress\": 0,\n  \"message\": \"Starting task...\",\n  \"data\": {}\n}\n");
  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.status, "running");
  EXPECT_EQ(r.task_id, id);
  EXPECT_EQ(r.progress, 0);
  EXPECT_EQ(r.data, "{}");
}

TEST_F(TaskRegistry, CreateNeverOverwritesAnExistingTask) {
  std::string taken = "Dec-11-26_12-00-00-pm-abcd";
  ASSERT_TRUE(write_file(root_.sub("Tasks/" + taken + ".json"), "precious"));
  std::string id = taken;
  ASSERT_EQ(task_create(&id, "new work"), RC_OK);
  EXPECT_NE(id, taken);
  EXPECT_EQ(file(taken), "precious");
  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.message, "new work");
}

TEST_F(TaskRegistry, MergeKeepsOldMembersAndReplacesRepeatedOnes) {
  std::string id = make();
  ASSERT_EQ(task_set_counts(id, 1, 2, 3, 4, 5, 6), RC_OK);
  ASSERT_EQ(task_set_counts(id, 7, 0, 0, 0, 0, 1), RC_OK);
  ASSERT_EQ(task_set_text(id, "wallet_path", "/w/Default"), RC_OK);
  ASSERT_EQ(task_running(id, 40, "half way", "\"stage\": \"pown\", \"extra\": [1, {\"x\": \"}\"}]"), RC_OK);
  ASSERT_EQ(task_running(id, -1, nullptr, " , \"stage\": \"grade\" ,"), RC_OK);

  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.progress, 40);
  EXPECT_EQ(r.message, "half way");
  EXPECT_EQ(r.data,
            "{ \"counts\": { \"bank\": 7, \"fracked\": 0, \"counterfeit\": 0, \"limbo\": 0, \"duplicate\": 0, "
            "\"error\": 1 }, \"wallet_path\": \"/w/Default\", \"extra\": [1, {\"x\": \"}\"}], \"stage\": \"grade\" }");
}

TEST(TaskMerge, Table) {
  struct Case {
    const char* old_members;
    const char* new_members;
    const char* merged;
  } cases[] = {
      {"", "\"a\":1", "\"a\":1"},
      {"\"a\":1", "", "\"a\":1"},
      {"\"a\":1, \"b\":2", "\"a\":3", "\"b\":2, \"a\":3"},
      {"\"a\":{\"b\":1}", "\"b\":2", "\"a\":{\"b\":1}, \"b\":2"},  // only top-level names count
      {"\"s\":\"x,y\"", "  \"t\":true  ", "\"s\":\"x,y\", \"t\":true"},
  };
  for (const auto& c : cases) EXPECT_EQ(task_merge_members(c.old_members, c.new_members), c.merged) << c.new_members;
}

TEST_F(TaskRegistry, FinishedTaskRefusesToGoBackToRunning) {
  std::string id = make();
  ASSERT_EQ(task_set_text(id, "k", "v"), RC_OK);
  ASSERT_EQ(task_complete(id, "done", nullptr), RC_OK);
  const std::string done = file(id);
  EXPECT_EQ(task_progress(id, 50, "again"), RC_OK);
  EXPECT_EQ(task_running(id, 10, "again", "\"k\": 1"), RC_OK);
  EXPECT_EQ(file(id), done);

  ASSERT_EQ(task_fail(id, "late failure"), RC_OK);  // final to final is allowed
  ASSERT_EQ(task_progress(id, 1, nullptr), RC_OK);
  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.progress, 100);
  EXPECT_EQ(r.message, "late failure");

  ASSERT_EQ(task_complete(id, nullptr, nullptr), RC_OK);
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.status, "success");
  EXPECT_EQ(r.message, "Task complete");
}

TEST_F(TaskRegistry, CompletionResultObjectIsMergedOrIgnoredWhenMalformed) {
  std::string id = make();
  ASSERT_EQ(task_set_text(id, "a", "old"), RC_OK);
  ASSERT_EQ(task_complete(id, nullptr, "  {\"a\":1, \"b\":\"{\"}  trailing"), RC_OK);
  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.data, "{ \"a\":1, \"b\":\"{\" }");

  std::string id2 = make();
  ASSERT_EQ(task_set_text(id2, "keep", "me"), RC_OK);
  ASSERT_EQ(task_complete(id2, "ok", "[1]"), RC_OK);
  ASSERT_EQ(task_read(id2, &r), RC_OK);
  EXPECT_EQ(r.status, "success");
  EXPECT_EQ(r.data, "{ \"keep\": \"me\" }");

  // Balanced brackets are not enough: a value that is not JSON would break every later poll.
  for (const char* bad : {"{\"a\":}", "{\"a\":1,}", "{\"a\" 1}", "{\"a\":\"raw\nline\"}"}) {
    SCOPED_TRACE(bad);
    std::string idb = make();
    ASSERT_EQ(task_set_text(idb, "keep", "me"), RC_OK);
    ASSERT_EQ(task_complete(idb, "ok", bad), RC_OK);
    ASSERT_EQ(task_read(idb, &r), RC_OK);
    EXPECT_EQ(r.data, "{ \"keep\": \"me\" }");
  }

  std::string big = "{\"x\":\"" + std::string(kTaskResultMaxBytes, 'y') + "\"}";
  std::string id3 = make();
  ASSERT_EQ(task_complete(id3, "ok", big.c_str()), RC_OK);
  ASSERT_EQ(task_read(id3, &r), RC_OK);
  EXPECT_EQ(r.data, "{}");
}

TEST_F(TaskRegistry, MessagesWithPathsAndControlCharactersRoundTrip) {
  const std::string msg = "Copied C:\\Coins\\a.bin to \"W\"\n\tdone\x01";
  std::string id = make(msg.c_str());
  EXPECT_NE(file(id).find("\"message\": \"Copied C:\\\\Coins\\\\a.bin to \\\"W\\\"\\n\\tdone\\u0001\""),
            std::string::npos)
      << file(id);
  TaskRecord r;
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.message, msg);
  // An update without a message keeps it byte for byte.
  ASSERT_EQ(task_set_members(id, "\"n\": 1"), RC_OK);
  ASSERT_EQ(task_read(id, &r), RC_OK);
  EXPECT_EQ(r.message, msg);
}

TEST_F(TaskRegistry, IdentifiersThatCouldLeaveTheTasksFolderAreRefused) {
  ASSERT_TRUE(write_file(root_.sub("x.json"), "{\"status\": \"running\"}"));
  ASSERT_TRUE(write_file(root_.sub("Tasks/a.b.json"), "{\"status\": \"running\"}"));
  const std::string bad[] = {"../x", "a/b", "a\\b", "", "..", ".", "a.b", "x y", std::string(64, 'a'), "a\nb"};
  for (const auto& id : bad) {
    TaskRecord r;
    EXPECT_FALSE(task_id_valid(id)) << id;
    EXPECT_EQ(task_file_path(id), "") << id;
    EXPECT_EQ(task_read(id, &r), RC_INVALID_PARAM) << id;
    EXPECT_EQ(task_fail(id, "x"), RC_INVALID_PARAM) << id;
    std::string copy = id;
    if (!id.empty()) {
      EXPECT_EQ(task_create(&copy, "x"), RC_INVALID_PARAM) << id;
    }
  }
  EXPECT_EQ(read_file(root_.sub("x.json")), "{\"status\": \"running\"}");
  EXPECT_TRUE(task_id_valid(std::string(63, 'a')));
}

TEST_F(TaskRegistry, UpdatesOfAMissingTaskReportNotFound) {
  EXPECT_EQ(task_progress("Dec-01-26_01-00-00-am-0000", 5, nullptr), RC_NOT_FOUND);
  TaskFileProblem p;
  TaskRecord r;
  EXPECT_EQ(task_read("nope", &r, &p), RC_NOT_FOUND);
  EXPECT_EQ(p, TASK_FILE_MISSING);
  ASSERT_TRUE(write_file(root_.sub("Tasks/empty.json"), ""));
  EXPECT_EQ(task_read("empty", &r, &p), RC_FILE);
  EXPECT_EQ(p, TASK_FILE_EMPTY);
}

TEST_F(TaskRegistry, ReconcileFailsOrphansAndSparesProtectedAndFinishedTasks) {
  // Files as a previous process left them.
  auto leave = [&](const std::string& id, const char* status, int progress, const char* members) {
    ASSERT_TRUE(write_file(root_.sub("Tasks/" + id + ".json"),
                           task_file_text(status, id, progress, "working", true, members)));
  };
  const std::string orphan = "Dec-10-26_11-00-00-pm-0001", kept = "Dec-10-26_11-00-00-pm-0002",
                    done = "Dec-10-26_11-00-00-pm-0003";
  leave(orphan, "running", 30, "\"wallet\": \"Default\"");
  leave(kept, "running", 10, "");
  leave(done, "success", 100, "");
  const std::string done_text = file(done), kept_text = file(kept);
  const std::string dead_tmp = "Tasks/" + orphan + ".json.rctmp.999999999.0";
  const std::string own_tmp = "Tasks/" + orphan + ".json.rctmp." + std::to_string(getpid()) + ".7";
  ASSERT_TRUE(write_file(root_.sub(dead_tmp), "{half"));
  ASSERT_TRUE(write_file(root_.sub(own_tmp), "{busy"));

  EXPECT_EQ(task_reconcile({kept}), 1);
  TaskRecord r;
  ASSERT_EQ(task_read(orphan, &r), RC_OK);
  EXPECT_EQ(r.status, "failed");
  EXPECT_EQ(r.progress, 30);
  EXPECT_EQ(r.message, "Interrupted by restart: the previous instance exited before this task finished");
  EXPECT_EQ(r.data, "{ \"wallet\": \"Default\" }");
  EXPECT_EQ(file(kept), kept_text);
  EXPECT_EQ(file(done), done_text);
  EXPECT_FALSE(file_exists(root_.sub(dead_tmp)));
  EXPECT_TRUE(file_exists(root_.sub(own_tmp))) << "a temporary file of this process may still be renamed";

  EXPECT_EQ(task_reconcile({}), 1);  // the protected one is failed once nobody claims it
  EXPECT_EQ(task_reconcile({}), 0);
}

// Work of this process that picked up an interrupted task before reconciliation ran (the boot
// recovery resumes a deposit under its old identifier) keeps it: it is not orphaned.
TEST_F(TaskRegistry, ReconcileSparesTasksThisProcessIsWorkingOn) {
  const std::string resumed = "Dec-10-26_11-00-00-pm-0004";
  ASSERT_TRUE(write_file(root_.sub("Tasks/" + resumed + ".json"),
                         task_file_text("running", resumed, 30, "POWN", true, "")));
  ASSERT_EQ(task_progress(resumed, 50, "Recovering 3 coins..."), RC_OK);
  std::string fresh = make("new work");

  EXPECT_EQ(task_reconcile({}), 0);
  TaskRecord r;
  ASSERT_EQ(task_read(resumed, &r), RC_OK);
  EXPECT_EQ(r.status, "running");
  EXPECT_EQ(r.message, "Recovering 3 coins...");
  ASSERT_EQ(task_read(fresh, &r), RC_OK);
  EXPECT_EQ(r.status, "running");
}

TEST_F(TaskRegistry, ReconcileWithoutTasksFolderCountsNothing) {
  testsupport::remove_tree(root_.sub("Tasks"));
  EXPECT_EQ(task_reconcile({}), 0);
  ASSERT_TRUE(write_file(root_.sub("Tasks"), "not a folder"));
  EXPECT_EQ(task_reconcile({}), 0);
}

// A poll that races a worker's updates must always find a whole file: updates replace the file
// by rename, never truncate and rewrite it.
TEST_F(TaskRegistry, ReaderNeverSeesAHalfWrittenTask) {
  std::string id = make();
  const std::string pad(20000, 'p');
  // The reader starts once the task holds the padding, so every whole file it can see has it.
  ASSERT_EQ(task_running(id, 0, "step", ("\"pad\": \"" + pad + "\"").c_str()), RC_OK);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, reads{0};
  std::thread reader([&] {
    while (!stop) {
      TaskRecord r;
      TaskFileProblem p;
      if (task_read(id, &r, &p) != RC_OK || r.status != "running" || r.data.size() < pad.size()) ++bad;
      ++reads;
    }
  });
  for (int i = 0; i < 300; ++i) {
    std::string members = "\"pad\": \"" + pad + "\", \"i\": " + std::to_string(i);
    ASSERT_EQ(task_running(id, i % 100, "step", members.c_str()), RC_OK);
  }
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}
