#include "platform/process/process.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

TEST(ProcessTest, IdsAreTheKernels) {
  EXPECT_EQ(current_process_id(), static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(current_thread_id(), static_cast<uint32_t>(::syscall(SYS_gettid)));
  uint32_t other = 0;
  std::thread([&] { other = current_thread_id(); }).join();
  EXPECT_NE(other, current_thread_id());
  EXPECT_NE(other, 0u);
}

TEST(ProcessTest, AForkedChildSeesItsOwnIds) {
  uint32_t parent_pid = current_process_id();
  uint32_t parent_tid = current_thread_id();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    uint32_t ids[2] = {current_process_id(), current_thread_id()};
    (void)!::write(fds[1], ids, sizeof ids);
    ::_exit(0);
  }
  uint32_t ids[2] = {0, 0};
  ASSERT_EQ(::read(fds[0], ids, sizeof ids), static_cast<ssize_t>(sizeof ids));
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(ids[0], static_cast<uint32_t>(child));
  EXPECT_EQ(ids[1], static_cast<uint32_t>(child));
  EXPECT_NE(ids[0], parent_pid);
  EXPECT_EQ(current_thread_id(), parent_tid);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ProcessTest, RootIsAdministratorInSessionZero) {
  EXPECT_EQ(is_administrator(), ::geteuid() == 0);
  uint32_t session = 12345;
  ASSERT_TRUE(current_session_id(&session));
  if (::geteuid() == 0) {
    EXPECT_EQ(session, 0u);
  } else {
    EXPECT_NE(session, 0u);
  }
}

TEST(ProcessImagePathTest, OwnProcessIsThisTestBinary) {
  testing_support::TempRoot root;
  ::setenv("DOVADOD_SYSROOT", "/", 1);  // the real /proc; the root restores the old value
  std::string path;
  ASSERT_TRUE(process_image_path(current_process_id(), &path));
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(path.ends_with("/platform_process_test")) << path;
  EXPECT_EQ(::access(path.c_str(), X_OK), 0) << path;
}

TEST(ProcessImagePathTest, ReadsTheLinkUnderTheSystemRoot) {
  testing_support::TempRoot root;
  const std::string long_target = "/opt/" + std::string(3000, 'x') + "/tool";
  struct Case {
    std::string target;
    std::string path;
  } cases[] = {
      {"/usr/bin/foo (deleted)", "/usr/bin/foo"},
      {"/usr/bin/foo", "/usr/bin/foo"},
      {"/tmp/a (deleted)/b", "/tmp/a (deleted)/b"},
      {long_target, long_target},
  };
  ASSERT_EQ(create_directories(root.file("proc/123")), 0u);
  const std::string link = root.file("proc/123/exe");
  for (const Case& c : cases) {
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(c.target.c_str(), link.c_str()), 0);
    std::string path;
    ASSERT_TRUE(process_image_path(123, &path)) << c.target;
    EXPECT_EQ(path, c.path);
  }

  std::string path = "untouched";
  set_last_error(0);
  EXPECT_FALSE(process_image_path(124, &path));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_EQ(path, "untouched");
}

}  // namespace
}  // namespace platform
