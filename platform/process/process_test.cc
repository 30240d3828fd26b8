#include "platform/process/process.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

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

}  // namespace
}  // namespace platform
