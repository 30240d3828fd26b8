// OstrelOverlayConfigQuerier: what the route lookup asks of the overlay
// element, its local overlay address, so that packets for the overlay's own
// /16 go to the overlay output without a route.
//
// The first overlay element to configure registers itself
// (`register_overlay_config_querier`); later ones do not replace it, and
// the registration is dropped when that element goes
// (`unregister_overlay_config_querier`). Tests register
// FakeOverlayConfigQuerier.
//
// Threads: registration happens while graphs are configured or torn down;
// the packet thread reads the registration on each routed packet, so the
// pointer is atomic. `local_overlay_address` runs on the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OVERLAY_CONFIG_QUERIER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OVERLAY_CONFIG_QUERIER_H_

#include "graph/ipaddress.h"

class OstrelOverlayConfigQuerier {
 public:
  virtual ~OstrelOverlayConfigQuerier() = default;
  // The local overlay address (the configuration's second word), network
  // order.
  virtual IPAddress local_overlay_address() const = 0;
};

// Registers `querier` unless one is registered; true when it was.
bool register_overlay_config_querier(OstrelOverlayConfigQuerier* querier);
// Drops the registration when `querier` is the one registered.
void unregister_overlay_config_querier(OstrelOverlayConfigQuerier* querier);
// The registered querier, or null.
OstrelOverlayConfigQuerier* registered_overlay_config_querier();

// A querier with a settable address, for tests; registers itself while it
// lives.
class FakeOverlayConfigQuerier : public OstrelOverlayConfigQuerier {
 public:
  explicit FakeOverlayConfigQuerier(IPAddress address) : address_(address) {
    register_overlay_config_querier(this);
  }
  FakeOverlayConfigQuerier(const FakeOverlayConfigQuerier&) = delete;
  FakeOverlayConfigQuerier& operator=(const FakeOverlayConfigQuerier&) = delete;
  ~FakeOverlayConfigQuerier() override { unregister_overlay_config_querier(this); }

  IPAddress local_overlay_address() const override { return address_; }

 private:
  IPAddress address_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OVERLAY_CONFIG_QUERIER_H_
