#include "runtime/fs.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <thread>

#include "runtime/data_root.h"
#include "runtime/log.h"
#include "support/test_support.h"

using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {
// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

// Sends the log to a file for one scope so a test can read the lines written.
class LogCapture {
 public:
  explicit LogCapture(const TempDir& dir) : path_(dir.sub("capture.log")), level_(log_min_level()) {
    log_open(path_);
    log_set_min_level(LOG_DEBUG);
  }
  ~LogCapture() {
    log_close();
    log_set_min_level(level_);
  }
  std::string text() const { return read_file(path_); }

 private:
  std::string path_;
  int level_;
};
}  // namespace

TEST(FileCopy, NoReplaceOntoExistingFileLeavesBothUnchanged) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("src"), "new content"));
  ASSERT_TRUE(write_file(d.sub("dst"), "old"));
  bool existed = false;
  EXPECT_EQ(copy_file_noreplace(d.sub("src"), d.sub("dst"), &existed), RC_OK);
  EXPECT_TRUE(existed);
  EXPECT_EQ(read_file(d.sub("src")), "new content");
  EXPECT_EQ(read_file(d.sub("dst")), "old");
}

TEST(FileCopy, NoReplaceCreatesOwnerOnlyCopy) {
  TempDir d;
  std::string big(20000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(write_file(d.sub("src"), big));
  bool existed = true;
  EXPECT_EQ(copy_file_noreplace(d.sub("src"), d.sub("dst"), &existed), RC_OK);
  EXPECT_FALSE(existed);
  EXPECT_EQ(read_file(d.sub("dst")), big);
  struct stat st;
  ASSERT_EQ(stat(d.sub("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(FileCopy, NoReplaceWithMissingSourceLeavesNoDestination) {
  TempDir d;
  bool existed = true;
  EXPECT_EQ(copy_file_noreplace(d.sub("missing"), d.sub("dst"), &existed), RC_FILE);
  EXPECT_FALSE(existed);
  EXPECT_FALSE(exists(d.sub("dst")));
}

TEST(FileCopy, CopyOntoItselfDoesNotTruncate) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("a"), "keep me"));
  EXPECT_NE(copy_file(d.sub("a"), d.sub("a")), RC_OK);
  EXPECT_EQ(read_file(d.sub("a")), "keep me");
}

TEST(FileMove, SameFileSystemRenames) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("a"), "coin"));
  EXPECT_EQ(move_file(d.sub("a"), d.sub("b")), RC_OK);
  EXPECT_FALSE(exists(d.sub("a")));
  EXPECT_EQ(read_file(d.sub("b")), "coin");
}

TEST(FileMove, AcrossFileSystemsLeavesExactlyOneCompleteCopy) {
  TempDir d;
  LogCapture log(d);
  std::string body(50000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(write_file(d.sub("a"), body));
  ASSERT_EQ(make_dir(d.sub("other")), RC_OK);
  {
    ScopedEnv exdev("RESTCORE_TEST_FORCE_EXDEV", "1");
    EXPECT_EQ(move_file(d.sub("a"), d.sub("other/b")), RC_OK);
  }
  EXPECT_FALSE(exists(d.sub("a")));
  EXPECT_EQ(read_file(d.sub("other/b")), body);
  // Only the fixed part: the log normaliser may rewrite digits in the random scratch path ("1s" -> "1 s").
  EXPECT_NE(log.text().find("Cross-volume move completed: "), std::string::npos);
}

TEST(FileMove, FailedCrossFileSystemCopyLeavesTheSource) {
  TempDir d;
  LogCapture log(d);
  ASSERT_TRUE(write_file(d.sub("a"), "only copy"));
  ScopedEnv exdev("RESTCORE_TEST_FORCE_EXDEV", "1");
  EXPECT_EQ(move_file(d.sub("a"), d.sub("no_such_folder/b")), RC_FILE);
  EXPECT_EQ(read_file(d.sub("a")), "only copy");
  EXPECT_FALSE(exists(d.sub("no_such_folder/b")));
  EXPECT_NE(log.text().find("Failed to copy file for cross-volume move"), std::string::npos);
}

TEST(FileMove, FailedCrossFileSystemCopyLeavesAnExistingDestinationIntact) {
  TempDir d;
  // A source whose size says 0 but whose copy holds bytes: the move fails its size check.
  const std::string src = "/proc/self/status";
  ASSERT_TRUE(write_file(d.sub("dst"), "coin already here"));
  ScopedEnv exdev("RESTCORE_TEST_FORCE_EXDEV", "1");
  EXPECT_EQ(move_file(src, d.sub("dst")), RC_FILE);
  EXPECT_EQ(read_file(d.sub("dst")), "coin already here");
  // Counted raw: the service's own listings would hide a leftover staged copy.
  auto it = std::filesystem::directory_iterator(d.path());
  EXPECT_EQ(std::distance(begin(it), end(it)), 1) << "no staged copy is left behind";
}

TEST(FileMove, OtherRenameFailuresDoNotFallBackToCopy) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("a"), "x"));
  // A folder cannot be replaced by a file: the rename fails with something other than EXDEV.
  ASSERT_EQ(make_dir(d.sub("b")), RC_OK);
  ASSERT_TRUE(write_file(d.sub("b/inner"), "y"));
  EXPECT_EQ(move_file(d.sub("a"), d.sub("b")), RC_FILE);
  EXPECT_EQ(read_file(d.sub("a")), "x");
  EXPECT_TRUE(is_dir(d.sub("b")));
}

TEST(Folders, MakeDirsCreatesParentsAndIgnoresTrailingSeparator) {
  TempDir d;
  EXPECT_EQ(make_dirs(d.sub("x/y/z/")), RC_OK);
  EXPECT_TRUE(is_dir(d.sub("x/y/z")));
  EXPECT_EQ(make_dirs(d.sub("x/y/z")), RC_OK);
  EXPECT_EQ(make_dirs(""), RC_INVALID_PARAM);
  ASSERT_TRUE(write_file(d.sub("file"), "f"));
  EXPECT_EQ(make_dirs(d.sub("file/sub")), RC_FILE);
  EXPECT_EQ(make_dir(d.sub("file")), RC_FILE);
}

TEST(Folders, MakeDirsFullAcceptsBackslashesAndRefusesRelativePaths) {
  TempDir d;
  std::string p = d.path() + "\\m\\n\\";
  EXPECT_EQ(make_dirs_full(p), RC_OK);
  EXPECT_TRUE(is_dir(d.sub("m/n")));
  EXPECT_EQ(make_dirs_full("relative/path"), RC_INVALID_PARAM);
  EXPECT_EQ(make_dirs_full(std::string(5000, 'a')), RC_INVALID_PARAM);
}

TEST(Names, BaseNameAndLastComponent) {
  struct Case {
    const char* in;
    const char* base;
    ResultCode last_rc;
    const char* last;
  } cases[] = {
      {"/a/b/c.bin", "c.bin", RC_OK, "c.bin"},
      {"a\\b\\c", "c", RC_OK, "c"},
      {"/a/b/", "", RC_OK, "b"},
      {"plain", "plain", RC_OK, "plain"},
      {"///", "", RC_INVALID_PARAM, ""},
      {"", "", RC_INVALID_PARAM, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base_name(c.in), c.base) << c.in;
    std::string last;
    EXPECT_EQ(last_component(c.in, &last), c.last_rc) << c.in;
    if (c.last_rc == RC_OK) {
      EXPECT_EQ(last, c.last) << c.in;
    }
  }
}

TEST(Sizes, FileSizeAndFreeSpace) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("f"), std::string(12345, 'q')));
  uint64_t n = 0;
  EXPECT_TRUE(file_size(d.sub("f"), &n));
  EXPECT_EQ(n, 12345u);
  EXPECT_FALSE(file_size(d.sub("missing"), &n));
  EXPECT_FALSE(file_size(d.path(), &n));
  uint64_t free_bytes = 0;
  EXPECT_TRUE(free_space(d.path(), &free_bytes));
  EXPECT_GT(free_bytes, 0u);
  EXPECT_FALSE(free_space(d.sub("missing"), &free_bytes));
}

TEST(AppendUniqueLine, AddsOnceAndNormalisesSeparators) {
  TempDir d;
  set_data_root(d.path());
  // The last line lacks its line feed; the new line must still start on a line of its own.
  ASSERT_TRUE(write_file(d.sub("BackupPlaces.txt"), "/backups/one\r\n/backups/two"));
  EXPECT_EQ(append_unique_line("BackupPlaces.txt", "/backups/one"), RC_OK);
  EXPECT_EQ(append_unique_line("BackupPlaces.txt", "\\backups\\two"), RC_OK);
  EXPECT_EQ(append_unique_line("BackupPlaces.txt", "\\backups\\three"), RC_OK);
  EXPECT_EQ(append_unique_line("BackupPlaces.txt", "/backups/three"), RC_OK);
  EXPECT_EQ(read_file(d.sub("BackupPlaces.txt")), "/backups/one\r\n/backups/two\n/backups/three\n");
  EXPECT_EQ(append_unique_line(d.sub("missing_dir/x.txt"), "line"), RC_FILE);
  set_data_root("");
}

TEST(Listing, SortedAndWithoutDurableTemporaries) {
  TempDir d;
  for (const char* n : {"b.bin", "a.bin", "C.bin", "a.bin.rctmp.123.0"}) ASSERT_TRUE(write_file(d.sub(n), "x"));
  ASSERT_EQ(make_dir(d.sub("sub")), RC_OK);
  ASSERT_EQ(symlink(d.sub("sub").c_str(), d.sub("link").c_str()), 0);
  std::vector<std::string> files, dirs;
  EXPECT_EQ(list_dir(d.path(), LIST_FILES, &files), RC_OK);
  EXPECT_EQ(files, (std::vector<std::string>{"C.bin", "a.bin", "b.bin"}));
  EXPECT_EQ(list_dir(d.path(), LIST_DIRS, &dirs), RC_OK);
  EXPECT_EQ(dirs, (std::vector<std::string>{"link", "sub"}));
  EXPECT_EQ(list_dir(d.sub("missing"), LIST_ALL, &files), RC_NOT_FOUND);
}

TEST(LowLevel, WriteAllFdDeliversALargeBufferWholeAndFailsOnABadDescriptor) {
  // Far more than a pipe holds, so the writer waits on the reader part way through.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const std::string big(1 << 20, 'z');
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t r;
    while ((r = ::read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(r));
  });
  EXPECT_TRUE(write_all_fd(p[1], big.data(), big.size()));
  ::close(p[1]);
  reader.join();
  ::close(p[0]);
  EXPECT_EQ(got, big);
  EXPECT_FALSE(write_all_fd(-1, "x", 1));
  EXPECT_TRUE(write_all_fd(-1, "", 0));
}

TEST(LowLevel, SyncFileAndFolderReportMissingTargets) {
  TempDir d;
  ASSERT_TRUE(write_file(d.sub("f"), "x"));
  EXPECT_TRUE(sync_file(d.sub("f")));
  EXPECT_TRUE(sync_folder_of(d.sub("f")));
  EXPECT_TRUE(sync_folder_of(d.sub("not-yet-there")));  // the folder is what counts
  EXPECT_FALSE(sync_file(d.sub("missing")));
  EXPECT_FALSE(sync_folder_of(d.sub("missing/f")));
  EXPECT_FALSE(sync_file(""));
  EXPECT_FALSE(sync_folder_of(""));
}
