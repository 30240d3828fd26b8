#include "platform/named_event/named_event.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

uint32_t fail(uint32_t code) {
  set_last_error(code);
  return code;
}

bool is_fifo(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// Writes one byte with SIGPIPE held back, so that an owner that just went away
// costs an error code rather than the process. A SIGPIPE this write raised is
// taken off again; one that was already pending is left for its owner.
ssize_t write_byte_without_sigpipe(int fd) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t old_mask;
  ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  const char byte = 1;
  ssize_t n = ::write(fd, &byte, 1);
  int saved = errno;
  if (n < 0 && saved == EPIPE && !was_pending) {
    timespec zero{};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = saved;
  return n;
}

}  // namespace

std::string NamedEvent::event_path(std::string_view name) {
  return named_object_path(name, ".event");
}

NamedEvent::~NamedEvent() { close(); }

uint32_t NamedEvent::open(std::string_view name) {
  close();
  std::string path = event_path(name);
  // Write-only and non-blocking: the open fails with ENXIO when nobody reads,
  // which is an owner that is not running.
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENXIO) return fail(kErrorFileNotFound);
    if (err == ELOOP) return fail(kErrorInvalidHandle);
    return set_last_error_from_errno(err);
  }
  if (!is_fifo(fd)) {
    ::close(fd);
    return fail(kErrorInvalidHandle);
  }
  fd_ = fd;
  return kErrorSuccess;
}

uint32_t NamedEvent::set() {
  if (fd_ < 0) return fail(kErrorInvalidHandle);
  for (;;) {
    if (write_byte_without_sigpipe(fd_) == 1) return kErrorSuccess;
    int err = errno;
    if (err == EINTR) continue;
    // A full FIFO holds unread bytes: the event is set already.
    if (err == EAGAIN) return kErrorSuccess;
    return set_last_error_from_errno(err);
  }
}

void NamedEvent::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

NamedEventOwner::~NamedEventOwner() { close(); }

uint32_t NamedEventOwner::create(std::string_view name) {
  close();
  std::string dir = named_object_dir();
  uint32_t rc = create_directories(dir, 0755);
  if (rc == kErrorSuccess) ::chmod(dir.c_str(), 01777);  // shared with the named mutexes
  std::string path = NamedEvent::event_path(name);
  // A FIFO left by an owner that died is replaced; its bytes are stale.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return set_last_error_from_errno(errno);
  if (::mkfifo(path.c_str(), 0600) != 0) return set_last_error_from_errno(errno);
  // Read and write: the owner's own writer end keeps the FIFO from reporting
  // hang-up between setters, and the open never blocks.
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    uint32_t code = set_last_error_from_errno(errno);
    ::unlink(path.c_str());
    return code;
  }
  if (!is_fifo(fd)) {
    ::close(fd);
    return fail(kErrorInvalidHandle);
  }
  fd_ = fd;
  path_ = path;
  return kErrorSuccess;
}

bool NamedEventOwner::wait(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int n = 0;
  while ((n = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  if (n <= 0 || (p.revents & POLLIN) == 0) return false;
  char drain[256];
  while (::read(fd_, drain, sizeof(drain)) > 0) {
  }
  return true;
}

void NamedEventOwner::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace platform
