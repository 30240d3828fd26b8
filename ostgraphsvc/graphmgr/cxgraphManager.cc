#include "ostgraphsvc/graphmgr/cxgraphManager.h"

#include <chrono>
#include <thread>

#include "client/lib/cxLog/cxLog.h"
#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/elements.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"

namespace {

constexpr char kTag[] = "graphmgr";

FromDevice* AsFromDevice(Element* element) {
  if (element == nullptr) return nullptr;
  return static_cast<FromDevice*>(element->cast("FromDevice"));
}

}  // namespace

cxgraphManager::~cxgraphManager() {
  // After a normal stop the router and the Master are still here; a failed
  // start has torn them down already.
  if (m_frameworkStarted) Teardown();
}

bool cxgraphManager::Start() {
  std::string workDir;
  if (!tarnutil::getWorkDir(&workDir)) {
    CXLOG(kTag, CXLOG_CRITICAL, "failed to get tarn config path");
    CXLOG(kTag, CXLOG_ERROR,
          "the work directory is the value \"%s\" of the settings key HKLM\\%s; set it with: "
          "dovadod-reg set 'HKLM\\%s' %s REG_SZ <work directory>",
          tarnutil::kWorkDirValue, tarnutil::kSettingsKey, tarnutil::kSettingsKey,
          tarnutil::kWorkDirValue);
    return false;
  }
  m_workDir = workDir;

  router_static_initialize();
  m_frameworkStarted = true;
  // The element classes live in static libraries: they reach the class
  // table only through this call. Entering the same constructors again is
  // harmless.
  register_graph_elements();
  m_errh = ErrorHandler::default_handler();
  if (m_errh == nullptr) {
    CXLOG(kTag, CXLOG_CRITICAL, "Failed to create error handler");
    Teardown();
    return false;
  }

  set_config_directory(m_workDir.c_str());
  String path;
  if (!cp_parse_filename(String(kGraphFileName), &path)) path = String(kGraphFileName);
  CXLOG(kTag, CXLOG_INFO, "router file full path %s", path.c_str());
  m_graphFile = path.c_str();

  // Logs "Initialized packet pool for %d" itself.
  init_pkt_pool_size(kPacketPoolSize);

  m_master = new Master;

  const int errorsBefore = m_errh->error_count();
  Router* router = read_router_file(path, m_errh, m_master);
  if (router != nullptr && m_errh->error_count() == errorsBefore &&
      router->initialize(m_errh) >= 0) {
    // The manager's own reference: the one `Run` takes is dropped by `Stop`
    // while the loop may still be inside the router.
    router->use();
    m_router = router;
    if (m_router->nelements() == 0) {
      m_errh->error("%s: configuration has no elements, exiting", kGraphFileName);
      Teardown();
      return false;
    }
    return true;
  }

  delete router;
  m_router = nullptr;
  CXLOG(kTag, CXLOG_INFO, "graph router failed to initialize");
  Teardown();
  return false;
}

void cxgraphManager::Run() {
  if (m_router == nullptr || m_master == nullptr) return;
  m_router->use();
  m_runReference.store(true);
  m_router->activate();
  SchedulerThread* thread = m_master->thread(0);
  thread->run();
}

bool cxgraphManager::Stop() {
  if (m_router == nullptr) return false;
  m_stopped.store(true);
  // Stop requests first, so the loop ends as soon as the selection hook
  // returns.
  m_router->adjust_runcount(-1);
  for (int i = 0; i < m_router->nelements(); ++i) {
    if (FromDevice* fd = AsFromDevice(m_router->element(i))) fd->exit();
  }
  // Never the last reference: the loop may not have left the router yet.
  if (m_runReference.exchange(false)) m_router->unuse();
  return false;
}

CaptureTotals cxgraphManager::capture_totals() const {
  CaptureTotals sum;
  if (m_router == nullptr) return sum;
  for (int i = 0; i < m_router->nelements(); ++i) {
    FromDevice* fd = AsFromDevice(m_router->element(i));
    if (fd == nullptr) continue;
    const CaptureTotals t = fd->capture_totals();
    sum.opened += t.opened;
    sum.captured += t.captured;
    sum.reinjected += t.reinjected;
    sum.dropped += t.dropped;
  }
  return sum;
}

void cxgraphManager::WaitForCaptureWorkers() {
  if (m_router == nullptr) return;
  // Elements are freed in reverse configure order, so the capture element
  // goes last: a worker still inside a push must end before any of them go.
  for (int i = 0; i < m_router->nelements(); ++i) {
    FromDevice* fd = AsFromDevice(m_router->element(i));
    if (fd == nullptr || !fd->thread_running()) continue;
    // A worker that a fail-close change started without any `Stop` to end
    // it would never end on its own.
    if (!m_stopped.load()) fd->exit();
    while (fd->thread_running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void cxgraphManager::Teardown() {
  if (m_router != nullptr) {
    WaitForCaptureWorkers();
    Router* router = m_router;
    m_router = nullptr;
    // A reference `Run` took and no `Stop` gave back.
    if (m_runReference.exchange(false)) router->unuse();
    // The router goes before the Master, so its elements are cleaned up
    // while their scheduler threads still exist.
    router->unuse();
  }
  delete m_master;
  m_master = nullptr;
  m_errh = nullptr;
  if (!m_frameworkStarted) return;
  // Last: destroying routers, elements and packets still uses the globals.
  router_static_cleanup();
  m_frameworkStarted = false;
}
