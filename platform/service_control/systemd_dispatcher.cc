// The dispatcher under systemd: the service's main function on a thread of its
// own, the control loop on the caller's (signals, control socket, injected
// controls), status reports to the log and to sd_notify.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "platform/service_control/control_message.h"
#include "platform/service_control/dispatcher_core.h"
#include "platform/service_control/internal.h"
#include "platform/service_control/service_control.h"

namespace platform::service_control {

namespace {

const char* state_name(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_CONTINUE_PENDING:
      return "continue pending";
    case SERVICE_PAUSE_PENDING:
      return "pause pending";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "unknown";
  }
}

std::string notify_text(const SERVICE_STATUS& s) {
  switch (s.dwCurrentState) {
    case SERVICE_START_PENDING: {
      std::string text = "STATUS=Starting";
      if (s.dwWaitHint != 0) {
        text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{s.dwWaitHint} * 1000);
      }
      return text;
    }
    case SERVICE_RUNNING:
      return "READY=1\nSTATUS=Running";
    case SERVICE_STOP_PENDING:
      return "STOPPING=1\nSTATUS=Stopping";
    case SERVICE_STOPPED:
      return "STATUS=Stopped, exit code " + std::to_string(s.dwWin32ExitCode);
    default:
      return std::string("STATUS=") + state_name(s.dwCurrentState);
  }
}

class SystemdBackend : public DispatcherCore {
 public:
  bool start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) override;

 private:
  void wake() override;
  void reported(const SERVICE_STATUS& status) override;
  int open_control_socket();
  void read_signal(int fd);
  void read_control_socket(int fd);
  void deliver_from_outside(uint32_t control, uint32_t eventType, void* eventData,
                            const char* source);
  void run_loop(int signalFd, int socketFd);

  bool heldStop_ = false;
  int wakeFd_ = -1;
  std::string socketPath_;
};

void SystemdBackend::wake() {
  cv_.notify_all();
  uint64_t one = 1;
  ssize_t n = write(wakeFd_, &one, sizeof one);
  (void)n;  // a full counter is as good as a write: the loop wakes either way
}

bool SystemdBackend::start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) {
  if (!started_by_service_manager()) {
    set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return false;
  }
  if (!valid_table(serviceTable)) return false;
  if (!block_stop_signals()) return false;
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    set_last_error_from_errno();
    return false;
  }
  int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    uint32_t err = set_last_error_from_errno();
    close(signalFd);
    set_last_error(err);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!begin_dispatch_locked(serviceTable)) {
      close(signalFd);
      close(wakeFd);
      return false;
    }
    heldStop_ = false;
    wakeFd_ = wakeFd;
  }
  // Controls can still be injected and signals still stop the service
  // without the socket, so its failure is only logged.
  int socketFd = open_control_socket();

  std::thread serviceThread = start_service_main(serviceTable[0].lpServiceProc);
  run_loop(signalFd, socketFd);
  serviceThread.join();

  std::lock_guard<std::mutex> lock(mu_);
  finish_dispatch_locked();
  if (socketFd >= 0) {
    close(socketFd);
    unlink(socketPath_.c_str());
  }
  close(signalFd);
  close(wakeFd_);
  wakeFd_ = -1;
  return true;
}

int SystemdBackend::open_control_socket() {
  socketPath_ = control_socket_path(serviceName_);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof addr.sun_path) {
    internal::log(2, "Control socket path too long: %s", socketPath_.c_str());
    return -1;
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  std::string dir = socketPath_.substr(0, socketPath_.rfind('/'));
  uint32_t err = create_directories(dir, 0755);
  if (err != 0 && err != kErrorAlreadyExists) {
    internal::log(2, "Control socket folder %s cannot be made, err: %u", dir.c_str(), err);
    return -1;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    internal::log(2, "Control socket cannot be made: %s", std::strerror(errno));
    return -1;
  }
  // A socket left by a dead instance refuses connections and is replaced;
  // one that answers belongs to a live instance and is left alone.
  struct stat st;
  if (lstat(socketPath_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno == ECONNREFUSED) {
      unlink(socketPath_.c_str());
    }
    if (probe >= 0) close(probe);
  }
  int on = 1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(socketPath_.c_str(), 0600) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
    internal::log(2, "Control socket %s cannot be used: %s", socketPath_.c_str(),
                  std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void SystemdBackend::deliver_from_outside(uint32_t control, uint32_t eventType, void* eventData,
                                          const char* source) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!accepting_locked()) {
    internal::log(3, "Control %u from %s refused: the service is %s", control, source,
                  state_name(state_));
    return;
  }
  if (control == SERVICE_CONTROL_STOP && (accepted_ & SERVICE_ACCEPT_STOP) == 0) {
    internal::log(3, "Control %u from %s refused: the service does not accept stop", control,
                  source);
    return;
  }
  uint32_t result = call_handler(lock, control, eventType, eventData);
  internal::log(5, "Control %u (event %u) from %s answered %u", control, eventType, source, result);
}

void SystemdBackend::read_signal(int fd) {
  signalfd_siginfo info;
  while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    internal::log(4, "Received signal %u: stopping the service", info.ssi_signo);
    std::unique_lock<std::mutex> lock(mu_);
    // A stop asked for during the start is carried out once it is over.
    if (state_ == SERVICE_START_PENDING) {
      heldStop_ = true;
      continue;
    }
    lock.unlock();
    deliver_from_outside(SERVICE_CONTROL_STOP, 0, nullptr, "signal");
  }
}

void SystemdBackend::read_control_socket(int fd) {
  while (true) {
    char buf[128];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    const ucred* cred = nullptr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
        cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
      }
    }
    if (cred == nullptr || cred->uid != 0) {
      internal::log(3, "Ignored control message from uid %ld",
                    cred == nullptr ? -1L : static_cast<long>(cred->uid));
      continue;
    }
    std::string_view text(buf, static_cast<size_t>(n));
    ControlMessage message;
    if ((msg.msg_flags & MSG_TRUNC) != 0 || !parse_control_message(text, &message)) {
      internal::log(3, "Ignored control message \"%s\"", printable(text).c_str());
      continue;
    }
    WTSSESSION_NOTIFICATION session;
    session.dwSessionId = message.sessionId;
    deliver_from_outside(message.control, message.eventType,
                         message.hasSessionId ? &session : nullptr, "control socket");
  }
}

void SystemdBackend::run_loop(int signalFd, int socketFd) {
  while (true) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      drain_queue_locked(lock);
      if (stopped_ || mainReturned_) return;
      if (heldStop_ && state_ != SERVICE_START_PENDING) {
        heldStop_ = false;
        lock.unlock();
        deliver_from_outside(SERVICE_CONTROL_STOP, 0, nullptr, "signal");
        continue;
      }
    }
    pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {socketFd, POLLIN, 0}};
    int rc = poll(fds, socketFd >= 0 ? 3 : 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      internal::log(2, "Service control loop cannot wait: %s", std::strerror(errno));
      // Without a wait the loop would spin; the service can still stop itself.
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopped_ || mainReturned_; });
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      ssize_t n = read(wakeFd_, &count, sizeof count);
      (void)n;
    }
    if ((fds[0].revents & POLLIN) != 0) read_signal(signalFd);
    if (socketFd >= 0 && (fds[2].revents & POLLIN) != 0) read_control_socket(socketFd);
  }
}

void SystemdBackend::reported(const SERVICE_STATUS& status) {
  internal::log(4, "Service status %s, check point %u, wait hint %u, exit code %u",
                state_name(status.dwCurrentState), status.dwCheckPoint, status.dwWaitHint,
                status.dwWin32ExitCode);
  std::string text = notify_text(status);
  int rc = sd_notify(0, text.c_str());
  if (rc < 0) internal::log(3, "sd_notify failed: %s", std::strerror(-rc));
}

}  // namespace

bool started_by_service_manager() {
  const char* notifySocket = std::getenv("NOTIFY_SOCKET");
  return notifySocket != nullptr && *notifySocket != '\0';
}

bool block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc == 0) return true;
  set_last_error_from_errno(rc);
  return false;
}

namespace internal {

ServiceControlBackend& systemd_backend() {
  static SystemdBackend* backend = new SystemdBackend;  // lives as long as the process
  return *backend;
}

}  // namespace internal

}  // namespace platform::service_control
