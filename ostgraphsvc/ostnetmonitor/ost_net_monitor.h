// OstNetMonitor: the transport's side of network changes. It listens to the
// process's interface monitor and, when the network goes down, comes up or
// changes, disconnects and reconnects the overlay tunnels and tells the other
// client process through the network-disconnect event.
//
// The transport makes it at its start-up through the factory that
// `install_net_monitor_factory` sets (`ostssl::set_net_monitor_factory`): the
// first OstNetMonitor makes the process's `OstDefaultRouteMonitor` with the
// `TARNInterfaceLib` list, publishes it (`OstInterfaceMonitor::SetInstance`)
// and starts its address watch in the caller's network namespace. Both live
// until the process ends: there is no unregistration.
//
// Threads: `onNetworkStateChanged` runs on the monitor's threads under the
// monitor's mutex; it queues transport work and reaches the overlay element
// only through its process-wide registration.
#ifndef OSTGRAPHSVC_OSTNETMONITOR_OST_NET_MONITOR_H_
#define OSTGRAPHSVC_OSTNETMONITOR_OST_NET_MONITOR_H_

#include "ostgraphsvc/ostnetmonitor/interface_monitor.h"

class OstNetMonitor : public IInterfaceMonitor_Listener {
 public:
  // Logs "ostmonitor init"; the first one makes, publishes and starts the
  // process's monitor.
  OstNetMonitor();
  OstNetMonitor(const OstNetMonitor&) = delete;
  OstNetMonitor& operator=(const OstNetMonitor&) = delete;

  // 0 down: disconnect every tunnel but those on the active interface;
  // 1 up: connect to every hub; 2 changed: both. Other events do nothing.
  void onNetworkStateChanged(int event) override;

  // Whether the process's monitor watches address changes.
  static bool watching();
};

// The factory the transport runs once: makes the process's OstNetMonitor on
// the first call; true while the address watch runs.
bool make_ost_net_monitor();

// Sets `make_ost_net_monitor` as the transport's monitor factory; the
// service calls it before it builds the graph that starts the transport.
void install_net_monitor_factory();

#endif  // OSTGRAPHSVC_OSTNETMONITOR_OST_NET_MONITOR_H_
