// The part of a dispatcher that the systemd backend and the recording fake
// share: handler registration, status bookkeeping, the queue of controls
// injected from other threads and their delivery on the dispatcher thread.
//
// A backend derives from `DispatcherCore`, writes its own `start_dispatcher`
// from the helpers below and may hook status reports (`record_report_locked`,
// `reported`), registration (`registration_error_locked`, `registered_locked`)
// and the wake-up of its control loop (`wake`).
//
// Locks: `reportMu_` is taken before `mu_` and keeps one report at a time from
// state change to the backend's `reported`, so reports leave in state order.
// Handlers always run with `mu_` released. Any thread may call the public
// methods.
#ifndef PLATFORM_SERVICE_CONTROL_DISPATCHER_CORE_H_
#define PLATFORM_SERVICE_CONTROL_DISPATCHER_CORE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/service_control/service_control.h"

namespace platform::service_control {

class DispatcherCore : public ServiceControlBackend {
 public:
  SERVICE_STATUS_HANDLE register_handler(const char* serviceName, LPHANDLER_FUNCTION_EX handler,
                                         void* context) override;
  bool set_status(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) override;
  uint32_t inject_control(uint32_t control, uint32_t eventType, void* eventData,
                          uint32_t* result) override;

 protected:
  // Rejects a table without a first service (87).
  static bool valid_table(const SERVICE_TABLE_ENTRY* serviceTable);
  // Marks a dispatcher as running on this thread for the table's first
  // service; false with the busy error when one already runs.
  bool begin_dispatch_locked(const SERVICE_TABLE_ENTRY* serviceTable);
  // Runs the service's main function on a thread of its own; when it returns
  // `mainReturned_` is set and the loop woken.
  std::thread start_service_main(LPSERVICE_MAIN_FUNCTION serviceMain);
  // Hands queued controls to the handler until the queue is empty or the
  // service has stopped.
  void drain_queue_locked(std::unique_lock<std::mutex>& lock);
  // Fails controls still queued and ends the dispatch.
  void finish_dispatch_locked();
  bool has_queued_locked() const { return !queue_.empty(); }

  bool accepting_locked() const {
    return state_ != SERVICE_START_PENDING && state_ != SERVICE_STOPPED && handler_ != nullptr;
  }
  // Runs the handler on the calling thread; `lock` is released around it.
  uint32_t call_handler(std::unique_lock<std::mutex>& lock, uint32_t control, uint32_t eventType,
                        void* eventData);

  // Called under `mu_` when the control loop has something to do.
  virtual void wake() { cv_.notify_all(); }
  // Called under `mu_` before a registration is checked; non-zero refuses it
  // with that error.
  virtual uint32_t registration_error_locked() const { return 0; }
  // Called under `mu_` when a handler has been registered.
  virtual void registered_locked(const char* /*serviceName*/) {}
  // Called under `mu_` for every report, before it is checked.
  virtual void record_report_locked(const SERVICE_STATUS& /*status*/) {}
  // Called after an accepted report, under `reportMu_` only.
  virtual void reported(const SERVICE_STATUS& /*status*/) {}

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool dispatching_ = false;
  bool mainReturned_ = false;
  bool stopped_ = false;
  std::string serviceName_;
  LPHANDLER_FUNCTION_EX handler_ = nullptr;
  void* context_ = nullptr;
  uint32_t state_ = SERVICE_START_PENDING;
  uint32_t accepted_ = 0;
  std::thread::id dispatcherThread_;

 private:
  struct Request {
    uint32_t control = 0;
    uint32_t eventType = 0;
    void* eventData = nullptr;
    uint32_t result = 0;
    uint32_t error = 0;
    bool done = false;
  };

  SERVICE_STATUS_HANDLE handle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(this); }

  std::mutex reportMu_;
  std::deque<Request*> queue_;
};

}  // namespace platform::service_control

#endif  // PLATFORM_SERVICE_CONTROL_DISPATCHER_CORE_H_
