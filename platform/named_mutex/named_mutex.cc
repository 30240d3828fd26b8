#include "platform/named_mutex/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

constexpr std::string_view kGlobalDir = "run/dovadod/global";

std::string file_name_of(std::string_view name) {
  for (std::string_view prefix : {"Global\\", "Local\\"}) {
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  std::string out(name);
  for (char& c : out) {
    if (c == '/' || c == '\\') c = '_';
  }
  return out;
}

// Every account may write to the shared folder, so the name there may have
// been planted: a symbolic or hard link to another file (whose mode root
// would then change), a FIFO, a device. Only a regular file with one link,
// owned by root or by us, is used, and only a file this call created gets
// its mode set. -1 with the last error set otherwise.
int open_lock_file(const std::string& path) {
  // A file removed between the two opens is looked for again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);  // any account, whatever our umask
      return fd;
    }
    if (errno != EEXIST) break;
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      break;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        (st.st_uid == 0 || st.st_uid == ::geteuid())) {
      return fd;
    }
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
  return join(under_root(kGlobalDir), file_name_of(name) + ".lock");
}

bool NamedMutex::open(std::string_view name) {
  std::string dir = under_root(kGlobalDir);
  std::string path = lock_path(name);
  uint32_t rc = create_directories(dir, 0755);
  if (rc == kErrorSuccess) ::chmod(dir.c_str(), 01777);  // any account, as a null DACL allows
  int fd = open_lock_file(path);
  if (fd < 0) {
    close();
    return false;
  }
  std::lock_guard<std::recursive_mutex> guard(mu_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  if (depth_ > 0) ::flock(fd_, LOCK_EX);  // reopened while held by this thread
  return true;
}

void NamedMutex::close() {
  std::lock_guard<std::recursive_mutex> guard(mu_);
  if (fd_ >= 0) ::close(fd_);  // also drops an flock held by this thread
  fd_ = -1;
}

bool NamedMutex::is_open() const {
  std::lock_guard<std::recursive_mutex> guard(mu_);
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

void NamedMutex::unlock() {
  if (--depth_ == 0 && fd_ >= 0) ::flock(fd_, LOCK_UN);
  mu_.unlock();
}

}  // namespace platform
