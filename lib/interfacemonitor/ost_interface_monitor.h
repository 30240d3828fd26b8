// The process-wide interface monitor, as the service host sees it.
//
// The monitor keeps the last list of default-route interfaces and tells the
// transport when the network went down, came up or changed. The transport
// makes and publishes the one monitor at its start-up; until then, and in a
// process without a transport, `OstInterfaceMonitor::Instance` is null and
// callers (the service's power and standby handlers) only log.
//
// Ownership: the published monitor is not owned by the registration; whoever
// publishes it keeps it alive until it unpublishes it (the real monitor lives
// until the process ends).
//
// Threads: `Instance` and `SetInstance` may be called from any thread. The
// monitor's operations serialise themselves; callers need no lock.
#ifndef LIB_INTERFACEMONITOR_OST_INTERFACE_MONITOR_H_
#define LIB_INTERFACEMONITOR_OST_INTERFACE_MONITOR_H_

class OstInterfaceMonitor {
 public:
  OstInterfaceMonitor() = default;
  OstInterfaceMonitor(const OstInterfaceMonitor&) = delete;
  OstInterfaceMonitor& operator=(const OstInterfaceMonitor&) = delete;
  virtual ~OstInterfaceMonitor() = default;

  // Empties the stored interface list, so that the next recomputation reports
  // every default-route interface as new (network up).
  virtual void clearInterfaces() = 0;

  // Recomputes the default-route interfaces and tells the listener what
  // changed.
  virtual void handleInterfaceChange() = 0;

  // The published monitor, or null.
  static OstInterfaceMonitor* Instance();

  // Publishes `monitor` (null unpublishes) and returns the one it replaced.
  static OstInterfaceMonitor* SetInstance(OstInterfaceMonitor* monitor);
};

#endif  // LIB_INTERFACEMONITOR_OST_INTERFACE_MONITOR_H_
