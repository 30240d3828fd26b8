#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"

namespace {

// The dotted quad of `a` into a 32-byte field, NUL-terminated.
void write_address(char (&field)[32], IPAddress a) {
  const unsigned char* b = a.data();
  std::snprintf(field, sizeof field, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace

int OstrelNHSelect::initialize(ErrorHandler* errh) {
  flows_ = nullptr;
  policy_ = nullptr;
  overlay_ = nullptr;
  Router* r = router();
  Element* agg = r != nullptr ? r->find_element("agg", this) : nullptr;
  if (agg == nullptr) {
    errh->error("AggregatorIP element not found-1");
  } else {
    flows_ = static_cast<AggregateIPFlows*>(agg->cast("AggregateIPFlows"));
    if (flows_ == nullptr) errh->error("agg element not found-2");
  }
  Element* policy = r != nullptr ? r->find_element("ostpolicy", this) : nullptr;
  if (policy == nullptr) {
    errh->error("ostpolicy element not found-1");
  } else {
    policy_ = static_cast<Element*>(policy->cast("OstPolicy"));
    if (policy_ == nullptr) errh->error("ostpoicy element not found-2");
  }
  Element* overlay = r != nullptr ? r->find_element("ostOverlay", this) : nullptr;
  if (overlay != nullptr) overlay_ = static_cast<OstrelOverlay*>(overlay->cast("OstrelOverlay"));
  if (overlay_ == nullptr) errh->error("ostOverlay element not found");
  return 0;
}

void OstrelNHSelect::select(Packet* p) {
  if (flows_ == nullptr || overlay_ == nullptr) return;
  const IPAddress next_hop = p->next_hop_anno();
  if (next_hop.empty()) return;
  std::lock_guard<std::recursive_mutex> hold(overlay_->overlay_lock());
  OverlayPeerDescriptor* opd = overlay_->find_opd(next_hop);
  if (opd == nullptr || opd->multilink_mode == 0) return;
  AggregateIPFlows::StatFlowInfo* flow = flows_->find_flow_info(p);
  if (flow == nullptr) return;
  bool is_new = false;
  std::shared_ptr<OverlayDescriptor> od;
  if (opd->multilink_mode == 1) {
    od = opd->get_active_active_od(flow->path_id, &is_new);
  } else if (opd->multilink_mode == 2) {
    od = opd->get_active_standby_od(flow->path_id, &is_new);
  }
  if (od == nullptr) return;
  if (flow->path_id == OverlayPeerDescriptor::kNoPath || is_new) {
    // A copy of its own: the path's text shares a plain count, and the path
    // may be freed on a transport thread while the flow lives on.
    flow->encap_type = String(od->protocol_text.data(), od->protocol_text.length());
    write_address(flow->tx_if, od->local_wan);
    write_address(flow->rx_if, od->local_wan);
  }
  flow->path_id = od->local_path_id;
  flow->if_index = static_cast<int32_t>(od->if_index);
  p->set_overlay_path_anno(od->local_path_id);
}

void OstrelNHSelect::push(int, Packet* p) {
  select(p);
  output(0).push(p);
}
