#include "platform/net/net.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/error/win_error.h"

namespace platform {
namespace {

class Pair {
 public:
  Pair() { EXPECT_EQ(make_wakeup_pair(fds_), 0); }
  ~Pair() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  int a() const { return fds_[0]; }
  int b() const { return fds_[1]; }
  void closeB() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(NetTest, StartupAndCleanupAreCounted) {
  EXPECT_EQ(wsa_startup(1, 0), static_cast<int>(kWsaVerNotSupported));
  ASSERT_EQ(wsa_startup(2, 2), 0);
  ASSERT_EQ(wsa_startup(1, 1), 0);
  EXPECT_EQ(wsa_cleanup(), 0);
  EXPECT_EQ(wsa_cleanup(), 0);
  EXPECT_EQ(wsa_cleanup(), -1);
  EXPECT_EQ(last_error(), kWsaNotInitialised);
}

TEST(NetTest, SocketSetHoldsAtMostItsCapacity) {
  SocketSet set;
  for (int fd = 0; fd < static_cast<int>(kSocketSetSize); ++fd) ASSERT_TRUE(set.add(fd));
  EXPECT_TRUE(set.add(5));  // already there
  EXPECT_FALSE(set.add(1000));
  EXPECT_FALSE(set.add(-1));
  EXPECT_EQ(set.size(), kSocketSetSize);
  EXPECT_FALSE(set.contains(1000));
}

TEST(NetTest, SelectKeepsOnlyReadyDescriptors) {
  Pair quiet, talking, closing;
  ASSERT_EQ(send_socket(talking.b(), "x", 1), 1);
  closing.closeB();

  SocketSet read, write;
  read.add(quiet.a());
  read.add(talking.a());
  read.add(closing.a());
  write.add(quiet.b());
  // Data and end of stream are readable; an empty buffer is writable.
  EXPECT_EQ(select_sockets(&read, &write, 1000), 3);
  EXPECT_FALSE(read.contains(quiet.a()));
  EXPECT_TRUE(read.contains(talking.a()));
  EXPECT_TRUE(read.contains(closing.a()));
  EXPECT_TRUE(write.contains(quiet.b()));

  char byte = 0;
  EXPECT_EQ(recv_socket(talking.a(), &byte, 1), 1);
  EXPECT_EQ(recv_socket(talking.a(), &byte, 1), -1);
  EXPECT_EQ(last_error(), kWsaEwouldblock);
  EXPECT_EQ(recv_socket(closing.a(), &byte, 1), 0);
}

TEST(NetTest, SelectTimesOutAndRefusesClosedDescriptors) {
  Pair pair;
  SocketSet read;
  read.add(pair.a());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(select_sockets(&read, nullptr, 50), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(read.size(), 0u);

  int fds[2];
  ASSERT_EQ(make_wakeup_pair(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  read.add(fds[0]);
  EXPECT_EQ(select_sockets(&read, nullptr, 0), -1);
  EXPECT_EQ(last_error(), kWsaEnotsock);
}

TEST(NetTest, SendToAClosedPeerFailsWithoutSignal) {
  Pair pair;
  pair.closeB();
  EXPECT_EQ(send_socket(pair.a(), "x", 1), -1);  // SIGPIPE would end the test
  EXPECT_EQ(last_error(), kWsaEconnreset);
}

TEST(NetTest, GetaddrinfoResultsMapToWinsockNumbers) {
  EXPECT_EQ(wsa_error_from_gai(0), 0u);
  EXPECT_EQ(wsa_error_from_gai(EAI_NONAME), kWsaHostNotFound);
  EXPECT_EQ(wsa_error_from_gai(EAI_AGAIN), kWsaTryAgain);
  EXPECT_EQ(wsa_error_from_gai(EAI_SERVICE), kWsaTypeNotFound);
  EXPECT_EQ(wsa_error_from_gai(EAI_FAIL), kWsaNoRecovery);
}

TEST(NetTest, FionbioSwitchesBlocking) {
  Pair pair;
  ASSERT_TRUE(set_non_blocking(pair.a(), false));
  ASSERT_TRUE(set_non_blocking(pair.a(), true));
  char byte = 0;
  EXPECT_EQ(recv_socket(pair.a(), &byte, 1), -1);
  EXPECT_EQ(last_error(), kWsaEwouldblock);
  EXPECT_FALSE(set_non_blocking(-1, true));
  EXPECT_EQ(last_error(), kWsaEnotsock);
}

}  // namespace
}  // namespace platform
