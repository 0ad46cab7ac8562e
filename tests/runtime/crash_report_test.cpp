#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "runtime/crash_report.h"
#include "runtime/platform.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::TempDir;

namespace {

// Runs `body` in a forked child whose current directory is `dir`; returns the wait status.
template <typename F>
int run_in_child(const std::string& dir, F body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(3);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

}  // namespace

TEST(CrashReport, SegfaultWritesCrashLogWithBacktraceAndDiesNonZero) {
  TempDir dir;
  int status = run_in_child(dir.path(), [] {
    if (crash_report_install() != RC_OK) _exit(4);
    setenv("RESTCORE_TEST_CRASH_SEGV", "1", 1);
    crash_report_test_trigger();
    _exit(5);  // not reached when the fault happened
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  std::string log = read_file(dir.sub("crash.log"));
  EXPECT_NE(log.find("=== CRASH at 20"), std::string::npos) << log;
  EXPECT_NE(log.find("Signal: 11 (SIGSEGV)"), std::string::npos) << log;
  EXPECT_NE(log.find("Fault address: 0x0000000000000010"), std::string::npos) << log;
  EXPECT_NE(log.find("Stack trace:\n  [0] "), std::string::npos) << log;
  // Several frames, each with its module and address (names need -rdynamic, which only the
  // service binary has; the end-to-end crash test checks them).
  EXPECT_NE(log.find("\n  [2] "), std::string::npos) << log;
  EXPECT_NE(log.find(")[0x"), std::string::npos) << log;
}

namespace {
volatile bool g_stop_recursion = false;

// Recurses until the stack runs out; the array and the use after the call keep every frame.
int exhaust_stack(int depth) {
  if (g_stop_recursion) return 0;
  volatile char pad[1024];
  pad[0] = static_cast<char>(depth);
  return exhaust_stack(depth + 1) + pad[0];
}
}  // namespace

// Overflows the stack of a worker thread that `start_worker` starts in a child with the crash
// report installed; the report must still be written (on the worker's own signal stack).
static void expect_worker_stack_overflow_reported(void (*start_worker)()) {
  TempDir dir;
  int status = run_in_child(dir.path(), [start_worker] {
    if (crash_report_install() != RC_OK) _exit(4);
    start_worker();
    _exit(5);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  std::string log = read_file(dir.sub("crash.log"));
  EXPECT_NE(log.find("Signal: 11 (SIGSEGV)"), std::string::npos) << log;
  EXPECT_NE(log.find("\n  [0] "), std::string::npos) << log;
}

TEST(CrashReport, StackOverflowInAnAttachedWorkerThreadIsReported) {
  expect_worker_stack_overflow_reported([] {
    std::thread worker([] {
      if (crash_report_thread_attach() != RC_OK) _exit(6);
      _exit(exhaust_stack(0) == 0 ? 7 : 8);
    });
    worker.join();
  });
}

TEST(CrashReport, StackOverflowInAPlatformWorkerThreadIsReportedWithoutAnExplicitAttach) {
  expect_worker_stack_overflow_reported([] {
    TimedThread worker;
    if (worker.start([] { _exit(exhaust_stack(0) == 0 ? 7 : 8); }) != RC_OK) _exit(6);
    worker.join();
  });
}

TEST(CrashReport, SecondCrashAppendsToTheSameLog) {
  TempDir dir;
  for (int i = 0; i < 2; ++i) {
    int status = run_in_child(dir.path(), [] {
      crash_report_install();
      abort();
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
  }
  std::string log = read_file(dir.sub("crash.log"));
  size_t first = log.find("(SIGABRT)");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("(SIGABRT)", first + 1), std::string::npos) << log;
}

TEST(CrashReport, TriggerDoesNothingWithoutTheSwitch) {
  TempDir dir;
  int status = run_in_child(dir.path(), [] {
    unsetenv("RESTCORE_TEST_CRASH_SEGV");
    crash_report_install();
    crash_report_test_trigger();
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(testsupport::file_exists(dir.sub("crash.log")));
}
