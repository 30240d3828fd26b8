#include "platform/shared_page/shared_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/error/win_error.h"
#include "tests/support/temp_root.h"

namespace {

using platform::SharedPage;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

TEST(SharedPageTest, CreatesA0644PageThatTheFileShowsAndReopensIt) {
  TempRoot root;
  const std::string path = root.path() + "/run/dovadod/global/shmroutestats.shm";
  EXPECT_EQ(SharedPage::page_path("Global\\shmroutestats"), path);
  {
    SharedPage page;
    ASSERT_EQ(page.open("Global\\shmroutestats"), 0u);
    EXPECT_TRUE(page.created());
    std::memcpy(page.data() + 8, "hello", 5);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), SharedPage::kPageSize);
    EXPECT_EQ(bytes.substr(8, 5), "hello");
  }
  SharedPage again;
  ASSERT_EQ(again.open("Local\\shmroutestats"), 0u);
  EXPECT_FALSE(again.created());
  EXPECT_EQ(std::memcmp(again.data() + 8, "hello", 5), 0);
}

// Whatever else holds the name is refused with 6 and left as it was.
TEST(SharedPageTest, RefusesLinksOtherSizesAndOtherKinds) {
  TempRoot root;
  const std::string dir = root.path() + "/run/dovadod/global/";
  SharedPage made;
  ASSERT_EQ(made.open("Global\\made"), 0u);  // makes the folder
  WriteFile(root.path() + "/victim", std::string(4096, 'v'));
  ASSERT_EQ(::symlink((root.path() + "/victim").c_str(), (dir + "link.shm").c_str()), 0);
  ASSERT_EQ(::link((root.path() + "/victim").c_str(), (dir + "hard.shm").c_str()), 0);
  WriteFile(dir + "short.shm", "tiny");
  ASSERT_EQ(::mkfifo((dir + "fifo.shm").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((dir + "dir.shm").c_str(), 0755), 0);
  for (const char* name : {"Global\\link", "Global\\hard", "Global\\short", "Global\\fifo"}) {
    SharedPage page;
    EXPECT_EQ(page.open(name), platform::kErrorInvalidHandle) << name;
    EXPECT_EQ(platform::last_error(), platform::kErrorInvalidHandle);
    EXPECT_FALSE(page.is_open());
  }
  SharedPage page;
  EXPECT_NE(page.open("Global\\dir"), 0u);
  if (::geteuid() == 0) {  // another account's page
    WriteFile(dir + "theirs.shm", std::string(4096, 't'));
    ASSERT_EQ(::chown((dir + "theirs.shm").c_str(), 65534, 65534), 0);
    EXPECT_EQ(page.open("Global\\theirs"), platform::kErrorAccessDenied);
  }
  EXPECT_EQ(ReadFile(root.path() + "/victim"), std::string(4096, 'v'));
  EXPECT_EQ(ReadFile(dir + "short.shm"), "tiny");
}

}  // namespace
