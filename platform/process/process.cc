#include "platform/process/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform {
namespace {

// getpid and gettid are system calls; the log asks for both on every line, so
// they are read once. A forked child (whose only thread is the forking one)
// must not keep its parent's values.
std::atomic<uint32_t> g_pid{0};
thread_local uint32_t t_tid = 0;

void forget_ids_in_child() {
  g_pid.store(0, std::memory_order_relaxed);
  t_tid = 0;
}

// Link targets are at most PATH_MAX long on the real /proc; a fake tree gets
// no further than this.
constexpr size_t kMaxImagePath = 64 * 1024;

void register_fork_handler() {
  static const int registered = ::pthread_atfork(nullptr, nullptr, forget_ids_in_child);
  (void)registered;
}

}  // namespace

uint32_t current_process_id() {
  uint32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  register_fork_handler();
  pid = static_cast<uint32_t>(::getpid());
  g_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

uint32_t current_thread_id() {
  if (t_tid != 0) return t_tid;
  register_fork_handler();
  t_tid = static_cast<uint32_t>(::syscall(SYS_gettid));
  return t_tid;
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

namespace {

bool read_image_link(int dir, const char* link, std::string* path) {
  // readlink truncates silently: a result that fills the buffer may be cut.
  std::string target(256, '\0');
  for (;;) {
    ssize_t n = ::readlinkat(dir, link, target.data(), target.size());
    if (n < 0) {
      set_last_error_from_errno(errno);
      return false;
    }
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      break;
    }
    if (target.size() >= kMaxImagePath) {
      set_last_error(kErrorFilenameExcedRange);
      return false;
    }
    target.resize(target.size() * 2);
  }
  constexpr std::string_view kDeleted = " (deleted)";
  if (std::string_view(target).ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
  *path = std::move(target);
  return true;
}

}  // namespace

bool process_image_path(uint32_t pid, std::string* path) {
  const std::string link = under_sysroot("/proc/" + std::to_string(pid) + "/exe");
  return read_image_link(AT_FDCWD, link.c_str(), path);
}

bool process_image_path_at(int proc_dir, std::string* path) {
  return read_image_link(proc_dir, "exe", path);
}

}  // namespace platform
