#include "platform/net/net.h"

#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/error/win_error.h"

namespace platform {
namespace {

std::atomic<int> g_startups{0};

// What select reports for a polled descriptor (the kernel's own select sets).
constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLERR;

}  // namespace

int wsa_startup(int major, int minor) {
  if (major < 1 || (major == 1 && minor < 1)) {
    set_last_error(kWsaVerNotSupported);
    return static_cast<int>(kWsaVerNotSupported);
  }
  g_startups.fetch_add(1);
  return 0;
}

int wsa_cleanup() {
  int count = g_startups.load();
  while (count > 0) {
    if (g_startups.compare_exchange_weak(count, count - 1)) return 0;
  }
  set_last_error(kWsaNotInitialised);
  return -1;
}

bool SocketSet::add(int fd) {
  if (fd < 0) return false;
  if (contains(fd)) return true;
  if (count_ == fds_.size()) return false;
  fds_[count_++] = fd;
  return true;
}

bool SocketSet::contains(int fd) const {
  for (size_t i = 0; i < count_; ++i) {
    if (fds_[i] == fd) return true;
  }
  return false;
}

int select_sockets(SocketSet* read, SocketSet* write, int timeout_ms) {
  size_t reads = read != nullptr ? read->size() : 0;
  size_t writes = write != nullptr ? write->size() : 0;
  // poll takes the same descriptor twice, so the sets need no merging.
  std::vector<pollfd> polled(reads + writes);
  for (size_t i = 0; i < reads; ++i) polled[i] = {read->at(i), POLLIN, 0};
  for (size_t i = 0; i < writes; ++i) polled[reads + i] = {write->at(i), POLLOUT, 0};

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int wait = timeout_ms < 0 ? -1 : timeout_ms;
  int ready = 0;
  for (;;) {
    ready = ::poll(polled.data(), polled.size(), wait);
    if (ready >= 0) break;
    if (errno != EINTR) {
      set_last_socket_error_from_errno();
      return -1;
    }
    if (timeout_ms < 0) continue;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    wait = left > 0 ? static_cast<int>(left) : 0;
  }
  for (const pollfd& p : polled) {
    if ((p.revents & POLLNVAL) != 0) {
      set_last_error(kWsaEnotsock);
      return -1;
    }
  }

  int count = 0;
  size_t index = 0;
  if (read != nullptr) {
    read->retain([&](int) { return (polled[index++].revents & kReadable) != 0; });
    count += static_cast<int>(read->size());
  }
  if (write != nullptr) {
    write->retain([&](int) { return (polled[index++].revents & kWritable) != 0; });
    count += static_cast<int>(write->size());
  }
  return count;
}

bool set_non_blocking(int fd, bool on) {
  int value = on ? 1 : 0;
  if (::ioctl(fd, FIONBIO, &value) == 0) return true;
  set_last_socket_error_from_errno();
  return false;
}

int make_wakeup_pair(int fds[2]) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) return 0;
  set_last_socket_error_from_errno();
  return -1;
}

ssize_t send_socket(int fd, const void* data, size_t size) {
  for (;;) {
    ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    set_last_socket_error_from_errno();
    return -1;
  }
}

ssize_t recv_socket(int fd, void* data, size_t size) {
  for (;;) {
    ssize_t got = ::recv(fd, data, size, 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    set_last_socket_error_from_errno();
    return -1;
  }
}

uint32_t wsa_error_from_gai(int result) {
  switch (result) {
    case 0:
      return kErrorSuccess;
    case EAI_NONAME:
    case EAI_NODATA:
      return kWsaHostNotFound;
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_SERVICE:
    case EAI_SOCKTYPE:
      return kWsaTypeNotFound;
    case EAI_FAMILY:
    case EAI_ADDRFAMILY:
      return kWsaEafnosupport;
    case EAI_MEMORY:
      return kErrorNotEnoughMemory;
    case EAI_SYSTEM:
      return wsa_error_from_errno(errno);
    default:
      return kWsaNoRecovery;
  }
}

}  // namespace platform
