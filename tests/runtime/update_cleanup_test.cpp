#include "runtime/update_cleanup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.h"

using testsupport::file_exists;
using testsupport::TempDir;
using testsupport::write_file;

TEST(UpdateCleanup, RemovesTheLeftoversOfASelfUpdateOnly) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.sub("rest_core.old"), "old binary"));
  ASSERT_TRUE(write_file(dir.sub("rest_core.new"), "half a download"));
  ASSERT_TRUE(write_file(dir.sub("rest_core"), "the running binary"));
  update_cleanup(dir.path());
  EXPECT_FALSE(file_exists(dir.sub("rest_core.old")));
  EXPECT_FALSE(file_exists(dir.sub("rest_core.new")));
  EXPECT_TRUE(file_exists(dir.sub("rest_core")));
}

TEST(UpdateCleanup, LeavesFoldersOfThoseNamesAlone) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.sub("rest_core.old").c_str(), 0755), 0);
  update_cleanup(dir.path());
  EXPECT_TRUE(file_exists(dir.sub("rest_core.old")));
  update_cleanup("");  // no executable folder: nothing to do
}
