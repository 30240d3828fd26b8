#include "client/lib/cxWinSvc/cxWinService.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "platform/error/win_error.h"

namespace {

constexpr const char* kTag = "cxWinService";

// Lets the base Run loop end as soon as a stop clears m_running instead of
// finishing its five-second sleep.
std::mutex g_runLock;
std::condition_variable g_runWake;

void CopyText(char* to, size_t size, const char* from) {
  if (from == nullptr) from = "";
  std::strncpy(to, from, size - 1);
  to[size - 1] = '\0';
}

void LogFromPlatform(int level, const std::string& text) { CXLOG(kTag, level, "%s", text.c_str()); }

}  // namespace

cxWinService* cxWinService::s_instance = nullptr;
std::atomic<uint32_t> cxWinService::s_checkPoint{1};

cxWinService::cxWinService(const char* serviceName, const char* displayName,
                           const char* description) {
  CopyText(m_serviceName, sizeof m_serviceName, serviceName);
  CopyText(m_displayName, sizeof m_displayName, displayName);
  CopyText(m_description, sizeof m_description, description);
  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_STOPPED;
  m_status.dwControlsAccepted = kAcceptedControls;
  s_instance = this;
  platform::service_control::set_log_hook(LogFromPlatform);
}

cxWinService::~cxWinService() {
  if (s_instance != this) return;
  s_instance = nullptr;
  platform::service_control::set_log_hook(nullptr);
}

bool cxWinService::Uninstall() {
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "OpenSCManager failed, err: %d", static_cast<int>(error));
    platform::set_last_error(error);
    return false;
  }
  bool deleted = false;
  uint32_t error = 0;
  SC_HANDLE service = OpenService(manager, m_serviceName, DELETE);
  if (service == nullptr) {
    error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "DeleteService failed, err: %d", static_cast<int>(error));
  } else if (DeleteService(service)) {
    CXLOG(kTag, CXLOG_INFO, "Service deleted successfully!");
    deleted = true;
  } else {
    error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "DeleteService failed, err: %d", static_cast<int>(error));
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  // Logging and closing may touch the last error; the caller reports the failure's.
  if (!deleted) platform::set_last_error(error);
  return deleted;
}

void cxWinService::OnInterrogate() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnInterrogate()"); }
void cxWinService::OnPause() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnPause()"); }
void cxWinService::OnContinue() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnContinue()"); }
void cxWinService::OnShutdown() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnShutdown()"); }
void cxWinService::OnPreShutdown() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnPreShutdown()"); }

void cxWinService::OnSessionChange(uint32_t, WTSSESSION_NOTIFICATION*) {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnSessionChange()");
}

int cxWinService::OnUserControl(uint32_t control) {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnUserControl (%8.8lXH)",
        static_cast<unsigned long>(control));
  return 0;
}

void cxWinService::OnAOACSuspend() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnAOACSuspend()"); }
void cxWinService::OnAOACWakeup() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnAOACWakeup()"); }

void cxWinService::OnSystemPowerDown() {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnSystemPowerDown()");
}

void cxWinService::OnSystemPowerUp() {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnSystemPowerUp()");
}

void cxWinService::ReservedHook() {}

void cxWinService::OnControlHook(uint32_t, uint32_t, void*) {}

bool cxWinService::AllowStopProtectedService() {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::AllowStopProtectedService()");
  return true;
}

bool cxWinService::ServiceProtectionEnabled() {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::ServiceProtectionEnabled()");
  return false;
}

void cxWinService::Run() {
  CXLOG(kTag, CXLOG_DEBUG, "Entering cxWinService::Run()");
  while (m_running.load() != 0) {
    CXLOG(kTag, CXLOG_DEBUG, "Sleeping for 5 seconds...");
    std::unique_lock<std::mutex> lock(g_runLock);
    g_runWake.wait_for(lock, std::chrono::milliseconds(5000),
                       [this] { return m_running.load() == 0; });
  }
  CXLOG(kTag, CXLOG_DEBUG, "Leaving cxWinService::Run()");
}

bool cxWinService::OnInit(bool) {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnInit()");
  return true;
}

void cxWinService::OnStop() { CXLOG(kTag, CXLOG_DEBUG, "cxWinService::OnStop()"); }

int cxWinService::StartService() {
  CXLOG(kTag, CXLOG_DEBUG, "Entering StartService");
  SERVICE_TABLE_ENTRY table[] = {{m_serviceName, &cxWinService::ServiceMain}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcher(table)) return 1;
  const uint32_t error = platform::last_error();
  CXLOG(kTag, CXLOG_ERROR, "StartServiceCtrlDispatcher failed, err: %d", static_cast<int>(error));
  // The caller tells a start by hand (1063) from other failures.
  platform::set_last_error(error);
  return 0;
}

SERVICE_STATUS cxWinService::Status() const {
  std::lock_guard<std::mutex> lock(m_statusLock);
  return m_status;
}

void cxWinService::ResetCheckPointCounter() { s_checkPoint.store(1); }

void cxWinService::SetStatus(uint32_t state) {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::SetStatus(%lu, %lu)",
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_statusHandle.load())),
        static_cast<unsigned long>(state));
  // A virtual call, so made before the status lock is taken.
  uint32_t accepted = ServiceProtectionEnabled() ? kAcceptedControlsProtected : kAcceptedControls;

  // Reported under the lock so that the two threads' reports reach the
  // manager in the order their records were made.
  std::lock_guard<std::mutex> lock(m_statusLock);
  m_status.dwCurrentState = state;
  m_status.dwControlsAccepted = accepted;
  SERVICE_STATUS_HANDLE handle = m_statusHandle.load();
  switch (state) {
    case SERVICE_STOPPED:
      handle = m_statusHandle.exchange(nullptr);
      m_status.dwCheckPoint = 0;
      break;
    case SERVICE_START_PENDING:
      m_status.dwControlsAccepted = 0;
      m_status.dwCheckPoint = s_checkPoint.fetch_add(1);
      m_status.dwWaitHint = kPendingWaitHintMs;
      break;
    case SERVICE_STOP_PENDING:
      m_status.dwCheckPoint = s_checkPoint.fetch_add(1);
      m_status.dwWaitHint = kPendingWaitHintMs;
      break;
    case SERVICE_RUNNING:
      m_status.dwCheckPoint = 0;
      break;
    default:
      m_status.dwCheckPoint = s_checkPoint.fetch_add(1);
      break;
  }
  if (handle != nullptr) SetServiceStatus(handle, &m_status);
}

bool cxWinService::IsAOACDevice() {
  SYSTEM_POWER_CAPABILITIES capabilities;
  if (!GetSystemPowerCapabilities(&capabilities)) {
    CXLOG(kTag, CXLOG_WARN, "Failed to get power capabilities, error: %d",
          static_cast<int>(platform::last_error()));
    return false;
  }
  return capabilities.AoAc;
}

bool cxWinService::Initialize() {
  CXLOG(kTag, CXLOG_DEBUG, "Entering cxWinService::Initialize()");
  SetStatus(SERVICE_START_PENDING);
  platform::set_last_error(0);
  bool result = OnInit(false);
  uint32_t exitCode = platform::last_error();
  std::lock_guard<std::mutex> lock(m_statusLock);
  m_status.dwWin32ExitCode = exitCode;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 0;
  return result;
}

void cxWinService::ServiceMain(uint32_t, char**) {
  cxWinService* self = s_instance;
  if (self == nullptr) return;
  CXLOG(kTag, CXLOG_DEBUG, "Entering cxWinService::ServiceMain()");
  {
    std::lock_guard<std::mutex> lock(self->m_statusLock);
    self->m_status.dwCurrentState = SERVICE_START_PENDING;
  }
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerEx(self->m_serviceName, &cxWinService::Handler, nullptr);
  if (handle == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "RegisterServiceCtrlHandlerEx failed, err: %d",
          static_cast<int>(platform::last_error()));
    return;
  }
  self->m_statusHandle.store(handle);

  if (self->Initialize()) {
    // Set before RUNNING is reported: a stop control may follow the report at
    // once, and its clearing must not be overwritten.
    self->m_running.store(1);
    self->SetStatus(SERVICE_RUNNING);
    CXLOG(kTag, CXLOG_DEBUG, "Leaving cxWinService::Initialize()");
    if (self->IsAOACDevice()) {
      CXLOG(kTag, CXLOG_INFO,
            "This is a Always On Always Connected device, enable notification for connected "
            "standby");
      if (RegisterPowerSettingNotification(self->m_statusHandle.load(), &GUID_MONITOR_POWER_ON,
                                           DEVICE_NOTIFY_SERVICE_HANDLE) == nullptr) {
        CXLOG(kTag, CXLOG_ERROR, "RegisterPowerSettingNotification failed, error %d",
              static_cast<int>(platform::last_error()));
      }
    }
    {
      std::lock_guard<std::mutex> lock(self->m_statusLock);
      self->m_status.dwWin32ExitCode = 0;
      self->m_status.dwCheckPoint = 0;
      self->m_status.dwWaitHint = 0;
    }
    self->Run();
  } else {
    // The exit code of the failed start goes with this report; the one
    // below finds no handle.
    self->SetStatus(SERVICE_STOPPED);
  }
  self->SetStatus(SERVICE_STOPPED);
  CXLOG(kTag, CXLOG_DEBUG, "Leaving cxWinService::ServiceMain()");
}

uint32_t cxWinService::Handler(uint32_t control, uint32_t eventType, void* eventData, void*) {
  cxWinService* self = s_instance;
  if (self == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  self->OnControlHook(control, eventType, eventData);
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::Handler opcode (%lu)",
        static_cast<unsigned long>(control));

  auto stop = [self](bool preShutdown) {
    self->SetStatus(SERVICE_STOP_PENDING);
    if (preShutdown) {
      self->OnPreShutdown();
    } else {
      self->OnStop();
    }
    {
      std::lock_guard<std::mutex> lock(g_runLock);
      self->m_running.store(0);
    }
    g_runWake.notify_all();
  };

  uint32_t result = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      CXLOG(kTag, CXLOG_INFO, "Received stop event from service control");
      stop(false);
      return 0;
    case kUserControlProtectedStop:
      CXLOG(kTag, CXLOG_INFO, "Received stop event from service control");
      CXLOG(kTag, CXLOG_INFO,
            "Received stop event from service control with service protection enabled");
      if (self->AllowStopProtectedService()) {
        stop(false);
        return 0;
      }
      CXLOG(kTag, CXLOG_ERROR, "failed to stop service with service protection enabled");
      break;
    case SERVICE_CONTROL_PAUSE:
      self->OnPause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      self->OnContinue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      self->OnInterrogate();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      self->OnShutdown();
      break;
    case SERVICE_CONTROL_POWEREVENT:
      self->HandlePowerEvent(eventType, eventData);
      break;
    case SERVICE_CONTROL_SESSIONCHANGE:
      self->OnSessionChange(eventType, static_cast<WTSSESSION_NOTIFICATION*>(eventData));
      break;
    case SERVICE_CONTROL_PRESHUTDOWN:
      CXLOG(kTag, CXLOG_INFO, "Received PreShutdown");
      stop(true);
      return 0;
    case kUserControlRequest:
      self->OnUserControl(kUserControlRequest);
      break;
    default:
      result = ERROR_CALL_NOT_IMPLEMENTED;
      break;
  }

  uint32_t state = self->Status().dwCurrentState;
  CXLOG(kTag, CXLOG_DEBUG, "Updating status (%lu, %lu)",
        static_cast<unsigned long>(reinterpret_cast<uintptr_t>(self->m_statusHandle.load())),
        static_cast<unsigned long>(state));
  self->SetStatus(state);
  return result;
}

void cxWinService::HandlePowerEvent(uint32_t eventType, void* eventData) {
  CXLOG(kTag, CXLOG_DEBUG, "cxWinService::Handler power event type (%lu)",
        static_cast<unsigned long>(eventType));
  switch (eventType) {
    case PBT_APMSUSPEND:
      CXLOG(kTag, CXLOG_INFO, "Received PBT_APMSUSPEND");
      OnSystemPowerDown();
      return;
    case PBT_APMSTANDBY:
      CXLOG(kTag, CXLOG_INFO, "Received PBT_APMSTANDBY");
      OnSystemPowerDown();
      return;
    case PBT_APMRESUMECRITICAL:
      CXLOG(kTag, CXLOG_INFO, "Received PBT_APMRESUMECRITICAL");
      OnSystemPowerUp();
      return;
    case PBT_APMRESUMESUSPEND:
      CXLOG(kTag, CXLOG_INFO, "Received PBT_APMRESUMESUSPEND");
      OnSystemPowerUp();
      return;
    case PBT_APMRESUMESTANDBY:
      CXLOG(kTag, CXLOG_INFO, "Received PBT_APMRESUMESTANDBY");
      OnSystemPowerUp();
      return;
    case PBT_POWERSETTINGCHANGE:
      break;
    default:
      return;
  }
  if (!IsAOACDevice() || eventData == nullptr) return;
  const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(eventData);
  if (!(setting->PowerSetting == GUID_MONITOR_POWER_ON) || setting->DataLength < 1) return;
  if (setting->Data[0] == 0) {
    CXLOG(kTag, CXLOG_DEBUG, "display going OFF");
    OnAOACSuspend();
    return;
  }
  if (setting->Data[0] == 1) {
    CXLOG(kTag, CXLOG_DEBUG, "display going ON");
    OnAOACWakeup();
  }
}
