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

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_control/dispatcher_core.h"

namespace platform::service_control {

class RecordingServiceControl : public DispatcherCore {
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

 private:
  uint32_t registration_error_locked() const override { return registrationError_; }
  void registered_locked(const char* serviceName) override { registeredName_ = serviceName; }
  void record_report_locked(const SERVICE_STATUS& status) override;

  uint32_t dispatcherError_ = 0;
  uint32_t registrationError_ = 0;
  std::string registeredName_;
  std::vector<SERVICE_STATUS> statuses_;
};

}  // namespace platform::service_control

#endif  // PLATFORM_SERVICE_CONTROL_RECORDING_SERVICE_CONTROL_H_
