#include "dovadod/dovadod.h"

#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "graph/router_log.h"
#include "lib/interfacemonitor/ost_interface_monitor.h"
#include "ostgraphsvc/captiveportal/captive_portal.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/ostnetmonitor/ost_net_monitor.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/error/win_error.h"

namespace {

constexpr char kTag[] = "vedoRororeSvc";
constexpr char kServiceName[] = "vedoRororeSvc";
constexpr char kDisplayName[] = "Corvex TARN Client Tunnel Service";
constexpr auto kStopWaitStep = std::chrono::milliseconds(10000);
constexpr uint32_t kRestartDelayMs = 60000;
constexpr uint32_t kFailureResetSeconds = 86400;

// The running executable's path, from the kernel's own view of this process
// (not the test root's), whole: a cut path would name another file.
bool ModuleFileName(std::string* path) {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) {
    platform::set_last_error_from_errno();
    return false;
  }
  if (static_cast<size_t>(length) >= sizeof buffer) {
    platform::set_last_error(platform::kErrorFilenameExcedRange);
    return false;
  }
  *path = std::string(buffer, static_cast<size_t>(length));
  return true;
}

}  // namespace

DovaDod::DovaDod() : cxWinService(kServiceName, kDisplayName, kDisplayName) {}

DovaDod::~DovaDod() = default;

void DovaDod::ReleaseGraph() {
  if (!m_graphManager) return;
  ostssl::stop_threads();
  m_graphManager.reset();
}

void DovaDod::OnPreShutdown() {
  CXLOG(kTag, CXLOG_INFO, "Received pre-shutdown request to stop the DovaDod");
  OnStop();
}

void DovaDod::OnSessionChange(uint32_t eventType, WTSSESSION_NOTIFICATION* notification) {
  CXLOG(kTag, CXLOG_INFO, "OnSessionChange: event %d, sessId %d", static_cast<int>(eventType),
        notification ? static_cast<int>(notification->dwSessionId) : 0);
}

int DovaDod::OnUserControl(uint32_t control) {
  CXLOG(kTag, CXLOG_INFO, "received request to user control %d", static_cast<int>(control));
  return 1;
}

void DovaDod::OnAOACSuspend() {
  CXLOG(kTag, CXLOG_INFO, "AOAC device going to connected standby.");
}

void DovaDod::OnAOACWakeup() {
  CXLOG(kTag, CXLOG_INFO,
        "AOAC device waking up from connected standby. Refresh interface list in Interface "
        "Monitor");
  if (OstInterfaceMonitor* monitor = OstInterfaceMonitor::Instance()) {
    monitor->handleInterfaceChange();
  }
}

void DovaDod::OnSystemPowerDown() {
  CXLOG(kTag, CXLOG_INFO, "System power down event received");
  m_powerDown = true;
}

void DovaDod::OnSystemPowerUp() {
  OstInterfaceMonitor* monitor = OstInterfaceMonitor::Instance();
  if (m_powerDown) {
    CXLOG(kTag, CXLOG_INFO,
          "System power up event received, flush interface list and refresh interface list in "
          "Interface Monitor");
    if (monitor) monitor->clearInterfaces();
    m_powerDown = false;
  } else {
    CXLOG(kTag, CXLOG_INFO, "System power up event received");
  }
  if (monitor) monitor->handleInterfaceChange();
}

bool DovaDod::OnInit(bool /*unused*/) {
  CXLOG(kTag, CXLOG_INFO, "vedororore OnInit!");
  // The overlay element starts the transport while the graph is configured;
  // the transport then makes the network monitor through this factory.
  install_net_monitor_factory();
  m_graphManager = std::make_unique<cxgraphManager>();
  bool started = m_graphManager->Start();

  // Fail-close and the captive-portal follower come up whatever the router
  // did, so that their state is right for the next start.
  FailCloseMgr::GetInstance().Initialize();

  CaptivePortal& portal = CaptivePortal::GetInstance();
  if (!portal.IsInitialized() && !portal.Initialize()) {
    log_syslog_level(3, "CaptivePortal::Initialize", __FILE__, __LINE__,
                     "Failed to register CaptivePortal as TARN status listener.");
  }
  return started;
}

void DovaDod::Run() {
  if (m_graphManager) m_graphManager->Run();

  std::unique_lock<std::mutex> lock(m_stopMutex);
  while (!m_stopCv.wait_for(lock, kStopWaitStep, [this] { return m_stopEvent; })) {
    CXLOG(kTag, CXLOG_INFO,
          "All packet processing elements could not be stopped in %d seconds, exiting main "
          "thread",
          10);
  }
  m_stopEvent = false;  // auto-reset: the wait takes the signal
  lock.unlock();
  CXLOG(kTag, CXLOG_INFO, "Stopped Event signaled");
  CXLOG(kTag, CXLOG_INFO, "Tarn Client service main thread exiting");
}

void DovaDod::OnStop() {
  CXLOG(kTag, CXLOG_INFO, "Received request to stop the DovaDod");
  CaptivePortal::GetInstance().Stop();
  if (m_graphManager) m_graphManager->Stop();

  std::lock_guard<std::mutex> lock(m_stopMutex);
  m_stopEvent = true;
  m_stopCv.notify_all();
}

bool DovaDod::Install() {
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "OpenSCManager failed, err: %d", static_cast<int>(error));
    platform::set_last_error(error);
    return false;
  }

  std::string image;
  if (!ModuleFileName(&image)) {
    // A unit without its program would fail at every start.
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "GetModuleFileName failed, err: %d", static_cast<int>(error));
    CloseServiceHandle(manager);
    platform::set_last_error(error);
    return false;
  }
  // Quoted, so that a path with blanks stays one word of the command line.
  std::string commandLine = "\"" + image + "\"";

  SC_HANDLE service =
      CreateService(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                    commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr) {
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "CreateService failed, err: %d", static_cast<int>(error));
    CloseServiceHandle(manager);
    // The caller reports this error (1073: installed already), not what the
    // log or the close left.
    platform::set_last_error(error);
    return false;
  }

  char description[1024] = {};
  std::snprintf(description, sizeof description, "%s", kDisplayName);
  SERVICE_DESCRIPTION descriptionInfo = {description};
  ChangeServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, &descriptionInfo);

  // Restart after a minute, twice a day at most; nothing on the third failure.
  const SC_ACTION actions[] = {{SC_ACTION_RESTART, kRestartDelayMs},
                               {SC_ACTION_RESTART, kRestartDelayMs},
                               {SC_ACTION_NONE, kRestartDelayMs}};
  SERVICE_FAILURE_ACTIONS failureActions = {kFailureResetSeconds, nullptr, nullptr, 3, actions};
  ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);

  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return true;
}
