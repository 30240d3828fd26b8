// OstrelNHSelect: keeps each flow to a multi-link overlay peer on one path.
//
// Push ports "1/1". For a packet with a next hop (`next_hop_anno`) whose peer
// runs in a multi-link mode, it asks the peer for the flow's path
// (OverlayPeerDescriptor::get_active_active_od or get_active_standby_od with
// the path the flow record holds), writes the choice into the flow record
// (path id, interface index and, when the choice is new, the path's protocol
// text and its local WAN address as both interface texts) and into
// `overlay_path_anno`, from which the overlay element encapsulates. Every
// packet leaves on output 0; without a next hop, a known multi-link peer
// with paths, or a flow record, it leaves untouched.
//
// At initialize it finds "agg" (AggregateIPFlows), "ostpolicy" (OstPolicy,
// kept only) and "ostOverlay" (OstrelOverlay); a missing one is reported and
// initialize still succeeds. Without the flow or the overlay element the
// selection is off. Configuration arguments are accepted and ignored.
//
// Threads: push runs on the packet thread. One choice holds the overlay lock
// (the transport's threads add and remove paths under it) and the chosen
// path's shared reference until the packet is annotated.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_H_

#include "graph/element.h"

class AggregateIPFlows;
class OstrelOverlay;

class OstrelNHSelect : public Element {
 public:
  const char* class_name() const override { return "OstrelNHSelect"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return kPush; }
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  // The choice for `p`, without pushing it.
  void select(Packet* p);

  AggregateIPFlows* flows() const { return flows_; }
  Element* policy() const { return policy_; }
  OstrelOverlay* overlay() const { return overlay_; }

 private:
  AggregateIPFlows* flows_ = nullptr;
  Element* policy_ = nullptr;
  OstrelOverlay* overlay_ = nullptr;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_H_
