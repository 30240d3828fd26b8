// The base of a service that runs in its own process under the service
// control manager (platform/service_control: systemd here).
//
// A derived class builds its one object (statically, before `main`), which
// becomes `cxWinService::s_instance`; `main` calls `StartService`, which runs
// the dispatcher: `ServiceMain` runs on a thread the dispatcher makes,
// `Handler` on the thread that called `StartService`. ServiceMain reports
// SERVICE_START_PENDING, calls OnInit, reports SERVICE_RUNNING, calls Run and
// reports SERVICE_STOPPED when Run returns. Handler turns controls into calls
// of the virtual operations below; a stop (or pre-shutdown) control reports
// SERVICE_STOP_PENDING and calls OnStop on the dispatcher thread while Run is
// still active on the service thread, so Run must return once OnStop is done.
//
// Status reports come from both threads: the status record is guarded by a
// lock, the check-point counter (process-wide, from 1, only grows) and
// `m_running` are atomic, and the status handle is taken atomically by the
// first SERVICE_STOPPED report, after which nothing more is reported.
//
// All lines are logged with the tag "cxWinService". The object is not
// copyable; the service object must outlive the dispatcher.
#ifndef CLIENT_LIB_CXWINSVC_CXWINSERVICE_H_
#define CLIENT_LIB_CXWINSVC_CXWINSERVICE_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/service_control/service_control.h"

class cxWinService {
 public:
  // Accepted controls: stop, power events, session changes, pre-shutdown;
  // with service protection, parameter change in place of stop.
  static constexpr uint32_t kAcceptedControls = 0x1C1;
  static constexpr uint32_t kAcceptedControlsProtected = 0x1C8;
  static constexpr uint32_t kPendingWaitHintMs = 30000;
  static constexpr uint32_t kUserControlRequest = 128;
  static constexpr uint32_t kUserControlProtectedStop = 136;

  // Copies the names (at most 63, 1023 and 1023 characters), sets the status
  // to SERVICE_STOPPED (own process, accepted controls 0x1C1, everything else
  // 0) and makes this object `s_instance`.
  cxWinService(const char* serviceName, const char* displayName, const char* description);
  cxWinService(const cxWinService&) = delete;
  cxWinService& operator=(const cxWinService&) = delete;

  // Slots 0 to 19, in this order.
  virtual ~cxWinService();
  // Deletes the service; false, logged, with the failing call's error as the
  // last error (1060 when it is not installed).
  virtual bool Uninstall();
  virtual void OnInterrogate();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual void OnPreShutdown();
  virtual void OnSessionChange(uint32_t eventType, WTSSESSION_NOTIFICATION* notification);
  virtual int OnUserControl(uint32_t control);
  virtual void OnAOACSuspend();
  virtual void OnAOACWakeup();
  virtual void OnSystemPowerDown();
  virtual void OnSystemPowerUp();
  virtual void ReservedHook();
  virtual void OnControlHook(uint32_t control, uint32_t eventType, void* eventData);
  virtual bool AllowStopProtectedService();
  virtual bool ServiceProtectionEnabled();
  virtual void Run();
  virtual bool OnInit(bool unused);
  virtual void OnStop();

  // Runs the dispatcher on the calling thread. Returns 1 once the service
  // has stopped; 0 when the dispatcher could not start (logged with its
  // error, which is also left as the last error: 1063 when the process was
  // not started by the service manager).
  int StartService();

  // The service thread's entry and the control handler, found by the
  // dispatcher; they reach the object through `s_instance`.
  static void ServiceMain(uint32_t argc, char** argv);
  static uint32_t Handler(uint32_t control, uint32_t eventType, void* eventData, void* context);

  // Reports `state` with its check point and wait hint.
  void SetStatus(uint32_t state);

  // Whether the machine has connected standby (never on Linux).
  bool IsAOACDevice();

  const char* ServiceName() const { return m_serviceName; }
  SERVICE_STATUS Status() const;
  bool Running() const { return m_running.load() != 0; }

  // The one service object; set by the constructor, cleared by the destructor.
  static cxWinService* s_instance;

  // Restarts the check-point counter at 1, as in a new process (tests).
  static void ResetCheckPointCounter();

 protected:
  // Reports SERVICE_START_PENDING and calls OnInit; keeps the thread's last
  // error as the exit code for a failed start.
  bool Initialize();

  char m_serviceName[64] = {};
  char m_displayName[1024] = {};
  char m_description[1024] = {};
  mutable std::mutex m_statusLock;
  SERVICE_STATUS m_status;
  std::atomic<SERVICE_STATUS_HANDLE> m_statusHandle{nullptr};
  std::atomic<int> m_running{0};

  static std::atomic<uint32_t> s_checkPoint;

 private:
  void HandlePowerEvent(uint32_t eventType, void* eventData);
};

#endif  // CLIENT_LIB_CXWINSVC_CXWINSERVICE_H_
