// cxgraphManager: builds the service's one element-graph router from the
// work directory's "ostrel.graph", hands the service thread to the router's
// scheduler loop, and takes the packet path down again at stop.
//
// Use: `Start` once on the service thread; when it returned true, `Run` on
// the service thread (it returns only after `Stop`), and `Stop` from the
// dispatcher thread while `Run` is parked in the loop. `Teardown` is the
// framework clean-up after a failed start; `Start` runs it itself.
//
// Ownership: the manager owns the Master and, through a reference of its
// own, the Router; `Stop` drops only the reference `Run` took, so nothing is
// freed under a loop that has not returned yet. The destructor (after a
// normal stop) and `Teardown` wait for every capture worker to end (stopping
// one that no `Stop` reached), then free the router, the Master and the
// framework's globals, each once. Destroy a manager only after `Run` has
// returned or when it never ran. The error handler is the framework's.
//
// Threads: `Start`, `Run`, `Teardown` and the destructor on the service
// thread; `Stop` on any other thread, at most once per `Run`.
#ifndef OSTGRAPHSVC_GRAPHMGR_CXGRAPHMANAGER_H_
#define OSTGRAPHSVC_GRAPHMGR_CXGRAPHMANAGER_H_

#include <atomic>
#include <string>

#include "ostgraphsvc/graph/elements/local/fromdevice.h"

class ErrorHandler;
class Master;
class Router;

class cxgraphManager {
 public:
  static constexpr const char* kGraphFileName = "ostrel.graph";
  static constexpr int kPacketPoolSize = 1000;

  cxgraphManager() = default;
  cxgraphManager(const cxgraphManager&) = delete;
  cxgraphManager& operator=(const cxgraphManager&) = delete;
  ~cxgraphManager();

  // Reads the work directory, starts the framework and builds, configures
  // and initialises the router. False after a logged failure, with the
  // framework torn down again.
  bool Start();
  // Activates the router and runs its scheduler loop on this thread until
  // `Stop`. Nothing when `Start` did not succeed.
  void Run();
  // Asks the loop to stop, stops every capture element in index order and
  // drops the reference `Run` took. Always false; callers ignore it.
  bool Stop();
  // Frees the Master and the router exactly once and undoes the framework
  // start-up.
  void Teardown();

  // The graph file `Start` read; empty before.
  const std::string& graph_file() const { return m_graphFile; }
  // The capture elements' totals, summed. Any thread, from the end of a
  // successful `Start` until the manager is destroyed; zero without a router.
  CaptureTotals capture_totals() const;

  // For tests and diagnostics.
  const std::string& work_directory() const { return m_workDir; }
  Router* router() const { return m_router; }
  Master* master() const { return m_master; }

 private:
  // Waits until every capture element's worker has ended.
  void WaitForCaptureWorkers();

  Master* m_master = nullptr;
  Router* m_router = nullptr;
  ErrorHandler* m_errh = nullptr;
  std::string m_workDir;
  std::string m_graphFile;
  // Set when `Run` took its reference on the router; `Stop` gives it back.
  std::atomic<bool> m_runReference{false};
  // `Stop` has told the capture elements to stop.
  std::atomic<bool> m_stopped{false};
  // The framework start-up ran and has not been undone yet.
  bool m_frameworkStarted = false;
};

#endif  // OSTGRAPHSVC_GRAPHMGR_CXGRAPHMANAGER_H_
