// Finding image files in the working directory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "firmware/file_search.h"

namespace {

// Runs each test in a fresh temporary working directory.
class WorkingDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tkfind_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(previous_), 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  static void Touch(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fputs("x", f);
    std::fclose(f);
  }
  // The names the system lists in a directory, in its order.
  static std::vector<std::string> Listed(const char* directory) {
    std::vector<std::string> names;
    DIR* d = opendir(directory);
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
  }
  std::string dir_;
  char previous_[4096] = {};
};

TEST_F(WorkingDir, FirstListedMatchWins) {
  Touch("Q5recovery_6606.bin");
  Touch("Q5recovery_6700.bin");
  Touch("other.txt");
  std::string first;
  for (const std::string& n : Listed(".")) {
    if (n.rfind("Q5recovery_", 0) == 0) {
      first = n;
      break;
    }
  }
  char result[kFoundPathSize];
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_EQ(std::string(result), first);
}

TEST_F(WorkingDir, SubdirectoryRules) {
  ASSERT_EQ(mkdir("sub", 0755), 0);
  Touch("sub/Q5recovery_6606.bin");
  char result[kFoundPathSize] = "junk";
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_STREQ(result, "");  // its path starts with "sub/"

  ASSERT_EQ(mkdir("PackedWebPagesDir", 0755), 0);
  Touch("PackedWebPagesDir/pages.bin");
  FindFileWithPrefix("PackedWebPages", result);
  EXPECT_STREQ(result, "PackedWebPagesDir/pages.bin");
}

TEST_F(WorkingDir, NoMatchAndEmptyDirectoryGiveEmptyText) {
  char result[kFoundPathSize] = "junk";
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_STREQ(result, "");
  Touch("Q5recover.bin");  // one character short of the prefix
  Touch("xQ5recovery_1.bin");
  std::snprintf(result, sizeof result, "junk");
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_STREQ(result, "");
}

TEST_F(WorkingDir, OverlongPathsAreSkippedNotCut) {
  // A path of 128 characters or more does not fit; cut at 127 it would
  // name another file, which must not be chosen in its place.
  std::string longName = "Q5recovery_" + std::string(130, '7') + ".bin";
  Touch(longName);
  char result[kFoundPathSize] = "junk";
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_STREQ(result, "");
  Touch("Q5recovery_6606.bin");
  FindFileWithPrefix("Q5recovery_", result);
  EXPECT_STREQ(result, "Q5recovery_6606.bin");
}

TEST_F(WorkingDir, CollectFilesWalksTheWholeTree) {
  ASSERT_EQ(mkdir("a", 0755), 0);
  ASSERT_EQ(mkdir("a/b", 0755), 0);
  Touch("top.bin");
  Touch("a/mid.bin");
  Touch("a/b/deep.bin");
  ASSERT_EQ(symlink(".", "a/loop"), 0);  // a link loop must not make the walk endless
  std::vector<std::string> paths;
  ASSERT_TRUE(CollectFiles(".", "*", &paths));
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> expected = {"./a/b/deep.bin", "./a/loop", "./a/mid.bin", "./top.bin"};
  EXPECT_EQ(paths, expected);

  EXPECT_TRUE(CollectFiles(".", "*.bin", &paths));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"./top.bin"}));  // "a" itself does not match

  paths = {"stale"};
  EXPECT_FALSE(CollectFiles("./missing", "*", &paths));
  EXPECT_TRUE(paths.empty());
}

}  // namespace
