// Moves the calling process into the network namespace that `ip netns add
// NAME` made, before any capture is opened there: the test peers and
// benchmark loops run only in namespaces their scripts made for them.
#ifndef TOOLS_COMMON_ENTER_NETNS_H_
#define TOOLS_COMMON_ENTER_NETNS_H_

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// False, with a line "<program>: cannot enter network namespace ..." on
// standard error, when the namespace cannot be entered.
inline bool enter_netns(const std::string& name, const char* program) {
  const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "%s: cannot enter network namespace %s: %s\n", program, name.c_str(),
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

#endif  // TOOLS_COMMON_ENTER_NETNS_H_
