// The interfaces that carry an IPv4 default route, and the best of them.
//
// The overlay tunnels ride on the host's physical network: the transport binds
// its connections to the interfaces listed here (all of them with multilink,
// else the best one), and the network change monitor compares successive lists
// to notice network changes. The tunnel adapter (alias "WinTun Tunnel") and
// interfaces without a usable IPv4 address are never listed.
//
// Records are plain values owned by the caller's list. No state is kept: any
// thread may call these, and each call reads the adapter list and the
// forwarding table of the calling thread's network namespace afresh.
#ifndef LIB_TARNINTERFACE_TARNINTERFACE_H_
#define LIB_TARNINTERFACE_TARNINTERFACE_H_

#include <cstdint>
#include <string>
#include <vector>

// One interface that carries an IPv4 default route.
struct DefaultInterface {
  uint32_t ifIndex = 0;
  // The route's first metric; 1 for the record of the best interface.
  uint32_t metric = 0;
  // The adapter's first IPv4 address, network order.
  uint32_t ipAddr = 0;
  // Empty in every record made here.
  std::string firstText;
  std::string secondText;
  // The adapter type in the Windows numbering (6 Ethernet, 23 PPP, 1 other);
  // -1 until filled.
  int adapterType = -1;
  // The adapter description (the interface alias), zero-terminated.
  char description[260] = {};

  // Completes the record of `ifIndex` from the adapter list: address, type and
  // description. False when the adapter list cannot be read, the interface is
  // not in it, its first IPv4 address is missing, 0.0.0.0 or 255.255.255.255,
  // or it is the tunnel adapter; the record is then unchanged.
  bool fillFromAdapter();
};

class TARNInterfaceLib {
 public:
  // Appends an entry for every forwarding-table row whose destination is
  // 0.0.0.0 (any prefix length) and whose interface fills from the adapter
  // list, then sorts the whole list by ascending metric (equal metrics in no
  // fixed order). One interface with two such routes gives two entries. True
  // when the list is not empty.
  static bool getDefaultRouteInterfaces(std::vector<DefaultInterface>* list);

  // Appends the one best interface: the interface of the best route to
  // 0.0.0.0 with metric 1, or, when that one is not usable (the tunnel adapter,
  // no address), the lowest-metric default-route interface. Callers pass an
  // empty list; true when the list is not empty afterwards. Logs the choice.
  static bool getBestInterface(std::vector<DefaultInterface>* list);
};

#endif  // LIB_TARNINTERFACE_TARNINTERFACE_H_
