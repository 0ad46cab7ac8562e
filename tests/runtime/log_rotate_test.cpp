#include <gtest/gtest.h>
#include <dirent.h>
#include <zip.h>

#include <algorithm>
#include <vector>

#include <string>

#include "runtime/log_rotate.h"
#include "support/test_support.h"

using testsupport::file_exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

std::string big_log(size_t bytes) {
  std::string s;
  s.reserve(bytes);
  for (int i = 0; s.size() < bytes; ++i) s += "[INFO/GEN  ] line " + std::to_string(i) + "\n";
  s.resize(bytes);
  return s;
}

// The text of entry "main.log" of the zip at `path`, or "<unreadable>".
std::string zip_entry(const std::string& path) {
  int err = 0;
  zip_t* za = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &err);
  if (!za) return "<unreadable>";
  zip_stat_t st;
  zip_stat_init(&st);
  std::string out = "<unreadable>";
  if (zip_stat(za, "main.log", 0, &st) == 0) {
    zip_file_t* f = zip_fopen(za, "main.log", 0);
    if (f) {
      out.assign(st.size, '\0');
      if (zip_fread(f, out.data(), st.size) != static_cast<zip_int64_t>(st.size)) out = "<unreadable>";
      zip_fclose(f);
    }
  }
  zip_discard(za);
  return out;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(LogRotate, OneMebibyteLogIsZippedIntoOldLogsAndRemoved) {
  TempDir root;
  const std::string text = big_log(kMainLogRotateBytes);
  ASSERT_TRUE(write_file(root.sub("main.log"), text));

  LogRotateResult r;
  ASSERT_EQ(rotate_main_log(root.path(), &r), RC_OK);
  EXPECT_TRUE(r.rotated);
  EXPECT_TRUE(r.zipped);
  EXPECT_FALSE(file_exists(root.sub("main.log")));

  auto names = list_dir(root.sub("OldLogs"));
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(r.moved_to, root.sub("OldLogs/" + names[0]));
  EXPECT_EQ(names[0].rfind("main_", 0), 0u);
  EXPECT_EQ(names[0].size(), std::string("main_20261211_120000.zip").size()) << names[0];
  EXPECT_EQ(zip_entry(r.moved_to), text);
}

TEST(LogRotate, SmallerOrMissingLogIsLeftAlone) {
  TempDir root;
  LogRotateResult r;
  EXPECT_EQ(rotate_main_log(root.path(), &r), RC_OK);
  EXPECT_FALSE(r.rotated);

  const std::string text = big_log(kMainLogRotateBytes - 1);
  ASSERT_TRUE(write_file(root.sub("main.log"), text));
  EXPECT_EQ(rotate_main_log(root.path(), &r), RC_OK);
  EXPECT_FALSE(r.rotated);
  EXPECT_EQ(read_file(root.sub("main.log")), text);
  EXPECT_FALSE(file_exists(root.sub("OldLogs")));
}

TEST(LogRotate, TwoRotationsInOneSecondKeepBothArchives) {
  TempDir root;
  const std::string first = big_log(kMainLogRotateBytes);
  const std::string second = big_log(kMainLogRotateBytes + 10);
  LogRotateResult a, b;
  ASSERT_TRUE(write_file(root.sub("main.log"), first));
  ASSERT_EQ(rotate_main_log(root.path(), &a), RC_OK);
  ASSERT_TRUE(write_file(root.sub("main.log"), second));
  ASSERT_EQ(rotate_main_log(root.path(), &b), RC_OK);
  ASSERT_NE(a.moved_to, b.moved_to);
  EXPECT_EQ(zip_entry(a.moved_to), first);
  EXPECT_EQ(zip_entry(b.moved_to), second);
}

TEST(LogRotate, UnwritableArchiveFolderKeepsTheLog) {
  TempDir root;
  // OldLogs exists as a plain file: neither an archive nor a move can land there.
  ASSERT_TRUE(write_file(root.sub("OldLogs"), "x"));
  const std::string text = big_log(kMainLogRotateBytes);
  ASSERT_TRUE(write_file(root.sub("main.log"), text));
  EXPECT_EQ(rotate_main_log(root.path()), RC_FILE);
  EXPECT_EQ(read_file(root.sub("main.log")), text);
}
