#include "platform/process/process.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
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
