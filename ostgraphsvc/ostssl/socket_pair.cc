#include "ostgraphsvc/ostssl/socket_pair.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "graph/router_log.h"
#include "platform/error/win_error.h"
#include "platform/net/net.h"

namespace {

#define PAIR_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

constexpr char kCreateTag[] = "createSocketPair";
constexpr char kReinitTag[] = "SocketPair::reinit";
constexpr char kReadTag[] = "SocketPair::readfromserversocket";
constexpr char kWakeTag[] = "SocketPair::wakeupserver";

// One recv takes up to this many wake-ups.
constexpr size_t kDrainBytes = 16;

std::atomic<int64_t> g_pause_ms{1000};

void close_socket(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace

WriterPreferringLock::WriterPreferringLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  // Fails only without memory for the attributes, which this lock has none of.
  if (pthread_rwlock_init(&lock_, &attr) != 0) std::abort();
  pthread_rwlockattr_destroy(&attr);
}

WriterPreferringLock::~WriterPreferringLock() { pthread_rwlock_destroy(&lock_); }

void WriterPreferringLock::lock() { pthread_rwlock_wrlock(&lock_); }
bool WriterPreferringLock::try_lock() { return pthread_rwlock_trywrlock(&lock_) == 0; }
void WriterPreferringLock::unlock() { pthread_rwlock_unlock(&lock_); }
void WriterPreferringLock::lock_shared() { pthread_rwlock_rdlock(&lock_); }
bool WriterPreferringLock::try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
void WriterPreferringLock::unlock_shared() { pthread_rwlock_unlock(&lock_); }

bool createSocketPair(int* read_sock, int* write_sock) {
  int fds[2] = {-1, -1};
  if (platform::make_wakeup_pair(fds) != 0) {
    PAIR_LOG(6, kCreateTag, "failed to create socket, err: %d",
             static_cast<int>(platform::last_error()));
    return false;
  }
  *read_sock = fds[0];
  *write_sock = fds[1];
  // A socketpair has no port; the line stays for those who look for it.
  PAIR_LOG(6, kCreateTag, "socketpair port number %d\n", 0);
  return true;
}

SocketPair::~SocketPair() { close(); }

bool SocketPair::init(const char* name) {
  int read_sock = -1;
  int write_sock = -1;
  bool made = createSocketPair(&read_sock, &write_sock);
  std::unique_lock<WriterPreferringLock> guard(lock_);
  if (name_[0] == '\0' && name != nullptr) std::snprintf(name_, sizeof(name_), "%s", name);
  if (!made) return false;
  close_socket(read_sock_);
  close_socket(write_sock_);
  read_sock_ = read_sock;
  write_sock_ = write_sock;
  return true;
}

void SocketPair::close() {
  std::unique_lock<WriterPreferringLock> guard(lock_);
  close_socket(read_sock_);
  close_socket(write_sock_);
  read_sock_ = -1;
  write_sock_ = -1;
}

bool SocketPair::reinit() {
  PAIR_LOG(6, kReinitTag, "reinitiating signaling sockets for %s", name_copy().text);
  int read_sock = -1;
  int write_sock = -1;
  // The old pair stays until a new one exists: a failed reinit leaves the
  // sleeper at least the sockets it selects on.
  if (!createSocketPair(&read_sock, &write_sock)) return false;
  std::unique_lock<WriterPreferringLock> guard(lock_);
  close_socket(read_sock_);
  close_socket(write_sock_);
  read_sock_ = read_sock;
  write_sock_ = write_sock;
  return true;
}

bool SocketPair::readfromserversocket() {
  const Name name = name_copy();
  PAIR_LOG(6, kReadTag, "read event for %s", name.text);
  char buffer[kDrainBytes];
  ssize_t got = 0;
  uint32_t error = 0;
  int fd = -1;
  {
    std::shared_lock<WriterPreferringLock> guard(lock_);
    fd = read_sock_;
    got = platform::recv_socket(fd, buffer, sizeof(buffer));
    if (got < 0) error = platform::last_error();
  }
  if (got > 0) return true;
  if (got < 0 && error == platform::kWsaEwouldblock) return true;
  // End of stream: the write end is gone and the read socket would stay
  // readable for ever, so it counts as a reset.
  if (got == 0) error = platform::kWsaEconnreset;
  PAIR_LOG(3, kReadTag, "Error in signaling (%s). recv fd: %d. Error: %d", name.text, fd,
           static_cast<int>(error));
  pause_after_failure();
  if (error == platform::kWsaEconnreset) return reinit();
  return true;
}

void SocketPair::wakeupserver() {
  static constexpr char kWakeByte[] = "1";
  for (int attempt = 1;; ++attempt) {
    uint32_t error = 0;
    {
      std::shared_lock<WriterPreferringLock> guard(lock_);
      if (platform::send_socket(write_sock_, kWakeByte, 1) == 1) return;
      error = platform::last_error();
    }
    // A full pair already holds a wake-up the sleeper has not read.
    if (error == platform::kWsaEwouldblock) return;
    const Name name = name_copy();
    PAIR_LOG(3, kWakeTag, "send failed while trying to wake up the server with error %d on %s",
             static_cast<int>(error), name.text);
    if (attempt >= 2) {
      PAIR_LOG(2, kWakeTag, "send failed after retrying on %s, giving up", name.text);
      return;
    }
    pause_after_failure();
    if (error == platform::kWsaEconnaborted || error == platform::kWsaEconnreset ||
        error == platform::kWsaEtimedout) {
      PAIR_LOG(6, kWakeTag, "Connection error detected, attempting reinit on %s", name.text);
      if (!reinit()) {
        PAIR_LOG(3, kWakeTag, "reinit failed for %s", name.text);
        return;
      }
      PAIR_LOG(6, kWakeTag, "reinit succeeded for %s", name.text);
    }
  }
}

int SocketPair::read_socket() const {
  std::shared_lock<WriterPreferringLock> guard(lock_);
  return read_sock_;
}

std::string SocketPair::name() const { return name_copy().text; }

SocketPair::Name SocketPair::name_copy() const {
  Name name;
  std::shared_lock<WriterPreferringLock> guard(lock_);
  std::memcpy(name.text, name_, sizeof(name.text));
  return name;
}

void SocketPair::set_pause_for_testing(std::chrono::milliseconds pause) {
  g_pause_ms.store(pause.count());
}

std::chrono::milliseconds SocketPair::pause() {
  return std::chrono::milliseconds(g_pause_ms.load());
}

void SocketPair::pause_after_failure() { std::this_thread::sleep_for(pause()); }
