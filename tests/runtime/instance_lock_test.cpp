#include "runtime/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

TEST(InstanceLock, TakesOverAStaleFileAndWritesOurPid) {
  testsupport::TempDir tmp;
  ASSERT_TRUE(testsupport::write_file(tmp.sub(".instance.lock"), "pid=99999999\nleftover bytes\n"));
  ASSERT_EQ(acquire_instance_lock(tmp.path()), RC_OK);
  EXPECT_EQ(instance_lock_path(), tmp.sub(".instance.lock"));
  EXPECT_EQ(testsupport::read_file(tmp.sub(".instance.lock")), "pid=" + std::to_string(getpid()) + "\n");
  EXPECT_EQ(acquire_instance_lock(tmp.path()), RC_ERROR);  // already ours
  release_instance_lock();
}

TEST(InstanceLock, SecondProcessGetsBusyAndLeavesTheFileAlone) {
  testsupport::TempDir tmp;
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The first instance: holds the lock until the parent has tried.
    char c = acquire_instance_lock(tmp.path()) == RC_OK ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (read(done[0], &c, 1) != 1) _exit(3);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  const std::string before = testsupport::read_file(tmp.sub(".instance.lock"));
  EXPECT_EQ(before, "pid=" + std::to_string(pid) + "\n");
  EXPECT_EQ(acquire_instance_lock(tmp.path()), RC_BUSY);
  EXPECT_EQ(testsupport::read_file(tmp.sub(".instance.lock")), before);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  // Once the holder is gone the lock is free again.
  EXPECT_EQ(acquire_instance_lock(tmp.path()), RC_OK);
  release_instance_lock();
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST(InstanceLock, RefusesEmptyAndOverlongRoots) {
  EXPECT_EQ(acquire_instance_lock(""), RC_INVALID_PARAM);
  EXPECT_EQ(acquire_instance_lock("/" + std::string(4200, 'x')), RC_INVALID_PARAM);
  EXPECT_EQ(acquire_instance_lock("/nonexistent/dir/for/lock"), RC_FILE);
}

}  // namespace
