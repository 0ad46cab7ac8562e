#include "runtime/path_policy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "runtime/data_root.h"
#include "runtime/fs.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {
// A data root inside a scratch folder, with a link inside it that points outside.
class PathPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.sub("Client_Data");
    ASSERT_EQ(make_dirs(root_ + "/mail"), RC_OK);
    ASSERT_EQ(make_dirs(scratch_.sub("outside")), RC_OK);
    ASSERT_EQ(symlink(scratch_.sub("outside").c_str(), (root_ + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((root_ + "/mail").c_str(), (root_ + "/mail_link").c_str()), 0);
    set_data_root(root_);
  }
  void TearDown() override { set_data_root(""); }

  TempDir scratch_;
  std::string root_;
};
}  // namespace

TEST_F(PathPolicyTest, DataRelativeRequestPaths) {
  struct Case {
    const char* text;
    ResultCode rc;
    const char* rel;  // expected result below the data root when accepted
  } cases[] = {
      {"mail/att.bin", RC_OK, "mail/att.bin"},
      {"mail\\att.bin", RC_OK, "mail/att.bin"},
      {"./mail//att.bin", RC_OK, "mail/att.bin"},
      {"new/folder/file", RC_OK, "new/folder/file"},
      {"mail_link/att.bin", RC_OK, "mail_link/att.bin"},
      {"../x", RC_PERMISSION, nullptr},
      {"a/../../x", RC_PERMISSION, nullptr},
      {"a\\..\\..\\x", RC_PERMISSION, nullptr},
      {"mail/..", RC_PERMISSION, nullptr},
      {"/etc/passwd", RC_INVALID_PARAM, nullptr},
      {"\\etc\\passwd", RC_INVALID_PARAM, nullptr},
      {"C:\\x", RC_INVALID_PARAM, nullptr},
      {"mail/a:b", RC_INVALID_PARAM, nullptr},
      {"", RC_INVALID_PARAM, nullptr},
      {"escape", RC_PERMISSION, nullptr},
      {"escape/secret.bin", RC_PERMISSION, nullptr},
      {"escape/not/yet/made", RC_PERMISSION, nullptr},
  };
  std::string with_nul("mail/a.bin\0/../../x", 20);
  std::string ignored;
  EXPECT_EQ(path_resolve(with_nul, PATH_DATA_RELATIVE, &ignored), RC_INVALID_PARAM);
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(path_resolve(c.text, PATH_DATA_RELATIVE, &out), c.rc) << c.text;
    if (c.rc == RC_OK) {
      EXPECT_EQ(out, root_ + "/" + c.rel) << c.text;
    }
  }
}

TEST_F(PathPolicyTest, AbsoluteAndRawModes) {
  std::string out;
  EXPECT_EQ(path_resolve("/a/b/../c", PATH_ABSOLUTE, &out), RC_OK);
  EXPECT_EQ(out, "/a/c");
  EXPECT_EQ(path_resolve("\\a\\b", PATH_ABSOLUTE, &out), RC_OK);
  EXPECT_EQ(out, "/a/b");
  EXPECT_EQ(path_resolve("relative", PATH_ABSOLUTE, &out), RC_INVALID_PARAM);
  EXPECT_EQ(path_resolve("C:\\x", PATH_ABSOLUTE, &out), RC_INVALID_PARAM);
  EXPECT_EQ(path_resolve("any ../thing", PATH_RAW, &out), RC_OK);
  EXPECT_EQ(out, "any ../thing");
  EXPECT_EQ(path_resolve("x", 7, &out), RC_INVALID_PARAM);
}

TEST_F(PathPolicyTest, StoreFormIsTheReverseOfResolve) {
  std::string disk, stored;
  ASSERT_EQ(path_resolve("mail/att.bin", PATH_DATA_RELATIVE, &disk), RC_OK);
  EXPECT_EQ(store_form(disk, PATH_DATA_RELATIVE, &stored), RC_OK);
  EXPECT_EQ(stored, "mail/att.bin");
  EXPECT_EQ(store_form(root_, PATH_DATA_RELATIVE, &stored), RC_INVALID_PARAM);
  EXPECT_EQ(store_form(scratch_.sub("outside/f"), PATH_DATA_RELATIVE, &stored), RC_PERMISSION);
  EXPECT_EQ(store_form(root_ + "/escape/f", PATH_DATA_RELATIVE, &stored), RC_PERMISSION);
  EXPECT_EQ(store_form(root_ + "/mail/../mail/x", PATH_ABSOLUTE, &stored), RC_OK);
  EXPECT_EQ(stored, root_ + "/mail/x");
}

TEST_F(PathPolicyTest, ClassifyAndContainment) {
  EXPECT_EQ(path_classify(root_ + "/mail/x"), PATH_INSIDE);
  EXPECT_EQ(path_classify(root_ + "/escape/x"), PATH_OUTSIDE);
  EXPECT_EQ(path_classify(scratch_.sub("outside")), PATH_OUTSIDE);
  // A sibling whose name merely starts with the root's name is outside.
  EXPECT_EQ(path_classify(root_ + "2/x"), PATH_OUTSIDE);

  std::string resolved;
  ASSERT_EQ(final_path(root_, &resolved), RC_OK);
  EXPECT_TRUE(is_inside_data_root(resolved + "/mail"));
  EXPECT_FALSE(is_inside_data_root(resolved + "_other"));

  EXPECT_TRUE(path_within("/a/b", "/a/b"));
  EXPECT_TRUE(path_within("/a/b/c", "/a/b"));
  EXPECT_FALSE(path_within("/a/bc", "/a/b"));
  EXPECT_FALSE(path_within("/A/b", "/a/b"));
  EXPECT_TRUE(path_within("/x", "/"));
}

TEST_F(PathPolicyTest, FinalPathResolvesLinksAndNearestAncestor) {
  std::string out;
  std::string outside_resolved;
  ASSERT_EQ(final_path(scratch_.sub("outside"), &outside_resolved), RC_OK);
  EXPECT_EQ(final_path(root_ + "/escape", &out), RC_OK);
  EXPECT_EQ(out, outside_resolved);
  EXPECT_EQ(final_path(root_ + "/missing", &out), RC_NOT_FOUND);
  EXPECT_EQ(final_path_of_nearest(root_ + "/escape/a/b", &out), RC_OK);
  EXPECT_EQ(out, outside_resolved + "/a/b");
}
