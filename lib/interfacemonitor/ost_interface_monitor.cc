#include "lib/interfacemonitor/ost_interface_monitor.h"

#include <atomic>

namespace {

// Read by the service's dispatcher thread, written by the transport's start-up.
std::atomic<OstInterfaceMonitor*> g_monitor{nullptr};

}  // namespace

OstInterfaceMonitor* OstInterfaceMonitor::Instance() { return g_monitor.load(); }

OstInterfaceMonitor* OstInterfaceMonitor::SetInstance(OstInterfaceMonitor* monitor) {
  return g_monitor.exchange(monitor);
}
