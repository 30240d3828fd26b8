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

bool RecordingServiceControl::accepting_locked() const {
  return state_ != SERVICE_START_PENDING && state_ != SERVICE_STOPPED && handler_ != nullptr;
}

bool RecordingServiceControl::start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) {
  if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
      serviceTable[0].lpServiceProc == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return false;
  }
  std::unique_lock<std::mutex> lock(mu_);
  if (dispatcherError_ != 0) {
    set_last_error(dispatcherError_);
    return false;
  }
  if (dispatching_) {
    set_last_error(kErrorBusy);
    return false;
  }
  dispatching_ = true;
  mainReturned_ = false;
  stopped_ = false;
  serviceName_ = serviceTable[0].lpServiceName;
  handler_ = nullptr;
  state_ = SERVICE_START_PENDING;
  dispatcherThread_ = std::this_thread::get_id();
  LPSERVICE_MAIN_FUNCTION serviceMain = serviceTable[0].lpServiceProc;
  std::string name = serviceName_;
  lock.unlock();

  std::thread serviceThread([this, serviceMain, name] {
    std::string arg0 = name;
    char* argv[] = {arg0.data(), nullptr};
    serviceMain(1, argv);
    std::lock_guard<std::mutex> guard(mu_);
    mainReturned_ = true;
    cv_.notify_all();
  });

  lock.lock();
  while (true) {
    cv_.wait(lock, [&] { return !queue_.empty() || stopped_ || mainReturned_; });
    if (queue_.empty() || stopped_) break;
    Request* r = queue_.front();
    queue_.pop_front();
    if (!accepting_locked()) {
      r->error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else {
      LPHANDLER_FUNCTION_EX handler = handler_;
      void* context = context_;
      lock.unlock();
      uint32_t result = handler(r->control, r->eventType, r->eventData, context);
      lock.lock();
      r->result = result;
    }
    r->done = true;
    cv_.notify_all();
  }
  lock.unlock();
  serviceThread.join();
  lock.lock();
  for (Request* r : queue_) {
    r->error = ERROR_SERVICE_NOT_ACTIVE;
    r->done = true;
  }
  queue_.clear();
  handler_ = nullptr;
  dispatching_ = false;
  cv_.notify_all();
  return true;
}

SERVICE_STATUS_HANDLE RecordingServiceControl::register_handler(const char* serviceName,
                                                                LPHANDLER_FUNCTION_EX handler,
                                                                void* context) {
  std::lock_guard<std::mutex> lock(mu_);
  if (registrationError_ != 0) {
    set_last_error(registrationError_);
    return nullptr;
  }
  if (!dispatching_) {
    set_last_error(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return nullptr;
  }
  if (handler == nullptr || serviceName == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return nullptr;
  }
  if (serviceName_ != serviceName) {
    set_last_error(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  registeredName_ = serviceName;
  handler_ = handler;
  context_ = context;
  return handle();
}

bool RecordingServiceControl::set_status(SERVICE_STATUS_HANDLE h, const SERVICE_STATUS* status) {
  if (status == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  statuses_.push_back(*status);
  cv_.notify_all();
  if (h != handle() || handler_ == nullptr || stopped_) {
    set_last_error(kErrorInvalidHandle);
    return false;
  }
  state_ = status->dwCurrentState;
  if (state_ == SERVICE_STOPPED) stopped_ = true;
  return true;
}

uint32_t RecordingServiceControl::inject_control(uint32_t control, uint32_t eventType,
                                                 void* eventData, uint32_t* result) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!dispatching_ || handler_ == nullptr) return ERROR_SERVICE_NOT_ACTIVE;
  if (!accepting_locked()) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (std::this_thread::get_id() == dispatcherThread_) {
    LPHANDLER_FUNCTION_EX handler = handler_;
    void* context = context_;
    lock.unlock();
    uint32_t r = handler(control, eventType, eventData, context);
    if (result != nullptr) *result = r;
    return 0;
  }
  Request request;
  request.control = control;
  request.eventType = eventType;
  request.eventData = eventData;
  queue_.push_back(&request);
  cv_.notify_all();
  cv_.wait(lock, [&] { return request.done; });
  if (request.error != 0) return request.error;
  if (result != nullptr) *result = request.result;
  return 0;
}

}  // namespace platform::service_control
