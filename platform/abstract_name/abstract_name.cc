#include "platform/abstract_name/abstract_name.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/socket_owner/socket_owner.h"

namespace platform {
namespace {

// Inodes of the sockets bound to abstract `name` in this network namespace,
// from /proc/net/unix ("Num RefCount Protocol Flags Type St Inode Path").
std::vector<uint64_t> bound_inodes(std::string_view name) {
  std::vector<uint64_t> inodes;
  FILE* f = std::fopen("/proc/net/unix", "re");
  if (f == nullptr) return inodes;
  const std::string want = "@" + std::string(name);
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long inode = 0;
    int path = 0;
    if (std::sscanf(line, "%*s %*s %*s %*s %*s %*s %llu %n", &inode, &path) != 1 || path == 0)
      continue;
    std::string_view rest(line + path);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
    if (rest == want) inodes.push_back(inode);
  }
  std::fclose(f);
  return inodes;
}

// Whether the holder of `name` counts: for a root caller only a root holder
// does, so that another account binding the name first cannot keep the
// caller from running. Anything unreadable counts.
bool holder_counts(std::string_view name) {
  if (::geteuid() != 0) return true;
  const std::vector<uint64_t> inodes = bound_inodes(name);
  if (inodes.empty()) return true;
  std::vector<SocketHolder> holders;
  if (find_socket_holders(inodes, &holders) != 0 || holders.empty()) return true;
  for (const SocketHolder& h : holders) {
    if (h.root) return true;
  }
  return false;
}

}  // namespace

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
    if (err != EADDRINUSE) {
      set_last_error(win_error_from_errno(err));
      return false;
    }
    set_last_error(holder_counts(name) ? kErrorAlreadyExists : kErrorAccessDenied);
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
