#include "platform/named_mutex/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

bool acceptable(const struct stat& st, NamedMutex::Access access) {
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  if (access == NamedMutex::Access::kOwnerOnly) {
    return st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0600;
  }
  return st.st_uid == 0 || st.st_uid == ::geteuid();
}

// Every account may write to the shared folder, so the name there may have
// been planted: a symbolic or hard link to another file (whose mode root
// would then change), a FIFO, a device, or a file another account made to
// hold the lock itself. Only a file `acceptable` for `access` is used, and
// only a file this call created gets its mode set. -1 with the last error
// set otherwise.
int open_lock_file(const std::string& path, NamedMutex::Access access) {
  const mode_t mode = access == NamedMutex::Access::kOwnerOnly ? 0600 : 0666;
  // A file removed between the two opens is looked for again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::fchmod(fd, mode);  // whatever our umask
      return fd;
    }
    if (errno != EEXIST) break;
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      break;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && acceptable(st, access)) return fd;
    ::close(fd);
    set_last_error(kErrorAccessDenied);
    return -1;
  }
  set_last_error_from_errno(errno);
  return -1;
}

}  // namespace

NamedMutex::~NamedMutex() { close(); }

std::string NamedMutex::lock_path(std::string_view name) {
  return named_object_path(name, ".lock");
}

bool NamedMutex::open(std::string_view name, Access access) {
  std::string dir = named_object_dir();
  std::string path = lock_path(name);
  uint32_t rc = create_directories(dir, 0755);
  if (rc == kErrorSuccess) ::chmod(dir.c_str(), 01777);  // any account, as a null DACL allows
  int fd = open_lock_file(path, access);
  if (fd < 0) {
    close();
    return false;
  }
  std::lock_guard<std::recursive_timed_mutex> guard(mu_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  if (depth_ > 0) ::flock(fd_, LOCK_EX);  // reopened while held by this thread
  return true;
}

void NamedMutex::close() {
  std::lock_guard<std::recursive_timed_mutex> guard(mu_);
  if (fd_ >= 0) ::close(fd_);  // also drops an flock held by this thread
  fd_ = -1;
}

bool NamedMutex::is_open() const {
  std::lock_guard<std::recursive_timed_mutex> guard(mu_);
  return fd_ >= 0;
}

void NamedMutex::lock() {
  mu_.lock();
  if (depth_++ > 0 || fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

bool NamedMutex::try_lock() {
  if (!mu_.try_lock()) return false;
  if (depth_++ > 0 || fd_ < 0) return true;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  --depth_;
  mu_.unlock();
  return false;
}

bool NamedMutex::try_lock_for(std::chrono::microseconds timeout) {
  using std::chrono::steady_clock;
  const steady_clock::time_point deadline = steady_clock::now() + timeout;
  if (!mu_.try_lock_until(deadline)) return false;
  if (depth_++ > 0 || fd_ < 0) return true;
  // flock cannot wait with a limit: poll it, backing off up to 1 ms.
  std::chrono::microseconds pause{50};
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    // Any failure but a busy lock leaves the in-process lock, as lock() does.
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    const steady_clock::time_point now = steady_clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::min<steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds{1000});
  }
  --depth_;
  mu_.unlock();
  return false;
}

void NamedMutex::unlock() {
  if (--depth_ == 0 && fd_ >= 0) ::flock(fd_, LOCK_UN);
  mu_.unlock();
}

}  // namespace platform
