#include "platform/service_control/dispatcher_core.h"

#include "platform/error/win_error.h"

namespace platform::service_control {

bool DispatcherCore::valid_table(const SERVICE_TABLE_ENTRY* serviceTable) {
  if (serviceTable != nullptr && serviceTable[0].lpServiceName != nullptr &&
      serviceTable[0].lpServiceProc != nullptr) {
    return true;
  }
  set_last_error(kErrorInvalidParameter);
  return false;
}

bool DispatcherCore::begin_dispatch_locked(const SERVICE_TABLE_ENTRY* serviceTable) {
  if (dispatching_) {
    set_last_error(kErrorBusy);
    return false;
  }
  dispatching_ = true;
  mainReturned_ = false;
  stopped_ = false;
  serviceName_ = serviceTable[0].lpServiceName;
  handler_ = nullptr;
  context_ = nullptr;
  state_ = SERVICE_START_PENDING;
  accepted_ = 0;
  dispatcherThread_ = std::this_thread::get_id();
  return true;
}

std::thread DispatcherCore::start_service_main(LPSERVICE_MAIN_FUNCTION serviceMain) {
  // Only the dispatcher thread writes the name, and this is that thread.
  std::string name = serviceName_;
  return std::thread([this, serviceMain, name] {
    std::string arg0 = name;
    char* argv[] = {arg0.data(), nullptr};
    serviceMain(1, argv);
    std::lock_guard<std::mutex> lock(mu_);
    mainReturned_ = true;
    wake();
  });
}

uint32_t DispatcherCore::call_handler(std::unique_lock<std::mutex>& lock, uint32_t control,
                                      uint32_t eventType, void* eventData) {
  LPHANDLER_FUNCTION_EX handler = handler_;
  void* context = context_;
  lock.unlock();
  uint32_t result = handler(control, eventType, eventData, context);
  lock.lock();
  return result;
}

void DispatcherCore::drain_queue_locked(std::unique_lock<std::mutex>& lock) {
  while (!queue_.empty() && !stopped_) {
    Request* r = queue_.front();
    queue_.pop_front();
    if (!accepting_locked()) {
      r->error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else {
      r->result = call_handler(lock, r->control, r->eventType, r->eventData);
    }
    r->done = true;
    cv_.notify_all();
  }
}

void DispatcherCore::finish_dispatch_locked() {
  for (Request* r : queue_) {
    r->error = ERROR_SERVICE_NOT_ACTIVE;
    r->done = true;
  }
  queue_.clear();
  handler_ = nullptr;
  dispatching_ = false;
  cv_.notify_all();
}

SERVICE_STATUS_HANDLE DispatcherCore::register_handler(const char* serviceName,
                                                       LPHANDLER_FUNCTION_EX handler,
                                                       void* context) {
  std::lock_guard<std::mutex> lock(mu_);
  if (uint32_t err = registration_error_locked(); err != 0) {
    set_last_error(err);
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
  handler_ = handler;
  context_ = context;
  registered_locked(serviceName);
  return handle();
}

bool DispatcherCore::set_status(SERVICE_STATUS_HANDLE h, const SERVICE_STATUS* status) {
  if (status == nullptr) {
    set_last_error(kErrorInvalidParameter);
    return false;
  }
  // One report at a time, from state change to `reported`, so the manager
  // hears the states in the order they were set (a held stop delivered on
  // RUNNING must not overtake the RUNNING report).
  std::lock_guard<std::mutex> report(reportMu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    record_report_locked(*status);
    if (h != handle() || !dispatching_ || handler_ == nullptr || stopped_) {
      set_last_error(kErrorInvalidHandle);
      return false;
    }
    state_ = status->dwCurrentState;
    accepted_ = status->dwControlsAccepted;
    if (state_ == SERVICE_STOPPED) stopped_ = true;
    if (state_ != SERVICE_START_PENDING || stopped_) wake();
  }
  reported(*status);
  return true;
}

uint32_t DispatcherCore::inject_control(uint32_t control, uint32_t eventType, void* eventData,
                                        uint32_t* result) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!dispatching_ || handler_ == nullptr) return ERROR_SERVICE_NOT_ACTIVE;
  if (!accepting_locked()) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (std::this_thread::get_id() == dispatcherThread_) {
    uint32_t r = call_handler(lock, control, eventType, eventData);
    if (result != nullptr) *result = r;
    return 0;
  }
  Request request;
  request.control = control;
  request.eventType = eventType;
  request.eventData = eventData;
  queue_.push_back(&request);
  wake();
  cv_.wait(lock, [&] { return request.done; });
  if (request.error != 0) return request.error;
  if (result != nullptr) *result = request.result;
  return 0;
}

}  // namespace platform::service_control
