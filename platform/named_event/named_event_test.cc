#include "platform/named_event/named_event.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/error/win_error.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

using testing_support::TempRoot;
using testing_support::WriteFile;

constexpr char kName[] = "Global\\netdisconnect-test";

TEST(NamedEventTest, LivesAsAFifoInTheGlobalFolder) {
  TempRoot root;
  EXPECT_EQ(NamedEvent::event_path(kName),
            root.path() + "/run/dovadod/global/netdisconnect-test.event");
  EXPECT_EQ(NamedEvent::event_path("a/b\\c"), root.path() + "/run/dovadod/global/a_b_c.event");
}

TEST(NamedEventTest, OpenWithoutAnOwnerGivesNotFound) {
  TempRoot root;
  NamedEvent event;
  set_last_error(0);
  EXPECT_EQ(event.open(kName), kErrorFileNotFound);
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_FALSE(event.is_open());
  EXPECT_EQ(event.set(), kErrorInvalidHandle);

  // A FIFO an owner left behind when it died: nobody reads it, so no owner.
  ASSERT_EQ(::mkdir((root.path() + "/run").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root.path() + "/run/dovadod").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root.path() + "/run/dovadod/global").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(NamedEvent::event_path(kName).c_str(), 0600), 0);
  EXPECT_EQ(event.open(kName), kErrorFileNotFound);
}

TEST(NamedEventTest, NamesTakenByOtherObjectsAreRefused) {
  TempRoot root;
  NamedEventOwner owner;
  ASSERT_EQ(owner.create("other"), 0u);  // makes the folder
  std::string file = NamedEvent::event_path("plain");
  WriteFile(file, "keep");
  ASSERT_EQ(
      ::symlink(NamedEvent::event_path("other").c_str(), NamedEvent::event_path("link").c_str()),
      0);

  NamedEvent event;
  EXPECT_EQ(event.open("plain"), kErrorInvalidHandle);
  EXPECT_EQ(event.open("link"), kErrorInvalidHandle);
  EXPECT_EQ(testing_support::ReadFile(file), "keep");
  EXPECT_FALSE(owner.wait(0));
}

TEST(NamedEventTest, SetWakesTheOwnerOnceAndResets) {
  TempRoot root;
  NamedEventOwner owner;
  ASSERT_EQ(owner.create(kName), 0u);
  EXPECT_FALSE(owner.wait(0));

  NamedEvent event;
  ASSERT_EQ(event.open(kName), 0u);
  EXPECT_EQ(event.set(), 0u);
  EXPECT_EQ(event.set(), 0u);
  EXPECT_TRUE(owner.wait(1000));
  EXPECT_FALSE(owner.wait(0));  // both sets were one wake-up
}

TEST(NamedEventTest, SettingAnEventThatIsSetNeverBlocks) {
  TempRoot root;
  NamedEventOwner owner;
  ASSERT_EQ(owner.create(kName), 0u);
  NamedEvent event;
  ASSERT_EQ(event.open(kName), 0u);
  // More sets than the FIFO holds bytes: the later ones find it full.
  int pipe_bytes = ::fcntl(owner.fd(), F_GETPIPE_SZ);
  ASSERT_GT(pipe_bytes, 0);
  for (int i = 0; i <= pipe_bytes + 10; ++i) ASSERT_EQ(event.set(), 0u) << i;
  EXPECT_TRUE(owner.wait(0));
  EXPECT_FALSE(owner.wait(0));
}

TEST(NamedEventTest, OwnerGoneAfterTheOpenIsAnErrorNotASignal) {
  TempRoot root;
  auto owner = std::make_unique<NamedEventOwner>();
  ASSERT_EQ(owner->create(kName), 0u);
  NamedEvent event;
  ASSERT_EQ(event.open(kName), 0u);
  owner.reset();  // closes and removes the FIFO
  // Without SIGPIPE held back this would end the test process.
  EXPECT_EQ(event.set(), kErrorBrokenPipe);
  EXPECT_EQ(::access(NamedEvent::event_path(kName).c_str(), F_OK), -1);
}

TEST(NamedEventTest, OwnerInAnotherProcessSeesTheSet) {
  TempRoot root;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    NamedEventOwner owner;
    if (owner.create(kName) != 0) ::_exit(2);
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
    ::_exit(owner.wait(10000) ? 0 : 1);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  NamedEvent event;
  EXPECT_EQ(event.open(kName), 0u);
  EXPECT_EQ(event.set(), 0u);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace platform
