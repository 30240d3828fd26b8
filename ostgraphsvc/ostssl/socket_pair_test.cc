#include "ostgraphsvc/ostssl/socket_pair.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "platform/net/net.h"
#include "tests/support/started_log.h"

namespace {

using std::chrono::milliseconds;
using testing_support::StartedLog;
using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// How many descriptors of `fd` alone a select returns right now.
int ReadyNow(int fd) {
  platform::SocketSet set;
  set.add(fd);
  return platform::select_sockets(&set, nullptr, 0);
}

// Bytes waiting on `fd`, read without blocking.
std::string Pending(int fd) {
  std::string bytes;
  char buffer[256];
  for (;;) {
    ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override { SocketPair::set_pause_for_testing(milliseconds(0)); }
  void TearDown() override { SocketPair::set_pause_for_testing(milliseconds(1000)); }
};

TEST_F(SocketPairTest, WakeupsCollapseIntoOneRead) {
  StartedLog log(0);
  SocketPair pair;
  ASSERT_TRUE(pair.init("data"));
  EXPECT_EQ(pair.name(), "data");
  // A name, once given, stays.
  ASSERT_TRUE(pair.init("other"));
  EXPECT_EQ(pair.name(), "data");

  EXPECT_EQ(ReadyNow(pair.read_socket()), 0);
  for (int i = 0; i < 3; ++i) pair.wakeupserver();
  EXPECT_EQ(ReadyNow(pair.read_socket()), 1);
  EXPECT_TRUE(pair.readfromserversocket());
  EXPECT_EQ(ReadyNow(pair.read_socket()), 0);
  EXPECT_EQ(Count(log.text(), "read event for data\n"), 1u);

  // Nothing to read is no error and costs no pause, even the real one.
  SocketPair::set_pause_for_testing(milliseconds(1000));
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(pair.readfromserversocket());
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_EQ(log.text().find("Error in signaling"), std::string::npos) << log.text();
}

TEST_F(SocketPairTest, FullPairStillWakesAtOnce) {
  StartedLog log(0);
  SocketPair pair;
  ASSERT_TRUE(pair.init("connection"));
  SocketPair::set_pause_for_testing(milliseconds(1000));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 100000; ++i) pair.wakeupserver();
  // One pause would cost a second; a full pair costs none.
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  EXPECT_EQ(log.text().find("send failed"), std::string::npos) << log.text();
  EXPECT_TRUE(pair.readfromserversocket());
  EXPECT_EQ(ReadyNow(pair.read_socket()), 1);
}

TEST_F(SocketPairTest, ResetPairIsMadeAgainAndTheWakeupGoesOut) {
  StartedLog log(CXLOG_FMT_LEVEL_NAME);
  SocketPair pair;
  ASSERT_TRUE(pair.init("data"));
  const int old_read = pair.read_socket();
  ASSERT_EQ(::shutdown(old_read, SHUT_RDWR), 0);

  pair.wakeupserver();
  const int new_read = pair.read_socket();
  ASSERT_GE(new_read, 0);
  EXPECT_EQ(Pending(new_read), "1");
  const std::string text = log.text();
  EXPECT_NE(text.find(" error SocketPair::wakeupserver send failed while trying to wake up the "
                      "server with error 10054 on data\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Connection error detected, attempting reinit on data\n"), std::string::npos);
  EXPECT_NE(text.find("reinitiating signaling sockets for data\n"), std::string::npos);
  EXPECT_NE(text.find("reinit succeeded for data\n"), std::string::npos);
  EXPECT_EQ(Count(text, "send failed"), 1u) << text;
}

TEST_F(SocketPairTest, ClosedPairGivesUpAfterOneRetry) {
  StartedLog log(CXLOG_FMT_LEVEL_NAME);
  SocketPair pair;
  ASSERT_TRUE(pair.init("data"));
  pair.close();
  EXPECT_EQ(pair.read_socket(), -1);

  SocketPair::set_pause_for_testing(milliseconds(1000));
  const Clock::time_point start = Clock::now();
  pair.wakeupserver();
  EXPECT_GE(Clock::now() - start, milliseconds(1000));
  const std::string text = log.text();
  EXPECT_EQ(Count(text,
                  " error SocketPair::wakeupserver send failed while trying to wake up the "
                  "server with error 10038 on data\n"),
            2u)
      << text;
  EXPECT_EQ(Count(text,
                  " critical SocketPair::wakeupserver send failed after retrying on data, "
                  "giving up\n"),
            1u)
      << text;
  EXPECT_EQ(text.find("reinit"), std::string::npos) << text;
}

TEST_F(SocketPairTest, ReadEndOfStreamMakesThePairAgain) {
  StartedLog log(CXLOG_FMT_LEVEL_NAME);
  SocketPair pair;
  ASSERT_TRUE(pair.init("connection"));
  const int old_read = pair.read_socket();
  // The write end is gone: the read socket would report end of stream on
  // every select.
  ASSERT_EQ(::shutdown(old_read, SHUT_RD), 0);
  ASSERT_EQ(ReadyNow(old_read), 1);

  EXPECT_TRUE(pair.readfromserversocket());
  EXPECT_NE(log.text().find(" error SocketPair::readfromserversocket Error in signaling "
                            "(connection). recv fd: " +
                            std::to_string(old_read) + ". Error: 10054\n"),
            std::string::npos)
      << log.text();
  const int new_read = pair.read_socket();
  EXPECT_EQ(ReadyNow(new_read), 0);
  pair.wakeupserver();
  EXPECT_EQ(Pending(new_read), "1");
}

TEST_F(SocketPairTest, FailedReinitKeepsTheOldPair) {
  SocketPair pair;
  ASSERT_TRUE(pair.init("data"));
  const int read_sock = pair.read_socket();

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const bool remade = pair.reinit();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_FALSE(remade);
  EXPECT_EQ(pair.read_socket(), read_sock);
  pair.wakeupserver();
  EXPECT_EQ(Pending(read_sock), "1");
}

}  // namespace
