// The service's logs and task files seen from outside: tasks polled through /api/system/tasks,
// tasks orphaned by a killed process, the crash report and the start-up rotation of main.log.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <string>

#include "e2e/service_fixture.h"
#include "http/task_registry.h"
#include "runtime/data_root.h"
#include "support/test_support.h"

using testsupport::file_exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

const char kRestartMessage[] = "Interrupted by restart: the previous instance exited before this task finished";

// Points this test process's task registry at the service's data root, so tasks are created
// exactly as a worker inside the service would create them.
struct RegistryOn {
  explicit RegistryOn(const std::string& root) { set_data_root(root); }
  ~RegistryOn() { set_data_root(""); }
};

std::string zip_entry(const std::string& path, const char* name) {
  int err = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (!za) return "<unreadable>";
  std::string out = "<unreadable>";
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat(za, name, 0, &st) == 0) {
    if (zip_file_t* f = zip_fopen(za, name, 0)) {
      out.assign(st.size, '\0');
      if (zip_fread(f, out.data(), st.size) != static_cast<zip_int64_t>(st.size)) out = "<unreadable>";
      zip_fclose(f);
    }
  }
  zip_discard(za);
  return out;
}

}  // namespace

TEST(LogsTasksE2E, TaskIsPolledLiveAndFailedAtTheNextStartAfterAKill) {
  TempDir dir;
  const std::string root = dir.sub("Client_Data");
  const int port = testsupport::free_tcp_port();
  testsupport::Child first;
  ASSERT_TRUE(first.start({RESTCORE_BIN, "-data-dir", dir.path(), "-port", std::to_string(port)}, {},
                          dir.sub("first.out")));
  ASSERT_TRUE(testsupport::wait_for_port(port, 20000)) << read_file(dir.sub("first.out"));

  std::string running_id, done_id;
  {
    RegistryOn on(root);
    ASSERT_EQ(task_create(&running_id, "Depositing 3 coins"), RC_OK);
    ASSERT_EQ(task_set_text(running_id, "wallet_path", "/w/Default"), RC_OK);
    ASSERT_EQ(task_set_counts(running_id, 2, 0, 0, 0, 0, 0), RC_OK);
    ASSERT_EQ(task_set_counts(running_id, 3, 1, 0, 0, 0, 0), RC_OK);
    ASSERT_EQ(task_progress(running_id, 60, "Grading"), RC_OK);
    ASSERT_EQ(task_create(&done_id, nullptr), RC_OK);
    ASSERT_EQ(task_complete(done_id, "All done", "{\"total\": 3}"), RC_OK);
    ASSERT_EQ(task_progress(done_id, 5, "restarted?"), RC_OK);  // refused
  }

  testsupport::HttpReply r = testsupport::http_get(port, "/api/system/tasks?id=" + running_id);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"status\":\"success\",\"payload\":{\"id\":\"" + running_id +
                        "\",\"status\":\"running\",\"progress\":60,\"message\":\"Grading\",\"data\":{ \"wallet_path\": "
                        "\"/w/Default\", \"counts\": { \"bank\": 3, \"fracked\": 1, \"counterfeit\": 0, \"limbo\": 0, "
                        "\"duplicate\": 0, \"error\": 0 } },\"kovra_total\":25}}");
  r = testsupport::http_get(port, "/api/system/tasks?id=&task_id=" + done_id);
  EXPECT_NE(r.body.find("\"status\":\"success\",\"progress\":100,\"message\":\"All done\",\"data\":{ \"total\": 3 }"),
            std::string::npos)
      << r.body;
  for (const char* bad : {"..%2Fx", "a%2Fb", "a%5Cb"}) {
    r = testsupport::http_get(port, std::string("/api/system/tasks?id=") + bad);
    EXPECT_EQ(r.status, 400) << bad << " " << r.body;
  }
  EXPECT_EQ(testsupport::http_get(port, "/api/system/tasks").status, 400);
  EXPECT_EQ(testsupport::http_get(port, "/api/system/tasks?task_id=Jan-01-26_01-00-00-am-0000").status, 404);

  first.kill_now(9);
  ASSERT_NE(first.wait(5000), -1);

  e2e::Service second(dir.path());
  ASSERT_TRUE(second.start()) << second.output();
  r = second.get("/api/system/tasks?task_id=" + running_id);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find(std::string("\"status\":\"failed\",\"progress\":60,\"message\":\"") + kRestartMessage +
                        "\",\"data\":{ \"wallet_path\""),
            std::string::npos)
      << r.body;
  r = second.get("/api/system/tasks?task_id=" + done_id);
  EXPECT_NE(r.body.find("\"status\":\"success\""), std::string::npos) << r.body;
  EXPECT_EQ(second.stop(), 0);
  EXPECT_NE(second.main_log().find("Task reconciliation: failed 1 task(s) orphaned by the previous instance (0 "
                                   "protected for resume)"),
            std::string::npos);
}

TEST(LogsTasksE2E, CrashWritesCrashLogWithBacktraceAndExitsNonZero) {
  TempDir cwd;
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  // crash.log goes to the current directory, which the child inherits.
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  e2e::Service svc;
  e2e::ServiceOptions opts;
  opts.env["RESTCORE_TEST_CRASH_SEGV"] = "1";
  opts.wait_ready = false;
  bool started = svc.start(opts);
  int code = started ? svc.wait_exit(20000) : -1;
  ASSERT_EQ(chdir(old_cwd), 0);
  ASSERT_TRUE(started);
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1) << "still running";

  std::string log = read_file(cwd.sub("crash.log"));
  EXPECT_NE(log.find("Signal: 11 (SIGSEGV)"), std::string::npos) << log;
  EXPECT_NE(log.find("Stack trace:\n  [0] "), std::string::npos) << log;
  EXPECT_NE(log.find("crash_report_test_trigger"), std::string::npos) << log;
  EXPECT_NE(log.find("(main+0x"), std::string::npos) << log;
  EXPECT_NE(svc.output().find("See crash.log for details."), std::string::npos);
}

TEST(LogsTasksE2E, LargeMainLogIsRotatedIntoAZipAndTheOtherLogsOpen) {
  e2e::Service svc;
  const std::string root = svc.data_root();
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  std::string old_log;
  for (int i = 0; old_log.size() < 1048576; ++i) old_log += "[INFO/GEN  ] previous run line " + std::to_string(i) + "\n";
  ASSERT_TRUE(write_file(root + "/main.log", old_log));

  e2e::ServiceOptions opts;
  opts.env["PELKO_SEND_LOG"] = "no";
  ASSERT_TRUE(svc.start(opts)) << svc.output();
  ASSERT_EQ(svc.stop(), 0);

  std::vector<std::string> zips;
  if (DIR* d = opendir((root + "/OldLogs").c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name).rfind("main_", 0) == 0) zips.push_back(e->d_name);
    closedir(d);
  }
  ASSERT_EQ(zips.size(), 1u);
  EXPECT_EQ(zips[0].substr(zips[0].size() - 4), ".zip");
  EXPECT_EQ(zip_entry(root + "/OldLogs/" + zips[0], "main.log"), old_log);

  std::string fresh = svc.main_log();
  EXPECT_LT(fresh.size(), old_log.size());
  EXPECT_EQ(fresh.find("previous run line"), std::string::npos);
  EXPECT_NE(fresh.find("Pelko send log: disabled"), std::string::npos);
  EXPECT_NE(fresh.find("Telemetry: logging to"), std::string::npos);
  EXPECT_EQ(read_file(root + "/kovra_telemetry.csv").rfind("timestamp,timestamp_ms,call_id,", 0), 0u);
  EXPECT_FALSE(file_exists(root + "/send.log"));
}

TEST(LogsTasksE2E, LeftoversOfASelfUpdateBesideTheExecutableAreRemovedAtStart) {
  // A copy of the binary in a scratch folder, so the leftovers sit beside "its" executable.
  TempDir dir;
  const std::string exe = dir.sub("rest_core");
  ASSERT_TRUE(write_file(exe, read_file(RESTCORE_BIN)));
  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir.sub("rest_core.old"), "previous version"));
  ASSERT_TRUE(write_file(dir.sub("rest_core.new"), "half a download"));

  const int port = testsupport::free_tcp_port();
  testsupport::Child svc;
  // Normalising off: it would rewrite digits of the random scratch path ("1s" -> "1 s") in the log.
  ASSERT_TRUE(svc.start({exe, "-data-dir", dir.path(), "-port", std::to_string(port)},
                        {{"RESTCORE_LOG_NORMALIZE", "0"}}, dir.sub("out.txt")));
  ASSERT_TRUE(testsupport::wait_for_port(port, 20000)) << read_file(dir.sub("out.txt"));
  EXPECT_FALSE(file_exists(dir.sub("rest_core.old")));
  EXPECT_FALSE(file_exists(dir.sub("rest_core.new")));
  EXPECT_TRUE(file_exists(exe));
  testsupport::http_post(port, "/api/system/shutdown", "");
  EXPECT_EQ(svc.wait(15000), 0);

  const std::string log = read_file(dir.sub("Client_Data/main.log"));
  EXPECT_NE(log.find("Update cleanup: removed " + dir.sub("rest_core.old")), std::string::npos) << log;
  EXPECT_NE(log.find("Update cleanup: removed incomplete " + dir.sub("rest_core.new")), std::string::npos) << log;
}
