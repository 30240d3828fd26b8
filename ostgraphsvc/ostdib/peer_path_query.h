// OstrelPeerPathQuery: what the next-hop table asks of the overlay element.
//
// When the chosen next hop of a destination becomes unreachable, the table
// moves to the cheapest other candidate and must know whether that one is
// reachable at once: whether the overlay has a peer descriptor for it with
// at least one path. The overlay element implements this one question; the
// table never keeps the pointer past the call it was given to.
//
// Threads: called on the thread that updates or asks the table (the packet
// thread, or a transport thread inside a connection callback).
#ifndef OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_H_
#define OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_H_

#include "graph/ipaddress.h"

class OstrelPeerPathQuery {
 public:
  virtual ~OstrelPeerPathQuery() = default;

  // True when the overlay has a peer descriptor for `overlay_address` with at
  // least one path.
  virtual bool peer_has_path(IPAddress overlay_address) const = 0;
};

#endif  // OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_H_
