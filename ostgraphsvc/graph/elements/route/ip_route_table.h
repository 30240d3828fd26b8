// RouteEntry, one IPv4 route, and IPRouteTable, the interface of element
// classes that keep routes.
//
// A RouteEntry is a plain value of twelve 32-bit fields that the route
// table, the static route file, the control socket's route messages and the
// route handlers all exchange. Addresses, masks and gateways are in network
// order.
//
// IPRouteTable adds five virtual operations after Element's own, in this
// slot order: `add_route`, `remove_route`, `lookup_route`, `dump_routes`,
// `dump_routes_json`. Results use the framework's negative error numbers:
// -17 conflict, -2 not found, -12 no memory.
//
// Threads: none of its own; callers serialise (see OstrelRouteTable).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_IP_ROUTE_TABLE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_IP_ROUTE_TABLE_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/ipaddress.h"
#include "graph/string.h"

class ErrorHandler;

// Route types.
enum RouteType : uint32_t {
  kRouteTypeDefault = 0,
  kRouteTypeStatic = 1,  // the static route file or a route message
  kRouteTypeLan = 2,
  kRouteTypeOverlay = 3,
};

struct RouteEntry {
  // Output port of a dead (freed) slot in dumps.
  static constexpr int32_t kDeadPort = INT32_MIN;
  // Free link of a live route inside the route vector.
  static constexpr int32_t kLive = -1;

  IPAddress addr;
  IPAddress mask;
  IPAddress gw;
  int32_t port = -1;  // -1 in a removal request: any port
  // In the route vector: kLive, or the next free slot (-1 ends the list).
  // In a rollback list: the command kind that produced the entry.
  int32_t extra = 0;
  int32_t l2_index = -1;  // -1: unset
  int32_t l3_index = -1;  // -1: unset
  uint32_t vlan_id = 0;
  int32_t metric = 0;
  uint32_t type = kRouteTypeDefault;
  int32_t host_index = -1;  // host interface index, -1: unset
  int32_t protocol = 0;

  bool contains(IPAddress a) const { return ((a.addr() ^ addr.addr()) & mask.addr()) == 0; }
};

static_assert(sizeof(RouteEntry) == 48, "twelve 32-bit fields");

class IPRouteTable : public Element {
 public:
  // 0, or -17 when a route of the same prefix exists and `set` is false;
  // `old_route` (may be null) gets the route it replaced or met. -12 when
  // memory for the route runs out; the table is then unchanged.
  virtual int add_route(const RouteEntry& route, bool set, RouteEntry* old_route,
                        ErrorHandler* errh) = 0;
  // 0, or -2 when no route matches; `old_route` gets the route removed.
  virtual int remove_route(const RouteEntry& route, RouteEntry* old_route, ErrorHandler* errh) = 0;
  // The output port of the longest match, or -1; `gw` is written only when a
  // port is returned.
  virtual int lookup_route(IPAddress dst, IPAddress& gw) const = 0;
  virtual String dump_routes() = 0;
  virtual String dump_routes_json() = 0;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_IP_ROUTE_TABLE_H_
