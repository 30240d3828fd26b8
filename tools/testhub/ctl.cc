#include "tools/testhub/ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testhub {

bool ctl_request(const std::string& socket_path, const std::string& command, std::string* answer,
                 std::string* error, int timeout_ms) {
  answer->clear();
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof sa.sun_path) {
    *error = "socket path too long";
    return false;
  }
  std::memcpy(sa.sun_path, socket_path.c_str(), socket_path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = "cannot connect to " + socket_path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  const std::string line = command + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    *error = std::string("cannot send: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
      *error = "no answer from " + socket_path;
      close(fd);
      return false;
    }
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    answer->append(buf, static_cast<size_t>(n));
    if (answer->size() > (16u << 20)) break;
  }
  close(fd);
  while (!answer->empty() && answer->back() == '\n') answer->pop_back();
  if (answer->empty()) {
    *error = "empty answer from " + socket_path;
    return false;
  }
  return true;
}

}  // namespace testhub
