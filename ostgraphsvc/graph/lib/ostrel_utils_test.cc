#include "graph/ostrel_utils.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "graph/router_log.h"
#include "graph/string.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;

constexpr char kWriteLine[] = " vedororore OstrelUtils::ostwinutls_write_txt2file ";

class OstrelUtilsTest : public ::testing::Test {
 protected:
  std::string Log() const { return log_.text(); }

  testing_support::StartedLog log_{0};
  const testing_support::TempRoot& root_ = log_.root();
};

TEST_F(OstrelUtilsTest, AppendsToTheFileCreatingIt) {
  String path(root_.file("dump.txt").c_str());
  mode_t old_mask = ::umask(022);
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(path, nullptr), 0);
  ::umask(old_mask);
  ASSERT_TRUE(std::filesystem::exists(path.c_str()));
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(path, "flow 1\n"), 7);
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(path, "flow 2 100%\n"), 12);
  EXPECT_EQ(ReadFile(path.c_str()), "flow 1\nflow 2 100%\n");
  EXPECT_EQ(std::filesystem::status(path.c_str()).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  EXPECT_EQ(Log(), "");
}

TEST_F(OstrelUtilsTest, ASecondOpenerIsRefused) {
  std::string path = root_.file("dump.txt");
  int holder = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(String(path.c_str()), "lost"), -3);
  ::close(holder);
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(String(path.c_str()), "kept"), 4);
  EXPECT_EQ(ReadFile(path), "kept");
  EXPECT_EQ(Log(), std::string(kWriteLine) + "Tempfile CreateFile failed\n");
}

TEST_F(OstrelUtilsTest, FailuresAreLoggedAndReturnedAsCodes) {
  struct Case {
    std::string path;
    int result;
    const char* message;
  } cases[] = {
      {root_.file("missing/dump.txt"), -3, "Tempfile CreateFile failed"},
      {"/dev/full", -4, "WriteFile failed. Written 0"},
  };
  for (const Case& c : cases) {
    std::string before = Log();
    EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(String(c.path.c_str()), "text"), c.result)
        << c.path;
    EXPECT_EQ(Log(), before + kWriteLine + c.message + "\n");
  }
}

// A pipe cannot seek: the routine says so and still writes.
TEST_F(OstrelUtilsTest, SeekFailureIsLoggedAndTheTextStillWritten) {
  std::string path = root_.file("dump.fifo");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(OstrelUtils::ostwinutls_write_txt2file(String(path.c_str()), "abc"), 3);
  char buf[8] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "abc");
  ::close(reader);
  EXPECT_EQ(Log(), std::string(kWriteLine) + "Unable to set file pointer to end-of-file in " +
                       path + ".\n");
}

TEST_F(OstrelUtilsTest, LogWritesToTheFileOrWithoutAPathToTheLog) {
  std::string path = root_.file("dump.txt");
  OstrelUtils::ostwinutls_log(String(path.c_str()), String("to the file %d\n"));
  EXPECT_EQ(ReadFile(path), "to the file %d\n");
  EXPECT_EQ(Log(), "");

  OstrelUtils::ostwinutls_log(String(), String("flow table 100%s"));
  EXPECT_EQ(Log(), " vedororore OstrelUtils::ostwinutls_log \nflow table 100%s\n");
  EXPECT_EQ(ReadFile(path), "to the file %d\n");
}

}  // namespace
