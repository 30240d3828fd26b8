// DovaDod: the tunnel service, the one service class of the executable.
//
// Its start builds the element-graph router (`cxgraphManager`) and brings up
// the fail-close manager and the captive-portal follower; its run hands the
// calling thread to the router until the stop; its stop takes all of that
// down again in an order that lets the run return. Power and
// connected-standby events refresh the process-wide interface monitor when
// the transport has published one, and only log before that. `Install`
// registers the executable with the service manager. Log tag "vedoRororeSvc".
//
// Ownership: the executable has one global object (it becomes
// `cxWinService::s_instance`); tests may make their own, one at a time. The
// object owns the router manager made by `OnInit`; the fail-close manager,
// the captive-portal follower and the interface monitor are process-wide and
// not owned.
//
// Threads: `OnInit` and `Run` on the service thread (the main thread in a
// foreground run); `OnStop`, `OnPreShutdown` and the power, session and
// user-control handlers on the dispatcher thread (in a foreground run, the
// thread that turns SIGINT and SIGTERM into the stop). `OnStop` runs while
// `Run` is parked in the router loop.
#ifndef DOVADOD_DOVADOD_H_
#define DOVADOD_DOVADOD_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "client/lib/cxWinSvc/cxWinService.h"
#include "ostgraphsvc/graphmgr/cxgraphManager.h"

// The program version printed in the start and exit banners.
inline constexpr char kDovaDodVersion[] = "1.0.0.0";

class DovaDod : public cxWinService {
 public:
  DovaDod();
  ~DovaDod() override;
  DovaDod(const DovaDod&) = delete;
  DovaDod& operator=(const DovaDod&) = delete;

  void OnPreShutdown() override;
  void OnSessionChange(uint32_t eventType, WTSSESSION_NOTIFICATION* notification) override;
  int OnUserControl(uint32_t control) override;
  void OnAOACSuspend() override;
  void OnAOACWakeup() override;
  void OnSystemPowerDown() override;
  void OnSystemPowerUp() override;
  void Run() override;
  bool OnInit(bool unused) override;
  void OnStop() override;

  // Registers the running executable as the service "vedoRororeSvc": manual
  // start, restarted 60 s after a failure, twice a day at most. False, logged,
  // when the service manager cannot be opened or the service exists, with the
  // failing call's error as the last error (1073 when it exists).
  virtual bool Install();

  // The router manager `OnInit` made; null before.
  cxgraphManager* graphManager() const { return m_graphManager.get(); }
  // Tears the graph down once the service has stopped: first the transport's
  // threads, which call into the overlay element, then the router. Called
  // before `main` returns: the service object is a global, and its
  // destructor would run after the function-local statics the elements still
  // use when they go.
  void ReleaseGraph();

 private:
  std::unique_ptr<cxgraphManager> m_graphManager;

  // The stop event: set by OnStop, taken (reset) by the wait in Run.
  std::mutex m_stopMutex;
  std::condition_variable m_stopCv;
  bool m_stopEvent = false;

  bool m_powerDown = false;  // dispatcher thread only
};

#endif  // DOVADOD_DOVADOD_H_
