#include "platform/fs/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/error/win_error.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

TEST(PathsTest, JoinUsesExactlyOneSlash) {
  struct Case {
    const char* a;
    const char* b;
    const char* joined;
  } cases[] = {
      {"/", "var/log", "/var/log"},
      {"/", "/var/log", "/var/log"},
      {"/tmp/r", "var/log", "/tmp/r/var/log"},
      {"/tmp/r/", "/var/log/", "/tmp/r/var/log/"},
      {"/tmp/r//", "x", "/tmp/r/x"},
      {"", "x", "x"},
      {"a", "", "a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join(c.a, c.b), c.joined) << c.a << " + " << c.b;
  }
}

TEST(PathsTest, RootsComeFromTheEnvironment) {
  {
    testing_support::TempRoot root;
    EXPECT_EQ(platform::root(), root.path());
    EXPECT_EQ(under_root("/opt/x"), root.path() + "/opt/x");
    EXPECT_EQ(under_sysroot("/proc/net/tcp"), root.path() + "/proc/net/tcp");
    std::string folder;
    ASSERT_TRUE(known_folder(KnownFolder::kProgramData, &folder));
    EXPECT_EQ(folder, root.path() + "/var/log");
  }
  ::unsetenv("DOVADOD_ROOT");
  EXPECT_EQ(platform::root(), "/");
  EXPECT_EQ(under_root("/var/log"), "/var/log");
}

TEST(PathsTest, AppDataAndTempFollowTheirVariables) {
  std::string folder;
  ::setenv("XDG_DATA_HOME", "/x/data/", 1);
  ASSERT_TRUE(known_folder(KnownFolder::kAppData, &folder));
  EXPECT_EQ(folder, "/x/data");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/u", 1);
  ASSERT_TRUE(known_folder(KnownFolder::kAppData, &folder));
  EXPECT_EQ(folder, "/home/u/.local/share");
  ::unsetenv("HOME");
  EXPECT_FALSE(known_folder(KnownFolder::kAppData, &folder));
  EXPECT_EQ(last_error(), kErrorEnvvarNotFound);
  ::unsetenv("TMPDIR");
  ASSERT_TRUE(known_folder(KnownFolder::kTemp, &folder));
  EXPECT_EQ(folder, "/tmp");
}

TEST(PathsTest, CreateDirectoriesReportsWhatWasThere) {
  testing_support::TempRoot root;
  std::string dir = root.file("a/b/c");
  EXPECT_EQ(create_directories(dir), kErrorSuccess);
  EXPECT_EQ(create_directories(dir), kErrorAlreadyExists);
  testing_support::WriteFile(root.file("file"), "x");
  EXPECT_EQ(create_directories(root.file("file")), kErrorFileExists);
  EXPECT_EQ(create_directories(root.file("file/sub")), kErrorPathNotFound);
}

}  // namespace
}  // namespace platform
