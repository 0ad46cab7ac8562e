#include "runtime/durable_write.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "runtime/fs.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {
// Runs a durable write in a forked child that is told to die at `crash_point`; returns the
// child's exit code (86 when the crash point fired).
int write_in_child_that_crashes(const std::string& path, const std::string& data, const char* crash_point) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("RESTCORE_TEST_CRASH_AT", crash_point, 1);
    ResultCode rc = durable_write(path, data);
    _exit(rc == RC_OK ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every name in the folder, temporaries included (list_dir hides those).
std::vector<std::string> raw_names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  closedir(d);
  return names;
}

size_t temporaries_in(const std::string& folder) {
  size_t n = 0;
  for (const std::string& name : raw_names(folder)) n += is_durable_temp_name(name) ? 1 : 0;
  return n;
}
}  // namespace

TEST(DurableWrite, ReplacesTargetWhole) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("coin.bin"), "old content that is longer"));
  EXPECT_EQ(durable_write(d.sub("coin.bin"), std::string("new")), RC_OK);
  EXPECT_EQ(read_file(d.sub("coin.bin")), "new");
  std::vector<std::string> names;
  ASSERT_EQ(list_dir(d.path(), LIST_ALL, &names), RC_OK);
  EXPECT_EQ(names, (std::vector<std::string>{"coin.bin"}));
}

TEST(DurableWrite, KillBetweenTempFileAndRenameLeavesOldFileIntact) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("coin.bin"), "old coin"));
  EXPECT_EQ(write_in_child_that_crashes(d.sub("coin.bin"), "new coin", "durable_write:before_rename"), 86);
  EXPECT_EQ(read_file(d.sub("coin.bin")), "old coin");

  // The complete temporary file is left behind by the crash, and listings do not show it.
  std::vector<std::string> all;
  ASSERT_EQ(list_dir(d.path(), LIST_ALL, &all), RC_OK);
  EXPECT_EQ(all, (std::vector<std::string>{"coin.bin"}));
  EXPECT_EQ(temporaries_in(d.path()), 1u);

  // A later write in a healthy process still succeeds beside the leftover.
  EXPECT_EQ(durable_write(d.sub("coin.bin"), std::string("newer coin")), RC_OK);
  EXPECT_EQ(read_file(d.sub("coin.bin")), "newer coin");
}

TEST(DurableWrite, KillAfterRenameLeavesNewFile) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("coin.bin"), "old coin"));
  EXPECT_EQ(write_in_child_that_crashes(d.sub("coin.bin"), "new coin", "durable_write:after_rename"), 86);
  EXPECT_EQ(read_file(d.sub("coin.bin")), "new coin");
}

TEST(DurableWrite, FailedLastCheckLeavesTargetAndNoTemporary) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("r.txt"), "before"));
  DurableOptions opt;
  opt.last_check = [] { return RC_LOCKED; };
  EXPECT_EQ(durable_write(d.sub("r.txt"), std::string("after"), opt), RC_LOCKED);
  EXPECT_EQ(read_file(d.sub("r.txt")), "before");
  EXPECT_EQ(temporaries_in(d.path()), 0u);
}

TEST(DurableWrite, VeryLongTargetNameStillWrites) {
  TempDir d;
  std::string name(250, 'n');
  EXPECT_EQ(durable_write(d.sub(name), std::string("x")), RC_OK);
  EXPECT_EQ(read_file(d.sub(name)), "x");
  EXPECT_EQ(raw_names(d.path()).size(), 1u);
}

TEST(DurableWrite, MissingFolderAndEmptyPathFail) {
  TempDir d;
  EXPECT_EQ(durable_write(d.sub("none/x"), std::string("x")), RC_FILE);
  EXPECT_EQ(durable_write("", std::string("x")), RC_INVALID_PARAM);
  EXPECT_FALSE(is_durable_temp_name("coin.bin"));
  EXPECT_TRUE(is_durable_temp_name("coin.bin.rctmp.77.3"));
}

TEST(DurableWrite, AfterCommitRunsOnceWithTheNewContentInPlaceAndOnlyOnSuccess) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("c.bin"), "old"));
  ASSERT_EQ(make_dirs(d.sub("busy/inside")), RC_OK);  // a folder with content: the rename onto it fails
  struct Case {
    const char* name;
    ResultCode check;
    ResultCode expect;
    int runs;
    const char* content_seen;
  };
  const Case cases[] = {
      {"c.bin", RC_OK, RC_OK, 1, "new"},
      {"c.bin", RC_LOCKED, RC_LOCKED, 0, ""},
      {"busy", RC_OK, RC_FILE, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.check));
    ASSERT_TRUE(write_file(d.sub("c.bin"), "old"));
    int runs = 0;
    std::string seen;
    DurableOptions opt;
    opt.last_check = [&] { return c.check; };
    opt.after_commit = [&] {
      ++runs;
      seen = read_file(d.sub(c.name));
    };
    EXPECT_EQ(durable_write(d.sub(c.name), std::string("new"), opt), c.expect);
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(seen, c.content_seen);
    EXPECT_EQ(temporaries_in(d.path()), 0u);
  }
  EXPECT_EQ(read_file(d.sub("c.bin")), "old");
}
