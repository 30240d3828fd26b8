#include "platform/error/win_error.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(WinErrorTest, MapsErrnoToTheNumbersCallersCompare) {
  struct Case {
    int err;
    uint32_t win;
  } cases[] = {
      {0, 0},
      {ENOENT, 2},
      {ENOTDIR, 3},
      {EACCES, 5},
      {EPERM, 5},
      {EBADF, 6},
      {EEXIST, 183},
      {EINVAL, 87},
      {ERANGE, 234},
      {ESRCH, 1168},
      {EAGAIN, 10035},
      {ECONNRESET, 10054},
      {ECONNREFUSED, 10061},
      {ETIMEDOUT, 10060},
      {EADDRINUSE, 10048},
      {EINPROGRESS, 10036},
      {ENOTCONN, 10057},
      {EHOSTUNREACH, 10065},
      {EMSGSIZE, 10040},
      {ENOSPC, 112},
      {ENAMETOOLONG, 206},
      {EXDEV, 17},
      {1000, 31},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(win_error_from_errno(c.err), c.win) << "errno " << c.err;
  }
}

TEST(WinErrorTest, SocketCallsSeeWinsockNumbers) {
  struct Case {
    int err;
    uint32_t wsa;
    uint32_t win;  // the general mapping stays as it was
  } cases[] = {
      {EAGAIN, 10035, 10035},  {ECONNRESET, 10054, 10054}, {EPIPE, 10054, 109},
      {EBADF, 10038, 6},       {ENOTSOCK, 10038, 10038},   {EADDRINUSE, 10048, 10048},
      {ENOBUFS, 10055, 10055}, {EINVAL, 87, 87},           {0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wsa_error_from_errno(c.err), c.wsa) << "errno " << c.err;
    EXPECT_EQ(win_error_from_errno(c.err), c.win) << "errno " << c.err;
  }
  EXPECT_EQ(set_last_socket_error_from_errno(EPIPE), kWsaEconnreset);
  EXPECT_EQ(last_error(), kWsaEconnreset);
}

TEST(WinErrorTest, LastErrorBelongsToTheCallingThread) {
  EXPECT_EQ(set_last_error_from_errno(ENOENT), kErrorFileNotFound);
  uint32_t seen_elsewhere = 99;
  std::thread([&] {
    seen_elsewhere = last_error();
    set_last_error(kErrorAccessDenied);
  }).join();
  EXPECT_EQ(seen_elsewhere, kErrorSuccess);
  EXPECT_EQ(last_error(), kErrorFileNotFound);
}

}  // namespace
}  // namespace platform
