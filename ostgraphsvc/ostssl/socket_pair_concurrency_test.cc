// Wakers, a reinit and the sleeper on one pair at once. Meant for
// ThreadSanitizer as much as for its own checks: a send or read on a
// descriptor the pair already closed would put wake-up bytes into (or take
// bytes from) whatever socket got that number next.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ostgraphsvc/ostssl/socket_pair.h"
#include "tests/support/started_log.h"

namespace {

using std::chrono::milliseconds;

std::string Pending(int fd) {
  std::string bytes;
  char buffer[64];
  for (;;) {
    ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

TEST(SocketPairConcurrencyTest, ReinitUnderWakersAndSleeper) {
  testing_support::StartedLog log(0);
  // Errors only: every drained wake-up writes an info line.
  cxLogThreshold = CXLOG_ERROR;
  SocketPair::set_pause_for_testing(milliseconds(0));
  SocketPair pair;
  ASSERT_TRUE(pair.init("data"));

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread sleeper([&] {
    while (!stop.load()) {
      // The number may be stale by the time poll runs; that costs at most a
      // spurious drain of the current socket.
      pollfd p{pair.read_socket(), POLLIN, 0};
      if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN) != 0) {
        EXPECT_TRUE(pair.readfromserversocket());
        reads.fetch_add(1);
      }
    }
  });

  std::vector<std::thread> wakers;
  for (int i = 0; i < 8; ++i) {
    wakers.emplace_back([&] {
      while (!stop.load()) pair.wakeupserver();
    });
  }

  // After each reinit, open sockets that may take the numbers the old pair
  // had. Each holds one sentinel byte sent by its peer: a stale wake-up
  // would add a byte to one of them, a stale drain would take the sentinel.
  std::vector<std::pair<int, int>> bystanders;
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(pair.reinit());
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    ASSERT_EQ(::send(fds[1], "S", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(::send(fds[0], "S", 1, MSG_NOSIGNAL), 1);
    bystanders.emplace_back(fds[0], fds[1]);
    std::this_thread::sleep_for(milliseconds(1));
  }
  stop.store(true);
  for (std::thread& t : wakers) t.join();
  sleeper.join();

  EXPECT_GT(reads.load(), 0);
  for (const auto& [a, b] : bystanders) {
    EXPECT_EQ(Pending(a), "S");
    EXPECT_EQ(Pending(b), "S");
    ::close(a);
    ::close(b);
  }
  // Nothing failed: a full pair counts as woken, and no send or read met a
  // closed socket.
  const std::string text = log.text();
  EXPECT_EQ(text.find("send failed"), std::string::npos) << text;
  EXPECT_EQ(text.find("Error in signaling"), std::string::npos) << text;
  SocketPair::set_pause_for_testing(milliseconds(1000));
}

}  // namespace
