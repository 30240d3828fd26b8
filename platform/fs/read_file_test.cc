#include "platform/fs/read_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/support/temp_root.h"

namespace {

using testing_support::TempRoot;
using testing_support::WriteFile;

TEST(ReadFileTest, ReadsRegularFilesWithinTheLimitOnly) {
  TempRoot root;
  const std::string file = root.file("a.json");
  WriteFile(file, "[1, 2]");
  ASSERT_EQ(::symlink(file.c_str(), root.file("link.json").c_str()), 0);
  ASSERT_EQ(::mkfifo(root.file("fifo.json").c_str(), 0600), 0);

  std::string text = "unchanged";
  long long size = -1;
  EXPECT_EQ(platform::read_file_no_links(file.c_str(), 6, &text, &size), 0);
  EXPECT_EQ(text, "[1, 2]");
  EXPECT_EQ(size, 6);

  text = "unchanged";
  EXPECT_EQ(platform::read_file_no_links(file.c_str(), 5, &text, &size), EFBIG);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(platform::read_file_no_links(root.file("link.json").c_str(), 100, &text), EACCES);
  EXPECT_EQ(platform::read_file_no_links(root.file("fifo.json").c_str(), 100, &text), EACCES);
  EXPECT_EQ(platform::read_file_no_links(root.file("none.json").c_str(), 100, &text), ENOENT);
  EXPECT_EQ(text, "unchanged");
}

}  // namespace
