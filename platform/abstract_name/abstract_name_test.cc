#include "platform/abstract_name/abstract_name.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/error/win_error.h"

namespace platform {
namespace {

// Names of this process only, so that parallel test runs never meet.
std::string UniqueName(const char* what) {
  return std::string("dovadod-test/") + what + "/" + std::to_string(::getpid());
}

TEST(AbstractNameClaimTest, OneHolderAtATimeUntilReleased) {
  const std::string name = UniqueName("held");
  AbstractNameClaim first;
  ASSERT_TRUE(first.claim(name));
  EXPECT_TRUE(first.claim(name)) << "a holder claiming again keeps the name";

  AbstractNameClaim second;
  EXPECT_FALSE(second.claim(name));
  EXPECT_EQ(last_error(), kErrorAlreadyExists);
  EXPECT_FALSE(second.held());

  first.release();
  EXPECT_FALSE(first.held());
  EXPECT_TRUE(second.claim(name));
  {
    AbstractNameClaim scoped;
    EXPECT_TRUE(scoped.claim(name + "/scoped"));
  }
  EXPECT_TRUE(first.claim(name + "/scoped")) << "the destructor gives the name up";
}

// A child that holds `name` (as `uid` when not -1) until killed; its pid, or
// -1 when it could not claim the name.
pid_t HoldInChild(const std::string& name, int uid = -1) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    char ok = 0;
    if (uid < 0 || (::setgid(uid) == 0 && ::setuid(uid) == 0)) {
      AbstractNameClaim claim;
      ok = claim.claim(name) ? 1 : 0;
      (void)!::write(ready[1], &ok, 1);
      if (ok) ::pause();
      ::_exit(0);
    }
    (void)!::write(ready[1], &ok, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  const bool read = child > 0 && ::read(ready[0], &ok, 1) == 1;
  ::close(ready[0]);
  if (read && ok == 1) return child;
  if (child > 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  return -1;
}

void Kill(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST(AbstractNameClaimTest, KilledHolderFreesTheName) {
  const std::string name = UniqueName("killed");
  const pid_t child = HoldInChild(name);
  ASSERT_GT(child, 0);
  AbstractNameClaim claim;
  EXPECT_FALSE(claim.claim(name));
  Kill(child);
  EXPECT_TRUE(claim.claim(name));
}

// Another account binding the name first must not keep root's claim from
// going on: its hold does not count, and says so with 5.
TEST(AbstractNameClaimTest, AHolderOfAnotherAccountDoesNotCountForRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the holder drops to another account";
  const std::string name = UniqueName("squatter");
  const pid_t child = HoldInChild(name, 65534);
  ASSERT_GT(child, 0);
  AbstractNameClaim claim;
  EXPECT_FALSE(claim.claim(name));
  EXPECT_EQ(last_error(), kErrorAccessDenied);
  Kill(child);
  EXPECT_TRUE(claim.claim(name));
}

TEST(AbstractNameClaimTest, NamesAreSeparateInEachNetworkNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: makes a network namespace";
  const std::string name = UniqueName("netns");
  AbstractNameClaim here;
  ASSERT_TRUE(here.claim(name));
  bool claimedThere = false;
  bool heldThere = false;
  // unshare on a thread of its own moves only that thread.
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    AbstractNameClaim there;
    claimedThere = there.claim(name);
    AbstractNameClaim again;
    heldThere = !again.claim(name);
  }).join();
  EXPECT_TRUE(claimedThere);
  EXPECT_TRUE(heldThere);
}

TEST(AbstractNameClaimTest, RefusesNamesTheSocketCannotCarry) {
  std::string longest = UniqueName("long");
  longest.resize(107, 'n');
  for (const std::string& bad : {std::string(), std::string("\0x", 2), longest + "n"}) {
    SCOPED_TRACE(bad.size());
    AbstractNameClaim claim;
    EXPECT_FALSE(claim.claim(bad));
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
  }
  AbstractNameClaim claim;
  EXPECT_TRUE(claim.claim(longest));
}

}  // namespace
}  // namespace platform
