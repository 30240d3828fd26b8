// A recording service control manager for tests of a service.
//
// While it lives it replaces the systemd backend. `StartServiceCtrlDispatcher`
// runs the service's main function on a thread of its own and the control
// loop on the calling thread, as the real one does, until SERVICE_STOPPED is
// reported or the main function returns; `inject_control` (or `control`)
// hands a control to that loop and waits for the handler's answer. Every
// SERVICE_STATUS that reaches `SetServiceStatus` is recorded, refused ones
// (after SERVICE_STOPPED) included, so a test sees any extra report.
//
//   platform::service_control::RecordingServiceControl scm;
//   std::thread dispatcher([&] { service.StartService(); });
//   ASSERT_TRUE(scm.wait_for_state(SERVICE_RUNNING));
//   uint32_t answer = 0;
//   scm.control(SERVICE_CONTROL_STOP, 0, nullptr, &answer);
//   dispatcher.join();
//
// Threads: any thread may call any method; one fake lives at a time.
#ifndef PLATFORM_SERVICE_CONTROL_RECORDING_SERVICE_CONTROL_H_
#define PLATFORM_SERVICE_CONTROL_RECORDING_SERVICE_CONTROL_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/service_control/service_control.h"

namespace platform::service_control {

class RecordingServiceControl : public ServiceControlBackend {
 public:
  RecordingServiceControl();
  RecordingServiceControl(const RecordingServiceControl&) = delete;
  RecordingServiceControl& operator=(const RecordingServiceControl&) = delete;
  ~RecordingServiceControl() override;

  // Makes the next dispatcher start or handler registration fail with
  // `error` (0: succeed again).
  void fail_dispatcher(uint32_t error);
  void fail_registration(uint32_t error);

  std::vector<SERVICE_STATUS> statuses() const;
  // Waits until a report of `state` has been recorded; false after
  // `timeout_ms`.
  bool wait_for_state(uint32_t state, int timeout_ms = 5000) const;
  // The same as `inject_control`.
  uint32_t control(uint32_t control, uint32_t eventType, void* eventData, uint32_t* result) {
    return inject_control(control, eventType, eventData, result);
  }
  // The name the service registered its handler under ("" before).
  std::string registered_name() const;

  bool start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) override;
  SERVICE_STATUS_HANDLE register_handler(const char* serviceName, LPHANDLER_FUNCTION_EX handler,
                                         void* context) override;
  bool set_status(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) override;
  uint32_t inject_control(uint32_t control, uint32_t eventType, void* eventData,
                          uint32_t* result) override;

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
  bool accepting_locked() const;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  uint32_t dispatcherError_ = 0;
  uint32_t registrationError_ = 0;
  bool dispatching_ = false;
  bool mainReturned_ = false;
  bool stopped_ = false;
  std::string serviceName_;
  std::string registeredName_;
  LPHANDLER_FUNCTION_EX handler_ = nullptr;
  void* context_ = nullptr;
  uint32_t state_ = SERVICE_START_PENDING;
  std::thread::id dispatcherThread_;
  std::deque<Request*> queue_;
  std::vector<SERVICE_STATUS> statuses_;
};

}  // namespace platform::service_control

#endif  // PLATFORM_SERVICE_CONTROL_RECORDING_SERVICE_CONTROL_H_
