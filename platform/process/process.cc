#include "platform/process/process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error/win_error.h"

namespace platform {

uint32_t current_process_id() { return static_cast<uint32_t>(::getpid()); }

uint32_t current_thread_id() {
  thread_local const uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
  return tid;
}

bool is_administrator() { return ::geteuid() == 0; }

bool current_session_id(uint32_t* session_id) {
  if (is_administrator()) {
    *session_id = 0;
    return true;
  }
  pid_t sid = ::getsid(0);
  if (sid < 0) {
    set_last_error_from_errno(errno);
    return false;
  }
  *session_id = static_cast<uint32_t>(sid);
  return true;
}

}  // namespace platform
