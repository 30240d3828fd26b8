// The process's interface monitor: keeps the last list of default-route
// interfaces, recomputes it after every unicast IPv4 address change, and tells
// its listener whether the network went down (event 0), came up (1) or
// changed its source address or default route (2).
//
// `OstDefaultRouteMonitor` implements `OstInterfaceMonitor` (the service's
// power handlers reach it through `OstInterfaceMonitor::Instance`). Its list
// comes from an `InterfaceSource`: `TarnInterfaceSource` asks
// `TARNInterfaceLib`, tests pass a fake. Lists are compared by IPv4 address
// only: the same addresses in another metric order, or with another index or
// adapter, are no change.
//
// Ownership: the monitor does not own its listener, which outlives it. The
// process's monitor is made once by `OstNetMonitor` and never destroyed;
// tests make and destroy their own.
//
// Threads: `handleInterfaceChange` and `clearInterfaces` may be called from
// any thread and are serialised by the monitor's mutex (not recursive). The
// listener runs while that mutex is held, so the tunnel changes of one
// network change finish before the next is looked at; the listener must not
// call back into the monitor. The address watch runs on a thread of its own
// (`StartAddressWatch`), `triggerInterfaceChangeAsync` on another; both end
// when the monitor is destroyed.
#ifndef OSTGRAPHSVC_OSTNETMONITOR_INTERFACE_MONITOR_H_
#define OSTGRAPHSVC_OSTNETMONITOR_INTERFACE_MONITOR_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/interfacemonitor/ost_interface_monitor.h"
#include "lib/tarninterface/tarninterface.h"
#include "ostgraphsvc/ostnetmonitor/address_watcher.h"

// The network events a listener receives.
inline constexpr int kNetworkDown = 0;
inline constexpr int kNetworkUp = 1;
inline constexpr int kNetworkChanged = 2;

// Told of network changes; implemented by `OstNetMonitor`.
class IInterfaceMonitor_Listener {
 public:
  virtual ~IInterfaceMonitor_Listener() = default;
  virtual void onNetworkStateChanged(int event) = 0;
};

// Where the monitor gets the default-route interfaces.
class InterfaceSource {
 public:
  virtual ~InterfaceSource() = default;
  // The current list; empty when none or when it cannot be read.
  virtual std::vector<DefaultInterface> DefaultRouteInterfaces() = 0;
};

class TarnInterfaceSource : public InterfaceSource {
 public:
  std::vector<DefaultInterface> DefaultRouteInterfaces() override;
};

class OstDefaultRouteMonitor : public OstInterfaceMonitor {
 public:
  // Fills the stored list from `source`.
  OstDefaultRouteMonitor(IInterfaceMonitor_Listener* listener,
                         std::unique_ptr<InterfaceSource> source);
  ~OstDefaultRouteMonitor() override;

  void clearInterfaces() override;
  void handleInterfaceChange() override;

  // Clears the list and recomputes on a thread of its own, so that any
  // default route now counts as new (event 1). One such thread at a time; a
  // call while one runs waits for it first.
  void triggerInterfaceChangeAsync();

  // The tunnel adapter's network category: no such thing on this platform,
  // so one information line per call.
  void SetNetworkProfile();

  // An address notification: type as the IP Helper numbers it, `ip` in
  // network order.
  void onUnicastIpChange(int type, uint32_t ip, uint32_t if_index);

  // Starts the rtnetlink address watch in the calling thread's network
  // namespace; false (logged) when it cannot. Stopped by the destructor.
  bool StartAddressWatch();
  void StopAddressWatch();

  // A copy of the stored list.
  std::vector<DefaultInterface> interfaces() const;

 private:
  IInterfaceMonitor_Listener* const listener_;
  const std::unique_ptr<InterfaceSource> source_;
  mutable std::mutex mu_;
  std::vector<DefaultInterface> stored_;  // guarded by mu_
  AddressWatcher watcher_;
  std::mutex trigger_mu_;  // guards trigger_
  std::thread trigger_;
};

#endif  // OSTGRAPHSVC_OSTNETMONITOR_INTERFACE_MONITOR_H_
