#include "platform/service_control/recording_service_control.h"

#include <chrono>

#include "platform/error/win_error.h"

namespace platform::service_control {

RecordingServiceControl::RecordingServiceControl() { set_backend(this); }

RecordingServiceControl::~RecordingServiceControl() { set_backend(nullptr); }

void RecordingServiceControl::fail_dispatcher(uint32_t error) {
  std::lock_guard<std::mutex> lock(mu_);
  dispatcherError_ = error;
}

void RecordingServiceControl::fail_registration(uint32_t error) {
  std::lock_guard<std::mutex> lock(mu_);
  registrationError_ = error;
}

std::vector<SERVICE_STATUS> RecordingServiceControl::statuses() const {
  std::lock_guard<std::mutex> lock(mu_);
  return statuses_;
}

bool RecordingServiceControl::wait_for_state(uint32_t state, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const auto& s : statuses_) {
      if (s.dwCurrentState == state) return true;
    }
    return false;
  });
}

std::string RecordingServiceControl::registered_name() const {
  std::lock_guard<std::mutex> lock(mu_);
  return registeredName_;
}

void RecordingServiceControl::record_report_locked(const SERVICE_STATUS& status) {
  statuses_.push_back(status);
  cv_.notify_all();
}

bool RecordingServiceControl::start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) {
  if (!valid_table(serviceTable)) return false;
  std::unique_lock<std::mutex> lock(mu_);
  if (dispatcherError_ != 0) {
    set_last_error(dispatcherError_);
    return false;
  }
  if (!begin_dispatch_locked(serviceTable)) return false;
  lock.unlock();

  std::thread serviceThread = start_service_main(serviceTable[0].lpServiceProc);

  lock.lock();
  while (true) {
    cv_.wait(lock, [&] { return has_queued_locked() || stopped_ || mainReturned_; });
    drain_queue_locked(lock);
    if (stopped_ || mainReturned_) break;
  }
  lock.unlock();
  serviceThread.join();
  lock.lock();
  finish_dispatch_locked();
  return true;
}

}  // namespace platform::service_control
