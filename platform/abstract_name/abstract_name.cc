#include "platform/abstract_name/abstract_name.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/error/win_error.h"

namespace platform {

AbstractNameClaim::~AbstractNameClaim() { release(); }

bool AbstractNameClaim::claim(std::string_view name) {
  if (fd_ >= 0) return true;
  sockaddr_un address{};
  // sun_path[0] stays NUL: that is what makes the name abstract.
  if (name.empty() || name.front() == '\0' || name.size() > sizeof address.sun_path - 1) {
    set_last_error(kErrorInvalidParameter);
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  // The length, not a terminator, ends an abstract name.
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    set_last_error_from_errno();
    return false;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    int err = errno;
    ::close(fd);
    set_last_error(err == EADDRINUSE ? kErrorAlreadyExists : win_error_from_errno(err));
    return false;
  }
  fd_ = fd;
  return true;
}

void AbstractNameClaim::release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
