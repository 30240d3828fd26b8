#include "platform/fs/open_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// The open(2) flags of an fopen mode; -1 for a mode fopen would refuse.
int flags_of_mode(const char* mode) {
  bool update = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r':
      return update ? O_RDWR : O_RDONLY;
    case 'w':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return -1;
  }
}

int fail(int fd, int err) {
  if (fd >= 0) ::close(fd);
  errno = err;
  return -1;
}

}  // namespace

int open_no_links(const char* path, int flags, mode_t mode) {
  if ((flags & O_EXCL) != 0 && ::unlink(path) != 0 && errno != ENOENT) return -1;
  // Without O_NONBLOCK a FIFO would block the open itself; O_TRUNC waits until
  // the file is known to be ours alone.
  int fd;
  do {
    fd = ::open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A link (ELOOP), a FIFO or socket without a peer (ENXIO), or a name
    // planted again after the removal (EEXIST).
    return fail(-1, errno == ELOOP || errno == ENXIO || errno == EEXIST ? EACCES : errno);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(fd, errno);
  if (S_ISDIR(st.st_mode)) return fail(fd, EISDIR);
  // A second name is a planted hard link; none means the file was replaced
  // (renamed over) since the open, which every reader of a rewritten file meets.
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return fail(fd, EACCES);
  if (::fcntl(fd, F_SETFL, flags & O_APPEND) != 0) return fail(fd, errno);
  if ((flags & O_TRUNC) != 0 && ::ftruncate(fd, 0) != 0) return fail(fd, errno);
  return fd;
}

FILE* fopen_no_links(const char* path, const char* mode, mode_t create_mode) {
  int flags = flags_of_mode(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = open_no_links(path, flags, create_mode);
  if (fd < 0) return nullptr;
  FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) fail(fd, errno);
  return stream;
}

}  // namespace platform
