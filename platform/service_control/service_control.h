// The service control manager: installing, configuring and removing a service,
// and running one as a systemd service.
//
// The calls are shaped after the Windows service functions the service was
// written against (narrow-character variants) and report failures through
// `platform::last_error()`:
//   5    access denied (the handle lacks the right the call needs)
//   6    invalid or closed handle
//   50   a configuration this stand-in cannot express (reboot or command
//        failure actions, automatic start)
//   87   bad argument (missing text, line breaks in a unit value)
//   123  service name that is not a plain unit name
//   1060 no such service            1061 control not accepted now
//   1062 service not running         1063 not started by the service manager
//   1073 service exists already
//
// Installation: a service is the unit file
//   $DOVADOD_ROOT/etc/systemd/system/<name>.service
// `CreateService` writes it (Type=notify, ExecStart=<binary path as given:
// callers quote it>, an [Install] section so an administrator may enable it;
// it is never enabled here, which is the demand start), `ChangeServiceConfig2`
// sets the description and maps the failure actions to Restart=always,
// RestartSec, StartLimitIntervalSec and StartLimitBurst, `DeleteService`
// removes the file. After a create or delete, when the root is "/", systemd is
// told with `systemctl daemon-reload`.
//
// Running: `StartServiceCtrlDispatcher` needs NOTIFY_SOCKET (set by systemd for
// a Type=notify unit); without it the call fails with 1063. It runs the
// service's main function on a thread of its own and the control loop on the
// calling thread until the service reports SERVICE_STOPPED (or its main
// function returns). The loop reads SIGTERM and SIGINT through a signalfd and
// turns them into SERVICE_CONTROL_STOP, so `main` must call
// `platform::service_control::block_stop_signals()` before any other thread
// exists. It also reads the control socket
//   $DOVADOD_ROOT/run/dovadod/<name>.ctl
// (Unix datagram, mode 0600, only senders with uid 0): one message
// "control [event-type [session-id]]" in decimal; anything else is logged and
// ignored. A session id is passed as a WTSSESSION_NOTIFICATION. Controls reach
// the handler only on the dispatcher thread, and only once the service has
// left SERVICE_START_PENDING; a stop signal that arrives earlier is kept until
// then. Every status report is logged and sent to systemd: START_PENDING as
// STATUS= and EXTEND_TIMEOUT_USEC= of the wait hint, RUNNING as READY=1,
// STOP_PENDING as STOPPING=1, STOPPED as STATUS= with the exit code.
//
// Tests replace the running half (dispatcher, handler registration, status
// reports, control injection) with `ServiceControlBackend`; the recording
// implementation is in recording_service_control.h.
//
// Threads: every call may be made from any thread; one dispatcher runs at a
// time. Handles are checked: a closed or foreign handle gives 6.
#ifndef PLATFORM_SERVICE_CONTROL_SERVICE_CONTROL_H_
#define PLATFORM_SERVICE_CONTROL_SERVICE_CONTROL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Service type.
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;

// Start types; only the manual ones can be expressed (never enabled).
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

// Current states.
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;

// Controls; 128 to 255 are the service's own.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SERVICE_CONTROL_PARAMCHANGE = 6;
inline constexpr uint32_t SERVICE_CONTROL_POWEREVENT = 13;
inline constexpr uint32_t SERVICE_CONTROL_SESSIONCHANGE = 14;
inline constexpr uint32_t SERVICE_CONTROL_PRESHUTDOWN = 15;

// Accepted controls.
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr uint32_t SERVICE_ACCEPT_PARAMCHANGE = 0x8;
inline constexpr uint32_t SERVICE_ACCEPT_POWEREVENT = 0x40;
inline constexpr uint32_t SERVICE_ACCEPT_SESSIONCHANGE = 0x80;
inline constexpr uint32_t SERVICE_ACCEPT_PRESHUTDOWN = 0x100;

// Power event types of SERVICE_CONTROL_POWEREVENT.
inline constexpr uint32_t PBT_APMSUSPEND = 4;
inline constexpr uint32_t PBT_APMSTANDBY = 5;
inline constexpr uint32_t PBT_APMRESUMECRITICAL = 6;
inline constexpr uint32_t PBT_APMRESUMESUSPEND = 7;
inline constexpr uint32_t PBT_APMRESUMESTANDBY = 8;
inline constexpr uint32_t PBT_POWERSETTINGCHANGE = 0x8013;

// Access rights.
inline constexpr uint32_t SC_MANAGER_CONNECT = 0x1;
inline constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x2;
inline constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr uint32_t SERVICE_QUERY_CONFIG = 0x1;
inline constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x2;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr uint32_t DELETE = 0x10000;

// ChangeServiceConfig2 levels and failure action types.
inline constexpr uint32_t SERVICE_CONFIG_DESCRIPTION = 1;
inline constexpr uint32_t SERVICE_CONFIG_FAILURE_ACTIONS = 2;
inline constexpr uint32_t SC_ACTION_NONE = 0;
inline constexpr uint32_t SC_ACTION_RESTART = 1;
inline constexpr uint32_t SC_ACTION_REBOOT = 2;
inline constexpr uint32_t SC_ACTION_RUN_COMMAND = 3;
inline constexpr uint32_t SERVICE_NO_RESET_PERIOD = 0xFFFFFFFF;  // INFINITE

// Error numbers particular to services.
inline constexpr uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr uint32_t ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr uint32_t ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr uint32_t ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr uint32_t ERROR_SERVICE_EXISTS = 1073;

struct SERVICE_STATUS {
  uint32_t dwServiceType = 0;
  uint32_t dwCurrentState = 0;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

// Event data of SERVICE_CONTROL_SESSIONCHANGE.
struct WTSSESSION_NOTIFICATION {
  uint32_t cbSize = sizeof(WTSSESSION_NOTIFICATION);
  uint32_t dwSessionId = 0;
};

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// {02731015-4510-4526-99E6-E5A17EBD1AEA}
inline constexpr GUID GUID_MONITOR_POWER_ON = {
    0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

// Event data of PBT_POWERSETTINGCHANGE: `DataLength` bytes follow.
struct POWERBROADCAST_SETTING {
  GUID PowerSetting;
  uint32_t DataLength;
  uint8_t Data[1];
};

// What the power-capability query reports; only the connected-standby flag is
// used.
struct SYSTEM_POWER_CAPABILITIES {
  bool AoAc = false;
};

inline constexpr uint32_t DEVICE_NOTIFY_SERVICE_HANDLE = 1;

struct ScHandleRecord;
using SC_HANDLE = ScHandleRecord*;
struct ServiceStatusHandleRecord;
using SERVICE_STATUS_HANDLE = ServiceStatusHandleRecord*;
struct PowerNotifyRecord;
using HPOWERNOTIFY = PowerNotifyRecord*;

using LPSERVICE_MAIN_FUNCTION = void (*)(uint32_t argc, char** argv);
using LPHANDLER_FUNCTION_EX = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData,
                                           void* context);

struct SERVICE_TABLE_ENTRY {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTION lpServiceProc;
};

struct SERVICE_DESCRIPTION {
  const char* lpDescription;
};

struct SC_ACTION {
  uint32_t Type;
  uint32_t Delay;  // milliseconds
};

struct SERVICE_FAILURE_ACTIONS {
  uint32_t dwResetPeriod;  // seconds
  const char* lpRebootMsg;
  const char* lpCommand;
  uint32_t cActions;
  const SC_ACTION* lpsaActions;
};

// Installation. `machine` and `database` must be null or empty (this machine,
// the active database).
SC_HANDLE OpenSCManager(const char* machine, const char* database, uint32_t access);
SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, uint32_t access);
// Needs SC_MANAGER_CREATE_SERVICE. Type SERVICE_WIN32_OWN_PROCESS; start type
// SERVICE_DEMAND_START or SERVICE_DISABLED; load-order group, tag,
// dependencies, account and password null or empty (LocalSystem is root).
SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName,
                        uint32_t access, uint32_t serviceType, uint32_t startType,
                        uint32_t errorControl, const char* binaryPathName,
                        const char* loadOrderGroup, uint32_t* tagId, const char* dependencies,
                        const char* serviceStartName, const char* password);
// `info` points to a SERVICE_DESCRIPTION or a SERVICE_FAILURE_ACTIONS. Failure
// actions: the restart actions give Restart=always with RestartSec the first
// restart's delay in whole seconds and StartLimitBurst their number + 1 within
// StartLimitIntervalSec = the reset period; no restart action gives
// Restart=no and drops the limits. Needs SERVICE_CHANGE_CONFIG.
bool ChangeServiceConfig2(SC_HANDLE service, uint32_t infoLevel, const void* info);
// Needs DELETE.
bool DeleteService(SC_HANDLE service);
bool CloseServiceHandle(SC_HANDLE handle);

// Running.
bool StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char* serviceName,
                                                   LPHANDLER_FUNCTION_EX handler, void* context);
// Fails with 6 once SERVICE_STOPPED has been reported on the handle.
bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Power. Linux has no connected standby: the query succeeds with AoAc false.
// A registration succeeds on a live status handle; no Linux source produces
// power-setting events, which only arrive through `inject_control`.
bool GetSystemPowerCapabilities(SYSTEM_POWER_CAPABILITIES* capabilities);
HPOWERNOTIFY RegisterPowerSettingNotification(SERVICE_STATUS_HANDLE recipient, const GUID* setting,
                                              uint32_t flags);
bool UnregisterPowerSettingNotification(HPOWERNOTIFY notification);

namespace platform::service_control {

// Blocks SIGTERM and SIGINT in the calling thread. `main` calls it first, so
// that every thread started later inherits the mask and the dispatcher alone
// reads those signals. False, with the last error, when the mask cannot be set.
bool block_stop_signals();

// Whether the service manager started this process (NOTIFY_SOCKET is set):
// without it `StartServiceCtrlDispatcher` fails with 1063.
bool started_by_service_manager();

// Delivers a control to the running service's handler on the dispatcher
// thread and waits for it to run (on the dispatcher thread itself it runs at
// once). 0 with the handler's answer in `*result`, or 1062 when no dispatcher
// runs or no handler is registered, 1061 while the service is start-pending or
// after it stopped. `eventData` must live until the call returns.
uint32_t inject_control(uint32_t control, uint32_t eventType, void* eventData, uint32_t* result);

// $DOVADOD_ROOT/etc/systemd/system/<name>.service and
// $DOVADOD_ROOT/run/dovadod/<name>.ctl.
std::string unit_path(std::string_view serviceName);
std::string control_socket_path(std::string_view serviceName);

// Where this module's own lines go (levels as the client log's: 2 error,
// 3 warning, 4 info, 5 debug). Without a hook they are dropped. The hook may
// be called from any thread.
using LogHook = std::function<void(int level, const std::string& text)>;
void set_log_hook(LogHook hook);

// The running half of the manager. The default one is systemd's; tests put a
// recording one in its place.
class ServiceControlBackend {
 public:
  virtual ~ServiceControlBackend() = default;
  virtual bool start_dispatcher(const SERVICE_TABLE_ENTRY* serviceTable) = 0;
  virtual SERVICE_STATUS_HANDLE register_handler(const char* serviceName,
                                                 LPHANDLER_FUNCTION_EX handler, void* context) = 0;
  virtual bool set_status(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) = 0;
  virtual uint32_t inject_control(uint32_t control, uint32_t eventType, void* eventData,
                                  uint32_t* result) = 0;
};

// Replaces the backend (null: systemd's again). Not while a dispatcher runs.
void set_backend(ServiceControlBackend* backend);

}  // namespace platform::service_control

#endif  // PLATFORM_SERVICE_CONTROL_SERVICE_CONTROL_H_
