#include "ostgraphsvc/ostnetmonitor/ost_net_monitor.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/adapters/best_route.h"

#define NETMON_LOG(level, tag, ...) \
  log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

std::mutex g_make_mutex;
// The process's monitor: made once, never destroyed (its threads may still
// run while the process exits).
OstDefaultRouteMonitor* g_monitor = nullptr;  // guarded by g_make_mutex
std::atomic<bool> g_watching{false};

void unconfirm_dtls() {
  NETMON_LOG(6, "ostssl::unconfirming_dtls_works", "marking dtls working unconfirmed");
  ostssl::set_dtls_confirmed(false);
}

void connect_all() {
  if (OstrelOverlay* overlay = registered_overlay()) overlay->connect_to_all_peers();
}

void signal_disconnect() {
  uint32_t error = signalNetworkDisconnect();
  if (error == 0) return;
  NETMON_LOG(6, "OstNetMonitor::onNetworkStateChanged",
             "Failed to signal network disconnect event to tarnclient service, error:%d",
             static_cast<int>(error));
}

}  // namespace

OstNetMonitor::OstNetMonitor() {
  NETMON_LOG(6, "OstNetMonitor::OstNetMonitor", "ostmonitor init");
  std::lock_guard<std::mutex> lock(g_make_mutex);
  if (g_monitor != nullptr) return;
  g_monitor = new OstDefaultRouteMonitor(this, std::make_unique<TarnInterfaceSource>());
  OstInterfaceMonitor::SetInstance(g_monitor);
  g_watching.store(g_monitor->StartAddressWatch());
}

bool OstNetMonitor::watching() { return g_watching.load(); }

void OstNetMonitor::onNetworkStateChanged(int event) {
  const char* tag = "OstNetMonitor::onNetworkStateChanged";
  // Cached best routes may name a gateway or interface that just went.
  platform::invalidate_best_route_caches();
  switch (event) {
    case kNetworkDown:
      NETMON_LOG(6, tag, "Network disconnected, disconnect all tunnels");
      unconfirm_dtls();
      ostssl::disconnect_all_peers(true);
      signal_disconnect();
      return;
    case kNetworkUp:
      NETMON_LOG(6, tag, "Network connected. connect all tunnels");
      unconfirm_dtls();
      connect_all();
      signal_disconnect();
      return;
    case kNetworkChanged:
      NETMON_LOG(6, tag, "Network source ip or default route is changed, reconnect all tunnels");
      unconfirm_dtls();
      ostssl::disconnect_all_peers(true);
      connect_all();
      if (get_multilink_mode() == MULTILINK_SINGLE) signal_disconnect();
      return;
    default:
      return;
  }
}

bool make_ost_net_monitor() {
  // Never destroyed: the monitor it made keeps a pointer to it.
  static OstNetMonitor* const monitor = new OstNetMonitor();
  (void)monitor;
  return OstNetMonitor::watching();
}

void install_net_monitor_factory() { ostssl::set_net_monitor_factory(make_ost_net_monitor); }
