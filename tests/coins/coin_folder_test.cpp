#include "coins/coin_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.h"

using namespace testsupport;

namespace {

TEST(CoinFolder, ListingIsSortedAndSkipsTemporariesAndFolders) {
  TempDir dir;
  for (const char* name : {"b.bin", "A.BIN", "a.bin", "10 Zorbit.bin", "2 Zorbit.bin", "notes.txt",
                           "c.bin.rctmp.123.0", "d.bin.4242.1700000000000.tmp", ".hidden.bin"}) {
    ASSERT_TRUE(write_file(dir.sub(name), "x"));
  }
  ASSERT_EQ(::mkdir(dir.sub("sub.bin").c_str(), 0700), 0);
  std::vector<std::string> names;
  ASSERT_EQ(list_coin_files(dir.path(), &names), RC_OK);
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.bin", "10 Zorbit.bin", "2 Zorbit.bin", "A.BIN", "a.bin", "b.bin"}));
  ASSERT_EQ(list_folder_files(dir.path(), "", &names), RC_OK);
  EXPECT_EQ(names.size(), 7u);
  EXPECT_EQ(names[6], "notes.txt");
}

TEST(CoinFolder, MissingFolderIsNotFound) {
  TempDir dir;
  std::vector<std::string> names{"stale"};
  EXPECT_EQ(list_coin_files(dir.sub("none"), &names), RC_NOT_FOUND);
  EXPECT_TRUE(names.empty());
  ASSERT_TRUE(write_file(dir.sub("file"), "x"));
  EXPECT_EQ(list_coin_files(dir.sub("file"), &names), RC_NOT_FOUND);
  EXPECT_EQ(list_coin_files("", &names), RC_INVALID_PARAM);
}

}  // namespace
