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
  // Never follow a link planted in the shared folder.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    set_last_error_from_errno(errno);
    close();
    return false;
  }
  ::fchmod(fd, 0666);
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

void NamedMutex::unlock() {
  if (--depth_ == 0 && fd_ >= 0) ::flock(fd_, LOCK_UN);
  mu_.unlock();
}

}  // namespace platform
