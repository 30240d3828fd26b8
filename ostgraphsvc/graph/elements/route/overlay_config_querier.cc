#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"

#include <atomic>

namespace {

std::atomic<OstrelOverlayConfigQuerier*> registered{nullptr};

}  // namespace

bool register_overlay_config_querier(OstrelOverlayConfigQuerier* querier) {
  OstrelOverlayConfigQuerier* none = nullptr;
  return registered.compare_exchange_strong(none, querier, std::memory_order_acq_rel);
}

void unregister_overlay_config_querier(OstrelOverlayConfigQuerier* querier) {
  OstrelOverlayConfigQuerier* expected = querier;
  registered.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

OstrelOverlayConfigQuerier* registered_overlay_config_querier() {
  return registered.load(std::memory_order_acquire);
}
