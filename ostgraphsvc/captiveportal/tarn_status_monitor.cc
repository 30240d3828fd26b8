#include "ostgraphsvc/captiveportal/tarn_status_monitor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxRegUtils.h"
#include "platform/registry/registry.h"

namespace reg = platform::registry;

namespace {

constexpr char kTag[] = "tarnregmon";
constexpr int kKeyRetryMs = 25000;
constexpr int kStopWaitMs = 2000;
constexpr uint32_t kErrorFileNotFound = 2;

}  // namespace

TarnStatusMonitor::TarnStatusMonitor() : exitEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TarnStatusMonitor::~TarnStatusMonitor() {
  if (monitorThread_.joinable()) {
    SetExitEvent();
    monitorThread_.join();
  }
  if (exitEvent_ >= 0) ::close(exitEvent_);
}

bool TarnStatusMonitor::Start(ITarnStatusMonitorListener* listener,
                              const std::string& registryPath) {
  if (listener == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "TARN status monitor listener not set, monitoring is not started");
    return false;
  }
  if (listener_ != nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "TARN status monitor listener is already registered, path %s",
          registryPath_.c_str());
    return false;
  }
  if (registryPath.empty()) {
    CXLOG(kTag, CXLOG_ERROR, "TARN status monitor registry path is empty");
    return false;
  }
  if (exitEvent_ < 0) {
    CXLOG(kTag, CXLOG_ERROR, "Error %x creating event", static_cast<unsigned>(errno));
    return false;
  }
  registryPath_ = registryPath;
  listener_ = listener;
  CXLOG(kTag, CXLOG_INFO, "Starting TARN Registry Monitor thread registry path %s.",
        registryPath_.c_str());
  monitorThread_ = std::thread(&TarnStatusMonitor::MonitorThread, this);
  return true;
}

bool TarnStatusMonitor::Stop() {
  if (!monitorThread_.joinable()) return true;
  SetExitEvent();
  std::unique_lock<std::mutex> lock(doneMutex_);
  bool done = doneCv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                               [this] { return threadDone_; });
  lock.unlock();
  // A thread still running after the wait is left to the destructor, which
  // joins it instead of letting it outlive its listener.
  if (done) monitorThread_.join();
  return true;
}

void TarnStatusMonitor::SetExitEvent() {
  uint64_t one = 1;
  while (::write(exitEvent_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

int TarnStatusMonitor::WaitExitEvent(int timeoutMs) {
  struct pollfd p = {exitEvent_, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  if (rc == 0) return 0;
  uint64_t count = 0;
  if (::read(exitEvent_, &count, sizeof count) < 0 && errno != EAGAIN) return -1;
  return 1;
}

void TarnStatusMonitor::MonitorThread() {
  CXLOG(kTag, CXLOG_INFO, "TARN Registry Monitor thread started.");
  uint32_t view = cxUse64BitRegistryView() == 1 ? reg::kKeyWow64_64Key : reg::kKeyWow64_32Key;
  const char* path = registryPath_.c_str();
  for (;;) {
    reg::Key key;
    uint32_t err =
        reg::open_key(reg::RootKey::kLocalMachine, registryPath_, reg::kKeyRead | view, &key);
    if (err != 0) {
      int waited = WaitExitEvent(kKeyRetryMs);
      if (waited == 0) {
        // The detector has not written anything yet: not worth a line per retry.
        if (err != kErrorFileNotFound)
          CXLOG(kTag, CXLOG_DEBUG, "Error %d opening key %s", static_cast<int>(err), path);
        continue;
      }
      if (waited == 1) {
        CXLOG(kTag, CXLOG_INFO, "Got tarn reg monitor exit event.");
        break;
      }
      CXLOG(kTag, CXLOG_ERROR, "Key %s WaitForSingleObject failed with err %d", path, errno);
      break;
    }

    std::unique_ptr<reg::KeyWatch> watch;
    err = reg::KeyWatch::start(reg::RootKey::kLocalMachine, registryPath_, view, &watch);
    if (err != 0) {
      CXLOG(kTag, CXLOG_ERROR, "Failed to register for TARN status changes, err %d",
            static_cast<int>(err));
      reg::close_key(&key);
      break;
    }

    // 1 change, 0 exit, -1 wait failure. The exit event is looked at first.
    int outcome = -1;
    for (;;) {
      struct pollfd fds[2] = {{exitEvent_, POLLIN, 0}, {watch->fd(), POLLIN, 0}};
      int rc = ::poll(fds, 2, -1);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) break;
      if ((fds[0].revents & POLLIN) != 0) {
        uint64_t count = 0;
        if (::read(exitEvent_, &count, sizeof count) < 0 && errno != EAGAIN) break;
        outcome = 0;
        break;
      }
      if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) {
        errno = EIO;
        break;
      }
      // A folder event that left the key as it was is no change of the key.
      if (watch->check()) {
        outcome = 1;
        break;
      }
    }
    if (outcome == 1) {
      CXLOG(kTag, CXLOG_INFO, "Got tarn registry change notification.");
      listener_->OnTarnStatusChanged();
      reg::close_key(&key);
      continue;
    }
    if (outcome == 0) {
      CXLOG(kTag, CXLOG_INFO, "Got tarn reg monitor exit event.");
      reg::close_key(&key);
      break;
    }
    CXLOG(kTag, CXLOG_ERROR, "WaitForMultipleObjects failed with err %d", errno);
    reg::close_key(&key);
    break;
  }
  CXLOG(kTag, CXLOG_INFO, "TARN Registry Monitor thread stopped.");
  std::lock_guard<std::mutex> lock(doneMutex_);
  threadDone_ = true;
  doneCv_.notify_all();
}
