#include "platform/fs/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/fs/open_file.h"

namespace platform {

int read_file_no_links(const char* path, size_t max_size, std::string* text, long long* size) {
  int fd = open_no_links(path, O_RDONLY, 0);
  if (fd < 0) return errno;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return err;
  }
  if (size != nullptr) *size = static_cast<long long>(st.st_size);
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max_size) {
    ::close(fd);
    return EFBIG;
  }
  std::string bytes;
  try {
    bytes.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return ENOMEM;
  }
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  *text = std::move(bytes);
  return 0;
}

}  // namespace platform
