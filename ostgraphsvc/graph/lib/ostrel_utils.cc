#include "graph/ostrel_utils.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "graph/router_log.h"
#include "graph/string.h"

namespace {

constexpr char kWriteTag[] = "OstrelUtils::ostwinutls_write_txt2file";

// Opens `path` for appending, held exclusively. A writer that already holds
// the file makes this fail as a sharing violation would.
int open_exclusive(const char* path) {
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  // Only a lock held elsewhere refuses the open; a file system without flock
  // still gets its dump.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int OstrelUtils::ostwinutls_write_txt2file(const String& path, const char* text) {
  int fd = open_exclusive(path.c_str());
  if (fd < 0) {
    log_syslog_level(6, kWriteTag, __FILE__, __LINE__, "Tempfile CreateFile failed");
    return -3;
  }
  if (::lseek(fd, 0, SEEK_END) < 0) {
    log_syslog_level(6, kWriteTag, __FILE__, __LINE__,
                     "Unable to set file pointer to end-of-file in %s.", path.c_str());
  }

  size_t length = text != nullptr ? std::strlen(text) : 0;
  size_t written = 0;
  while (written < length) {
    ssize_t n = ::write(fd, text + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      log_syslog_level(6, kWriteTag, __FILE__, __LINE__, "WriteFile failed. Written %d",
                       static_cast<int>(written));
      ::close(fd);
      return -4;
    }
    written += static_cast<size_t>(n);
  }

  if (::close(fd) != 0) {
    log_syslog_level(6, kWriteTag, __FILE__, __LINE__, "CloseHandle(hTempFile) failed");
  }
  return static_cast<int>(written);
}

void OstrelUtils::ostwinutls_log(const String& path, const String& text) {
  if (!path.empty()) {
    ostwinutls_write_txt2file(path, text.c_str());
    return;
  }
  log_syslog_level(6, "OstrelUtils::ostwinutls_log", __FILE__, __LINE__, "\n%s", text.c_str());
}
