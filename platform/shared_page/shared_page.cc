#include "platform/shared_page/shared_page.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

uint32_t fail(uint32_t code) {
  set_last_error(code);
  return code;
}

// 0 for a page of ours: a regular file of the page size with a single name,
// owned by this process's account. Another account's file is refused with
// 5: its owner could truncate it under the mapping and fault our writes.
uint32_t check_page(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return set_last_error_from_errno();
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_size != static_cast<off_t>(SharedPage::kPageSize))
    return fail(kErrorInvalidHandle);
  if (st.st_uid != ::geteuid()) return fail(kErrorAccessDenied);
  return kErrorSuccess;
}

}  // namespace

std::string SharedPage::page_path(std::string_view name) {
  return named_object_path(name, ".shm");
}

SharedPage::~SharedPage() { close(); }

uint32_t SharedPage::open(std::string_view name) {
  close();
  const std::string dir = named_object_dir();
  const uint32_t made_dir = create_directories(dir, 0755);
  if (made_dir != kErrorSuccess && made_dir != kErrorAlreadyExists) return fail(made_dir);
  const std::string path = page_path(name);

  bool created = true;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::fchmod(fd, 0644);  // readable by the other process whatever the umask
    if (::ftruncate(fd, static_cast<off_t>(kPageSize)) != 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      return set_last_error_from_errno(err);
    }
  } else if (errno == EEXIST) {
    created = false;
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP || errno == ENXIO) return fail(kErrorInvalidHandle);
      return set_last_error_from_errno();
    }
    const uint32_t refused = check_page(fd);
    if (refused != kErrorSuccess) {
      ::close(fd);
      return refused;
    }
  } else {
    return set_last_error_from_errno();
  }

  void* map = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    const int err = errno;
    ::close(fd);
    return set_last_error_from_errno(err);
  }
  fd_ = fd;
  data_ = static_cast<unsigned char*>(map);
  created_ = created;
  return kErrorSuccess;
}

void SharedPage::close() {
  if (data_ != nullptr) ::munmap(data_, kPageSize);
  if (fd_ >= 0) ::close(fd_);
  data_ = nullptr;
  fd_ = -1;
}

}  // namespace platform
